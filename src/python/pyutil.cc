#include "python/pyutil.h"

#include <atomic>
#include <mutex>

#include "core/error.h"

namespace quor::py {

std::nullptr_t raise_type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return nullptr;
}
std::nullptr_t raise_value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return nullptr;
}
std::nullptr_t raise_runtime_error(const std::string& text) {
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return nullptr;
}
std::nullptr_t raise_overflow_error(const std::string& text) {
  PyErr_SetString(PyExc_OverflowError, text.c_str());
  return nullptr;
}

std::string engine_error_text(const EngineError& err) {
  std::string text = err.message();
  if (err.kind() == ErrorKind::kDataDirLocked) {
    // The control socket lives beside the lock file.
    const std::string& lock = err.detail();
    size_t slash = lock.rfind('/');
    std::string sock;
    if (slash == std::string::npos) {
      sock = "quor.sock";
    } else {
      sock = lock.substr(0, slash + 1) + "quor.sock";
    }
    text += "; another writer may be active; socket: " + sock;
  }
  return text;
}

std::nullptr_t raise_engine_error(const EngineError& err) {
  PyObject* cls = (err.kind() == ErrorKind::kInvalidCron ||
                   err.kind() == ErrorKind::kInvalidTimezone)
                      ? PyExc_ValueError
                      : PyExc_RuntimeError;
  std::string text = engine_error_text(err);
  PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), text.size(), "replace"));
  if (!msg) return nullptr;
  PyErr_SetObject(cls, msg.get());
  return nullptr;
}

std::string type_name(Borrowed obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (name && PyUnicode_Check(name.get())) return lossy_utf8(name.get());
  PyErr_Clear();
  return type->tp_name;
}

std::string lossy_utf8(Borrowed str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data != nullptr) return std::string(data, static_cast<size_t>(size));
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return "?";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

StrConv to_utf8(Borrowed obj, std::string* out) {
  if (!PyUnicode_Check(obj)) return StrConv::kWrongType;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return StrConv::kError;
  out->assign(data, static_cast<size_t>(size));
  return StrConv::kOk;
}

std::string not_a_str_text(Borrowed obj) {
  return "'" + type_name(obj) + "' object cannot be converted to 'str'";
}

bool str_value(Borrowed obj, std::string* out) {
  switch (to_utf8(obj, out)) {
    case StrConv::kOk: return true;
    case StrConv::kWrongType: raise_type_error(not_a_str_text(obj)); return false;
    case StrConv::kError: return false;
  }
  return false;
}

bool str_arg(Borrowed obj, const char* param, std::string* out) {
  switch (to_utf8(obj, out)) {
    case StrConv::kOk: return true;
    case StrConv::kWrongType:
      raise_type_error(std::string("argument '") + param + "': " + not_a_str_text(obj));
      return false;
    case StrConv::kError: return false;
  }
  return false;
}

bool double_arg(Borrowed obj, const char* param, double* out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyRef exc = PyRef::steal(PyErr_GetRaisedException());
      PyRef text = PyRef::steal(PyObject_Str(exc.get()));
      std::string inner = text ? lossy_utf8(text.get()) : "";
      if (!text) PyErr_Clear();
      raise_type_error(std::string("argument '") + param + "': " + inner);
    }
    return false;
  }
  *out = v;
  return true;
}

std::string exception_text(Borrowed exc) {
  std::string qual;
  PyRef qn = PyRef::steal(PyType_GetQualName(Py_TYPE(exc)));
  if (qn && PyUnicode_Check(qn.get())) {
    qual = lossy_utf8(qn.get());
  } else {
    PyErr_Clear();
    qual = Py_TYPE(exc)->tp_name;
  }
  PyRef text = PyRef::steal(PyObject_Str(exc));
  if (!text || !PyUnicode_Check(text.get())) {
    PyErr_Clear();
    return qual + ": <exception str() failed>";
  }
  return qual + ": " + lossy_utf8(text.get());
}

std::string take_exception_text() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return "<no exception>";
  return exception_text(exc.get());
}

// ---- argument parsing ----

ArgSpec::ArgSpec(const char* fn, std::initializer_list<Param> params, bool var_kwargs)
    : fn_(fn), params_(params), var_kwargs_(var_kwargs) {
  for (const Param& p : params_) {
    if (p.keyword_only) continue;
    positional_++;
    if (p.required) required_positional_++;
  }
}

