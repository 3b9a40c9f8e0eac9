// quor.Client: creates and inspects timers on the remote service. Each
// method is one request, made with the GIL held; the answer comes back as
// what json.loads makes of the body. The instance is immutable, so any
// number of threads may share one.
#include <climits>
#include <memory>
#include <new>
#include <string>

#include "python/remote_json.h"
#include "python/remote_types.h"

namespace quor::py::remote_detail {
namespace {

struct ClientState {
  std::string server;  // as given; normalised per request
  std::string token;
};

struct ClientObject {
  PyObject_HEAD
  ClientState* state;
};

ClientState& state_of(PyObject* self) { return *reinterpret_cast<ClientObject*>(self)->state; }

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec("Client()", {{"server", true}, {"token", true}});
  Borrowed a[2];
  if (!spec.parse_tuple(args, kwargs, a)) return nullptr;
  auto st = std::make_unique<ClientState>();
  if (!str_arg(a[0], "server", &st->server) || !str_arg(a[1], "token", &st->token)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<ClientObject*>(self)->state = st.release();
  return self;
}

void client_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ClientObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* answer(PyObject* self, std::string_view method, const std::string& path,
                 const json::Value& body) {
  const ClientState& st = state_of(self);
  json::Value out;
  if (!request(st.server, st.token, method, path, body, &out)) return nullptr;
  return json_to_python(out);
}

// max_attempts: an int from 0 to 4294967295.
bool u32_arg(Borrowed obj, const char* param, uint32_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_type_error(std::string("argument '") + param + "': '" + type_name(obj) +
                       "' object cannot be interpreted as an integer");
    }
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if ((v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || v > UINT32_MAX) {
    PyErr_Clear();
    raise_overflow_error(std::string("argument '") + param +
                         "': value must be an integer from 0 to 4294967295");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

PyObject* client_schedule(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const ArgSpec spec("schedule()", {{"name", true},
                                           {"task", true, true},
                                           {"payload", false, true},
                                           {"cron", false, true},
                                           {"every", false, true},
                                           {"after", false, true},
                                           {"at", false, true},
                                           {"timezone", false, true},
                                           {"max_attempts", false, true}});
  Borrowed a[9];
  if (!spec.parse_fastcall(args, nargs, kwnames, a)) return nullptr;
  std::string name, task;
  json::Value cron, every, after, at, timezone;
  uint32_t max_attempts = 3;
  if (!str_arg(a[0], "name", &name) || !str_arg(a[1], "task", &task) ||
      !optional_str_arg(a[3], "cron", &cron) || !optional_str_arg(a[4], "every", &every) ||
      !optional_str_arg(a[5], "after", &after) || !optional_str_arg(a[6], "at", &at) ||
      !optional_str_arg(a[7], "timezone", &timezone)) {
    return nullptr;
  }
  if (a[8] != nullptr && !u32_arg(a[8], "max_attempts", &max_attempts)) return nullptr;
  if (timezone.is_null()) timezone = json::Value("UTC");
  json::Value payload;
  if (a[2] != nullptr && a[2] != Py_None && !python_to_json(a[2], &payload)) return nullptr;

  json::Object body;
  body.emplace_back("after", std::move(after));
  body.emplace_back("at", std::move(at));
  body.emplace_back("cron", std::move(cron));
  body.emplace_back("every", std::move(every));
  body.emplace_back("max_attempts", uint64_t{max_attempts});
  body.emplace_back("name", json::Value(std::move(name)));
  body.emplace_back("payload", std::move(payload));
  body.emplace_back("task", json::Value(std::move(task)));
  body.emplace_back("timezone", std::move(timezone));
  return answer(self, "POST", "/v1/timers", json::Value(std::move(body)));
}

PyObject* client_list(PyObject* self, PyObject*) {
  return answer(self, "GET", "/v1/timers", json::Value());
}

// status(name) and history(name): GET /v1/timers/{name}[suffix].
PyObject* timer_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const ArgSpec& spec, const char* suffix) {
  Borrowed a[1];
  if (!spec.parse_fastcall(args, nargs, kwnames, a)) return nullptr;
  std::string name;
  if (!str_arg(a[0], "name", &name)) return nullptr;
  return answer(self, "GET", "/v1/timers/" + name + suffix, json::Value());
}

PyObject* client_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const ArgSpec spec("status()", {{"name", true}});
  return timer_get(self, args, nargs, kwnames, spec, "");
}

PyObject* client_history(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const ArgSpec spec("history()", {{"name", true}});
  return timer_get(self, args, nargs, kwnames, spec, "/history");
}

PyMethodDef client_methods[] = {
    {"schedule", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_schedule)),
     METH_FASTCALL | METH_KEYWORDS,
     "schedule($self, name, *, task, payload=None, cron=None, every=None, after=None, at=None, "
     "timezone=None, max_attempts=3)\n--\n\n"},
    {"list", client_list, METH_NOARGS, "list($self)\n--\n\n"},
    {"status", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_status)),
     METH_FASTCALL | METH_KEYWORDS, "status($self, name)\n--\n\n"},
    {"history", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_history)),
     METH_FASTCALL | METH_KEYWORDS, "history($self, name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, client_methods},
    {Py_tp_doc, const_cast<char*>("Client(server, token)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "quor.Client",
    sizeof(ClientObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    client_slots,
};

}  // namespace

PyObject* create_client_type() { return PyType_FromSpec(&client_spec); }

}  // namespace quor::py::remote_detail
