// quor.Worker and its decorator type: executes runs that the remote service
// hands out. run_once registers the task names, polls for one run with the
// GIL released, calls the registered object with the run's payload, and
// reports the outcome with the run's fencing token.
//
// The task registry is shared by the worker and every decorator it made.
// Its mutex is never waited for while the GIL is held, and it is held only
// while names are copied or one entry is read or replaced, never across a
// request or a task call.
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "python/http_transport.h"
#include "python/remote_json.h"
#include "python/remote_types.h"

namespace quor::py::remote_detail {
namespace {

constexpr uint64_t kLeaseSeconds = 30;
constexpr double kDefaultPollSeconds = 20.0;
constexpr const char* kPoisoned = "worker task lock poisoned";

// Task name -> the object registered under it. Destroyed with the GIL held
// (by the dealloc of its last owner).
struct TaskRegistry {
  std::mutex mu;
  bool poisoned = false;                   // guarded by mu
  std::map<std::string, PyObject*> tasks;  // guarded by mu; owned references

  ~TaskRegistry() {
    for (auto& [name, obj] : tasks) Py_DECREF(obj);
  }
};

// Holds the registry's mutex; taken with lock_releasing_gil. The caller
// holds the GIL.
class RegistryLock {
 public:
  explicit RegistryLock(TaskRegistry& r) : r_(r) { lock_releasing_gil(r_.mu); }
  ~RegistryLock() { r_.mu.unlock(); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  TaskRegistry& r_;
};

using Registry = std::shared_ptr<TaskRegistry>;

// Copies the registered names; raises "worker task lock poisoned".
bool task_names(TaskRegistry& r, json::Array* out) {
  RegistryLock lock(r);
  if (r.poisoned) {
    raise_runtime_error(kPoisoned);
    return false;
  }
  try {
    for (const auto& [name, obj] : r.tasks) out->emplace_back(name);
  } catch (...) {
    r.poisoned = true;  // the copy failed half-way: refuse further use
    raise_runtime_error(kPoisoned);
    return false;
  }
  return true;
}

// ---- PyTaskDecorator ---------------------------------------------------

struct DecoratorState {
  std::string name;
  Registry registry;
};

struct DecoratorObject {
  PyObject_HEAD
  DecoratorState* state;
};

PyTypeObject* g_decorator_type = nullptr;  // set once at module creation

void decorator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<DecoratorObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

// Stores `callable` under the decorator's name and returns it unchanged.
PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec("__call__()", {{"callable", true}});
  Borrowed a[1];
  if (!spec.parse_tuple(args, kwargs, a)) return nullptr;
  DecoratorState& st = *reinterpret_cast<DecoratorObject*>(self)->state;
  TaskRegistry& r = *st.registry;
  PyObject* replaced = nullptr;
  {
    RegistryLock lock(r);
    if (r.poisoned) return raise_runtime_error(kPoisoned);
    try {
      auto [it, inserted] = r.tasks.try_emplace(st.name, a[0]);
      if (!inserted) {
        replaced = it->second;
        it->second = a[0];
      }
    } catch (...) {
      r.poisoned = true;
      return raise_runtime_error(kPoisoned);
    }
    Py_INCREF(a[0]);
  }
  Py_XDECREF(replaced);  // outside the lock: it may run arbitrary code
  return Py_NewRef(a[0]);
}

PyType_Slot decorator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {0, nullptr},
};

PyType_Spec decorator_spec = {
    "quor.PyTaskDecorator",
    sizeof(DecoratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decorator_slots,
};

// ---- Worker ------------------------------------------------------------

struct WorkerState {
  std::string server;  // as given; normalised per request
  std::string token;
  std::string worker_id;
  Registry registry = std::make_shared<TaskRegistry>();
};

struct WorkerObject {
  PyObject_HEAD
  WorkerState* state;
};

WorkerState& state_of(PyObject* self) { return *reinterpret_cast<WorkerObject*>(self)->state; }

std::string default_worker_id() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return "worker_" + std::to_string(nanos < 0 ? 0 : nanos);
}

PyObject* worker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec("Worker()", {{"server", true}, {"token", true}, {"worker_id"}});
  Borrowed a[3];
  if (!spec.parse_tuple(args, kwargs, a)) return nullptr;
  auto st = std::make_unique<WorkerState>();
  if (!str_arg(a[0], "server", &st->server) || !str_arg(a[1], "token", &st->token)) return nullptr;
  if (a[2] == nullptr || a[2] == Py_None) {
    st->worker_id = default_worker_id();
  } else if (!str_arg(a[2], "worker_id", &st->worker_id)) {
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<WorkerObject*>(self)->state = st.release();
  return self;
}

void worker_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<WorkerObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* worker_task(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec("task()", {{"name", true}});
  Borrowed a[1];
  if (!spec.parse_fastcall(args, nargs, kwnames, a)) return nullptr;
  auto st = std::make_unique<DecoratorState>();
  if (!str_arg(a[0], "name", &st->name)) return nullptr;
  st->registry = state_of(self).registry;
  PyObject* dec = g_decorator_type->tp_alloc(g_decorator_type, 0);
  if (dec == nullptr) return nullptr;
  reinterpret_cast<DecoratorObject*>(dec)->state = st.release();
  return dec;
}

bool do_register(WorkerState& st) {
  json::Array names;
  if (!task_names(*st.registry, &names)) return false;
  json::Object body;
  body.emplace_back("lease_seconds", kLeaseSeconds);
  body.emplace_back("tasks", json::Value(std::move(names)));
  body.emplace_back("worker_id", json::Value(st.worker_id));
  json::Value ignored;
  return request(st.server, st.token, "POST", "/v1/workers/register", json::Value(std::move(body)),
                 &ignored);
}

PyObject* worker_register(PyObject* self, PyObject*) {
  if (!do_register(state_of(self))) return nullptr;
  Py_RETURN_NONE;
}

// The poll request, with the GIL released for it alone.
bool poll(WorkerState& st, std::chrono::nanoseconds timeout, json::Value* out) {
  json::Array names;
  if (!task_names(*st.registry, &names)) return false;
  json::Object body;
  body.emplace_back("tasks", json::Value(std::move(names)));
  body.emplace_back("worker_id", json::Value(st.worker_id));
  const json::Value request_body(std::move(body));
  // A signal interrupting the wait takes the GIL back to run Python's
  // handlers; if one raises (Ctrl-C), the poll is abandoned with that
  // exception.
  bool raised = false;
  PyThreadState* ts = PyEval_SaveThread();
  const remote::InterruptCheck interrupted = [&] {
    PyEval_RestoreThread(ts);
    raised = PyErr_CheckSignals() < 0;
    ts = PyEval_SaveThread();
    return raised;
  };
  auto r = remote::http_json_request(st.server, st.token, "POST", "/v1/workers/poll",
                                     request_body, timeout, interrupted);
  PyEval_RestoreThread(ts);
  if (raised) return false;
  if (!r.ok()) {
    raise_runtime_error(r.error());
    return false;
  }
  *out = std::move(r).value();
  return true;
}

std::string string_field(const json::Value& v, std::string_view key) {
  const json::Value* f = v.find(key);
  return (f != nullptr && f->is_string()) ? f->as_string() : std::string();
}

struct Outcome {
  std::optional<std::string> failure;  // nothing: success
  bool keyboard_interrupt = false;     // the task raised KeyboardInterrupt
};

Outcome failed() {
  Outcome o;
  o.keyboard_interrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
  o.failure = take_exception_text();
  return o;
}

// Calls the task with the payload. A returned coroutine is run to
// completion with asyncio.run. Never leaves an exception set.
Outcome call_task(Borrowed fn, Borrowed payload) {
  PyRef result = PyRef::steal(PyObject_CallOneArg(fn, payload));
  if (!result) return failed();
  if (result.get() == Py_None) return {};
  PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
  PyRef iscoroutine = PyRef::steal(PyUnicode_InternFromString("iscoroutine"));
  PyRef run = PyRef::steal(PyUnicode_InternFromString("run"));
  if (!asyncio || !iscoroutine || !run) return failed();
  PyRef is_coro =
      PyRef::steal(PyObject_CallMethodOneArg(asyncio.get(), iscoroutine.get(), result.get()));
  if (!is_coro) return failed();
  const int yes = PyObject_IsTrue(is_coro.get());
  if (yes < 0) return failed();
  if (yes == 0) return {};
  PyRef done = PyRef::steal(PyObject_CallMethodOneArg(asyncio.get(), run.get(), result.get()));
  if (!done) return failed();
  return {};
}

// 1: a run was executed and reported; 0: nothing to run; -1: raised.
// *interrupt tells whether the task raised KeyboardInterrupt.
int run_once(WorkerState& st, std::chrono::nanoseconds timeout, bool* interrupt) {
  if (!do_register(st)) return -1;
  json::Value answer;
  if (!poll(st, timeout, &answer)) return -1;
  if (answer.is_null()) return 0;
  // A Ctrl-C that arrived while the GIL was released surfaces here, before
  // the run starts; the service's lease handling takes the run back.
  if (PyErr_CheckSignals() < 0) return -1;

  const std::string task = string_field(answer, "task");
  const std::string run_id = string_field(answer, "run_id");
  const json::Value* token_field = answer.find("fencing_token");
  const uint64_t fencing_token =
      (token_field != nullptr && token_field->is_uint()) ? token_field->as_uint() : 0;
  const json::Value* payload_field = answer.find("payload");
  PyRef payload = PyRef::steal(json_to_python(payload_field ? *payload_field : json::Value()));
  if (!payload) return -1;

  PyRef fn;
  {
    TaskRegistry& r = *st.registry;
    RegistryLock lock(r);
    if (r.poisoned) {
      raise_runtime_error(kPoisoned);
      return -1;
    }
    auto it = r.tasks.find(task);
    if (it != r.tasks.end()) fn = PyRef::borrow(it->second);
  }
  if (!fn) {
    raise_runtime_error("task " + task + " is not registered");
    return -1;
  }

  const Outcome outcome = call_task(fn.get(), payload.get());
  const std::optional<std::string>& failure = outcome.failure;
  *interrupt = outcome.keyboard_interrupt;
  json::Object body;
  if (failure) body.emplace_back("error", json::Value(*failure));
  body.emplace_back("fencing_token", fencing_token);
  body.emplace_back("worker_id", json::Value(st.worker_id));
  const std::string path = "/v1/runs/" + run_id + (failure ? "/fail" : "/succeed");
  json::Value ignored;
  if (!request(st.server, st.token, "POST", path, json::Value(std::move(body)), &ignored)) return -1;
  return 1;
}

// Seconds as a non-negative duration, rounded to the nearest nanosecond.
// Values beyond the duration's range (about 292 years) are clamped.
bool poll_timeout(Borrowed obj, std::chrono::nanoseconds* out) {
  double secs = kDefaultPollSeconds;
  if (obj != nullptr && !double_arg(obj, "timeout", &secs)) return false;
  if (std::isnan(secs) || std::isinf(secs) || secs < 0) {
    raise_value_error("timeout must be a non-negative number");
    return false;
  }
  const double nanos = std::nearbyint(secs * 1e9);
  using Rep = std::chrono::nanoseconds::rep;
  *out = nanos >= 9.2e18 ? std::chrono::nanoseconds::max()
                         : std::chrono::nanoseconds(static_cast<Rep>(nanos));
  return true;
}

PyObject* worker_run_once(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const ArgSpec spec("run_once()", {{"timeout"}});
  Borrowed a[1];
  if (!spec.parse_fastcall(args, nargs, kwnames, a)) return nullptr;
  std::chrono::nanoseconds timeout;
  if (!poll_timeout(a[0], &timeout)) return nullptr;
  bool interrupt = false;
  const int r = run_once(state_of(self), timeout, &interrupt);
  if (r < 0) return nullptr;
  return PyBool_FromLong(r);
}

// Repeats run_once until it raises. Ctrl-C must stop the loop, but a task
// exception is caught and reported, KeyboardInterrupt included: so pending
// signals are checked between iterations, and a task's KeyboardInterrupt,
// once reported, ends the loop with KeyboardInterrupt.
PyObject* worker_run(PyObject* self, PyObject*) {
  const auto timeout = std::chrono::nanoseconds(static_cast<int64_t>(kDefaultPollSeconds * 1e9));
  WorkerState& st = state_of(self);
  for (;;) {
    if (PyErr_CheckSignals() < 0) return nullptr;
    bool interrupt = false;
    if (run_once(st, timeout, &interrupt) < 0) return nullptr;
    if (interrupt) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
    }
  }
}

PyMethodDef worker_methods[] = {
    {"task", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(worker_task)),
     METH_FASTCALL | METH_KEYWORDS, "task($self, name)\n--\n\n"},
    {"register", worker_register, METH_NOARGS, "register($self)\n--\n\n"},
    {"run_once", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(worker_run_once)),
     METH_FASTCALL | METH_KEYWORDS, "run_once($self, timeout=20.0)\n--\n\n"},
    {"run", worker_run, METH_NOARGS, "run($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot worker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(worker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(worker_dealloc)},
    {Py_tp_methods, worker_methods},
    {Py_tp_doc, const_cast<char*>("Worker(server, token, worker_id=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec worker_spec = {
    "quor.Worker",
    sizeof(WorkerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    worker_slots,
};

}  // namespace

PyObject* create_worker_type() {
  if (g_decorator_type == nullptr) {
    PyObject* t = PyType_FromSpec(&decorator_spec);
    if (t == nullptr) return nullptr;
    g_decorator_type = reinterpret_cast<PyTypeObject*>(t);  // kept for the process
  }
  return PyType_FromSpec(&worker_spec);
}

}  // namespace quor::py::remote_detail