bool ArgSpec::check_positional(Py_ssize_t nargs) const {
  if (static_cast<size_t>(nargs) <= positional_) return true;
  std::string text = std::string(fn_) + " takes ";
  if (required_positional_ == positional_) {
    text += std::to_string(positional_);
  } else {
    text += "from " + std::to_string(required_positional_) + " to " +
            std::to_string(positional_);
  }
  text += " positional arguments but " + std::to_string(nargs) +
          (nargs == 1 ? " was given" : " were given");
  raise_type_error(text);
  return false;
}

bool ArgSpec::place_keyword(Borrowed key, Borrowed value, Py_ssize_t nargs, Borrowed* out,
                            PyRef* extra) const {
  for (size_t i = 0; i < params_.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params_[i].name) == 0) {
      if (out[i] != nullptr || (!params_[i].keyword_only && i < static_cast<size_t>(nargs))) {
        raise_type_error(std::string(fn_) + " got multiple values for argument '" +
                         params_[i].name + "'");
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  if (var_kwargs_ && extra != nullptr) {
    if (!*extra) {
      *extra = PyRef::steal(PyDict_New());
      if (!*extra) return false;
    }
    return PyDict_SetItem(extra->get(), key, value) == 0;
  }
  std::string name = PyUnicode_Check(key) ? lossy_utf8(key) : type_name(key);
  raise_type_error(std::string(fn_) + " got an unexpected keyword argument '" + name + "'");
  return false;
}

bool ArgSpec::check_missing(Borrowed* out) const {
  for (int pass = 0; pass < 2; ++pass) {
    bool kwonly = pass == 1;
    std::vector<const char*> missing;
    for (size_t i = 0; i < params_.size(); ++i) {
      if (params_[i].keyword_only == kwonly && params_[i].required && out[i] == nullptr) {
        missing.push_back(params_[i].name);
      }
    }
    if (missing.empty()) continue;
    std::string text = std::string(fn_) + " missing " + std::to_string(missing.size()) +
                       " required " + (kwonly ? "keyword" : "positional") +
                       (missing.size() == 1 ? " argument" : " arguments") + ": ";
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) {
        if (missing.size() > 2) text += ",";
        text += (i == missing.size() - 1) ? " and " : " ";
      }
      text += std::string("'") + missing[i] + "'";
    }
    raise_type_error(text);
    return false;
  }
  return true;
}

bool ArgSpec::parse_fastcall(PyObject* const* args, Py_ssize_t nargs, Borrowed kwnames,
                             Borrowed* out, PyRef* extra) const {
  for (size_t i = 0; i < params_.size(); ++i) out[i] = nullptr;
  if (!check_positional(nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out, extra)) {
        return false;
      }
    }
  }
  return check_missing(out);
}

bool ArgSpec::parse_tuple(Borrowed args, Borrowed kwargs, Borrowed* out, PyRef* extra) const {
  for (size_t i = 0; i < params_.size(); ++i) out[i] = nullptr;
  Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (!check_positional(nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(key, value, nargs, out, extra)) return false;
    }
  }
  return check_missing(out);
}

int module_add(Borrowed module, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");  // new ref
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  PyRef all_ref = PyRef::steal(all);
  PyRef name_obj = PyRef::steal(PyUnicode_FromString(name));
  if (!name_obj || PyList_Append(all, name_obj.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

// ---- deferred release ----

namespace {

std::atomic<bool> g_finalizing{false};

// Leaked on purpose: it must outlive every thread that may still drop a
// reference, static destructors included.
struct Deferred {
  std::mutex mu;
  std::vector<PyObject*> objs;  // guarded by mu
};
Deferred& deferred() {
  static Deferred* d = new Deferred;
  return *d;
}

}  // namespace

void defer_decref(PyObject* obj) {
  if (obj == nullptr || !interpreter_alive()) return;
  Deferred& d = deferred();
  std::lock_guard<std::mutex> lock(d.mu);
  d.objs.push_back(obj);
}

void drain_deferred() {
  Deferred& d = deferred();
  std::vector<PyObject*> objs;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.objs.empty()) return;
    objs.swap(d.objs);
  }
  // A decrement may run arbitrary Python code (__del__), even code that
  // defers more references; those wait for the next drain.
  for (PyObject* o : objs) Py_DECREF(o);
}

bool interpreter_alive() {
  return !g_finalizing.load(std::memory_order_acquire) && Py_IsInitialized() &&
         !_Py_IsFinalizing();
}

void mark_finalizing() { g_finalizing.store(true, std::memory_order_release); }

}  // namespace quor::py
