#include "python/convert.h"

#include <datetime.h>

namespace quor::py {

namespace {

bool datetime_api_ready() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return false;
  }
  return true;
}

// The instant an aware datetime denotes; nothing (no exception set) when it
// is naive or its offset cannot be had.
std::optional<Instant> aware_datetime_instant(Borrowed dt) {
  PyRef offset = PyRef::steal(PyObject_CallMethod(dt, "utcoffset", nullptr));
  if (!offset) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (offset.get() == Py_None || !PyDelta_Check(offset.get())) return std::nullopt;
  CivilTime civil;
  civil.year = PyDateTime_GET_YEAR(dt);
  civil.month = PyDateTime_GET_MONTH(dt);
  civil.day = PyDateTime_GET_DAY(dt);
  civil.hour = PyDateTime_DATE_GET_HOUR(dt);
  civil.minute = PyDateTime_DATE_GET_MINUTE(dt);
  civil.second = PyDateTime_DATE_GET_SECOND(dt);
  civil.nanos = static_cast<uint32_t>(PyDateTime_DATE_GET_MICROSECOND(dt)) * 1000u;
  std::optional<Instant> wall = Instant::from_civil(civil);
  if (!wall) return std::nullopt;
  int64_t off_us = (static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(offset.get())) * 86400 +
                    PyDateTime_DELTA_GET_SECONDS(offset.get())) *
                       1000000 +
                   PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
  return wall->add_nanos(-off_us * 1000);
}

PyObject* instant_or_none(const std::optional<Instant>& t) {
  if (!t) Py_RETURN_NONE;
  return to_py_str(t->to_rfc3339_offset());
}

PyObject* str_or_none(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return to_py_str(*s);
}

PyObject* u64_or_none(const std::optional<uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

// The status keys as interned str objects, made once; never released.
enum Key { kId, kState, kFnName, kLastRunAt, kLastDurationMs, kLastStatus, kNextRunAt,
           kRetries, kKeyCount };
PyObject** status_keys() {
  static PyObject* keys[kKeyCount] = {};
  if (keys[0] == nullptr) {
    const char* names[kKeyCount] = {"id", "state", "fn_name", "last_run_at",
                                    "last_duration_ms", "last_status", "next_run_at",
                                    "retries_last_7d"};
    for (int i = 0; i < kKeyCount; ++i) {
      PyObject* k = PyUnicode_InternFromString(names[i]);
      if (k == nullptr) return nullptr;
      keys[i] = k;
    }
  }
  return keys;
}

bool set_item(Borrowed dict, PyObject** keys, Key key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  if (!v) return false;
  return PyDict_SetItem(dict, keys[key], v.get()) == 0;
}

}  // namespace

PyObject* to_py_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

std::optional<Instant> at_to_instant(Borrowed obj) {
  if (!datetime_api_ready()) return std::nullopt;
  if (PyDateTime_Check(obj)) {
    if (std::optional<Instant> t = aware_datetime_instant(obj)) return t;
  } else if (PyUnicode_Check(obj)) {
    std::string text;
    if (to_utf8(obj, &text) != StrConv::kOk) {
      PyErr_Clear();
      raise_value_error("invalid at datetime: input contains invalid characters");
      return std::nullopt;
    }
    Result<Instant, std::string> parsed = Instant::parse_rfc3339(text);
    if (!parsed.ok()) {
      raise_value_error("invalid at datetime: " + parsed.error());
      return std::nullopt;
    }
    return parsed.value();
  }
  raise_value_error("at must be timezone-aware datetime or RFC3339 string, got " +
                    type_name(obj));
  return std::nullopt;
}

PyObject* status_to_dict(const TimerStatus& st) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  PyObject** k = status_keys();
  if (k == nullptr) return nullptr;
  if (!set_item(d, k, kId, to_py_str(st.id)) ||
      !set_item(d, k, kState, PyUnicode_InternFromString(timer_state_lower_name(st.state))) ||
      !set_item(d, k, kFnName, str_or_none(st.fn_name)) ||
      !set_item(d, k, kLastRunAt, instant_or_none(st.last_run_at)) ||
      !set_item(d, k, kLastDurationMs, u64_or_none(st.last_duration_ms)) ||
      !set_item(d, k, kLastStatus, str_or_none(st.last_status)) ||
      !set_item(d, k, kNextRunAt, instant_or_none(st.next_run_at)) ||
      !set_item(d, k, kRetries, PyLong_FromUnsignedLong(st.retries_last_7d))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace quor::py
