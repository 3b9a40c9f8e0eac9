// The extension module `quor`: the process-wide engine handle, the
// lifecycle functions start/shutdown and their asyncio twins, and
// schedule/status/list.
//
// Locks, in order: the GIL, the module lock, the engine lock. No thread
// blocks on the module lock while holding the GIL (start holds the module
// lock while it waits for the GIL), so the module lock is always taken
// with try_lock first, and on contention with the GIL released.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/engine/engine.h"
#include "core/ipc/endpoint.h"
#include "core/schedule/duration.h"
#include "python/callable_task.h"
#include "python/convert.h"
#include "python/pyutil.h"

#if __has_include("python/remote.h")
#include "python/remote.h"
#define QUOR_HAVE_REMOTE 1
#endif

namespace quor::py {
namespace {

constexpr const char* kPoisoned = "quor global state lock poisoned";
constexpr auto kStopPoll = std::chrono::milliseconds(100);
constexpr double kDefaultShutdownTimeout = 5.0;
constexpr auto kReleaseWait = std::chrono::milliseconds(500);
// Longer timeouts are treated as this one (about a century), which keeps
// every deadline computation in range.
constexpr double kMaxShutdownTimeoutSeconds = 3.0e9;

// What schedule() builds from its arguments.
struct ScheduleRequest {
  std::string name;
  std::string fn_name;
  PyRef callable;
  Schedule schedule;
  std::string timezone;
  RetryPolicy retry;
};

// Shared by start/shutdown and the runtime thread: the startup report and
// the stop message.
struct RuntimeControl {
  enum class Report { kNone, kOk, kFailed, kEnded };

  std::mutex mu;
  std::condition_variable cv;
  Report report = Report::kNone;  // guarded by mu
  std::string message;            // guarded by mu: the failure's text
  bool stop = false;              // guarded by mu
  bool panicked = false;          // guarded by mu: the thread ended abnormally

  void send_report(Report r, std::string text = {}) {
    std::lock_guard<std::mutex> lock(mu);
    if (report != Report::kNone) return;
    report = r;
    message = std::move(text);
    cv.notify_all();
  }
  Report wait_report(std::string* text) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return report != Report::kNone; });
    *text = message;
    return report;
  }
  void request_stop() {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
    cv.notify_all();
  }
  // Polls for the stop message every 100 ms; a notification ends a poll early.
  void wait_stop() {
    std::unique_lock<std::mutex> lock(mu);
    while (!stop) cv.wait_for(lock, kStopPoll);
  }
};

// The runtime thread: starts the engine's background work, reports, waits
// for the stop message, then stops the background work. It never touches
// Python.
void runtime_main(std::shared_ptr<RuntimeControl> ctl, std::shared_ptr<Engine> engine) {
  try {
    Status started = engine->start();
    if (!started.ok()) {
      ctl->send_report(RuntimeControl::Report::kFailed, started.error().message());
      engine->stop_background();
      return;
    }
    ctl->send_report(RuntimeControl::Report::kOk);
    ctl->wait_stop();
    engine->stop_background();
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> lock(ctl->mu);
    ctl->panicked = true;
  }
  ctl->send_report(RuntimeControl::Report::kEnded);
}

struct RunningEngine {
  std::shared_ptr<RuntimeControl> control;  // the stop channel's sender
  std::shared_ptr<Engine> engine;
  std::thread runtime_thread;
  std::optional<std::thread> endpoint_thread;

  RunningEngine() = default;
  RunningEngine(RunningEngine&&) = default;
  RunningEngine& operator=(RunningEngine&&) = default;
  // A handle dropped without an orderly stop: the runtime thread is told to
  // stop and both threads are left to end on their own.
  ~RunningEngine() {
    if (control) control->request_stop();
    if (runtime_thread.joinable()) runtime_thread.detach();
    if (endpoint_thread && endpoint_thread->joinable()) endpoint_thread->detach();
  }
};

// The process-wide state. Created on first use and never destroyed, so no
// Python object is ever released by a static destructor.
struct ModuleState {
  std::mutex mu;                         // the module lock
  bool poisoned = false;                 // guarded by mu; never cleared
  std::optional<RunningEngine> running;  // guarded by mu
  std::vector<ScheduleRequest> pending;  // guarded by mu
};
ModuleState& state() {
  static ModuleState* s = new ModuleState;
  return *s;
}

// Holds the module lock for a scope. acquire() is called with the GIL held
// and never blocks on the lock while holding it.
class ModuleLock {
 public:
  ~ModuleLock() {
    if (held_) state().mu.unlock();
  }
  // False with RuntimeError set when the lock is poisoned.
  bool acquire() {
    lock_releasing_gil(state().mu);
    held_ = true;
    if (state().poisoned) {
      release();
      raise_runtime_error(kPoisoned);
      return false;
    }
    return true;
  }
  void release() {
    if (held_) {
      held_ = false;
      state().mu.unlock();
    }
  }
  bool held() const { return held_; }

 private:
  bool held_ = false;
};

// Runs a module function's body; an internal fault (a C++ exception) while
// the module lock is held poisons it.
template <typename F>
PyObject* guarded(ModuleLock& lock, F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    if (lock.held()) state().poisoned = true;
    PyErr_Clear();
    return raise_runtime_error(std::string("quor internal error: ") + e.what());
  }
}

// Drops an engine reference with the GIL released: the last one joins the
// firing loop's thread.
// A pending exception is kept.
void drop_engine(std::shared_ptr<Engine>& engine) {
  if (!engine) return;
  PyObject* exc = PyErr_GetRaisedException();
  {
    GilRelease nogil;
    engine.reset();
  }
  drain_deferred();
  PyErr_SetRaisedException(exc);
}

void join_releasing_gil(std::thread& t) {
  if (!t.joinable()) return;
  GilRelease nogil;
  t.join();
}

// Deletes the discovery files so the endpoint's accept threads end, then
// waits for the Unix accept thread.
void stop_endpoint(const std::string& dir, std::optional<std::thread>& endpoint) {
  ::unlink(port_path(dir).c_str());
  ::unlink(socket_path(dir).c_str());
  if (endpoint) join_releasing_gil(*endpoint);
}

// Gives the endpoint's TCP accept thread, which notices its deleted
// discovery file within one poll, a moment to let go of the engine, so that
// the directory lock goes with the module's reference and a start right
// after shutdown finds the directory free. Open control connections may
// hold the engine longer; the wait is bounded.
void await_release(const std::shared_ptr<Engine>& engine) {
  GilRelease nogil;
  auto deadline = std::chrono::steady_clock::now() + kReleaseWait;
  while (engine.use_count() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// ---- data directory ----

std::optional<std::string> env_utf8(const char* name) {
  const char* v = ::getenv(name);
  if (v == nullptr) return std::nullopt;
  PyObject* probe = PyUnicode_DecodeUTF8(v, static_cast<Py_ssize_t>(strlen(v)), "strict");
  if (probe == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_DECREF(probe);
  return std::string(v);
}

std::string join_path(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

// The path without its last component; nothing for "/" or an empty path,
// "" for a bare name.
std::optional<std::string> parent_dir(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path == "/") return std::nullopt;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  std::string parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  if (parent.empty()) return std::string("/");
  return parent;
}

// The directory of the running script (sys.argv[0]) joined with ".quor".
std::optional<std::string> script_data_dir() {
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  if (!sys) return PyErr_Clear(), std::nullopt;
  PyRef argv = PyRef::steal(PyObject_GetAttrString(sys.get(), "argv"));
  if (!argv) return PyErr_Clear(), std::nullopt;
  if (PyUnicode_Check(argv.get()) || !PySequence_Check(argv.get())) return std::nullopt;
  PyRef items = PyRef::steal(PySequence_List(argv.get()));
  if (!items) return PyErr_Clear(), std::nullopt;
  std::vector<std::string> args;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    std::string s;
    if (to_utf8(PyList_GET_ITEM(items.get(), i), &s) != StrConv::kOk) {
      return PyErr_Clear(), std::nullopt;
    }
    args.push_back(std::move(s));
  }
  if (args.empty()) return std::nullopt;
  std::optional<std::string> parent = parent_dir(args[0]);
  if (!parent || parent->empty()) return std::nullopt;
  return join_path(*parent, ".quor");
}

std::string resolve_data_dir() {
  if (std::optional<std::string> home = env_utf8("QUOR_HOME")) return *home;
  if (std::optional<std::string> dir = script_data_dir()) return *dir;
  if (std::optional<std::string> home = env_utf8("HOME")) return join_path(*home, ".quor");
  return ".quor";
}

// ---- schedule requests ----

// Registers the request's function with a running engine. False with the
// exception set on a refusal.
bool apply_schedule_request(const std::shared_ptr<Engine>& engine, const ScheduleRequest& req) {
  std::shared_ptr<TaskFunction> task = CallableTask::make(req.fn_name, req.callable.get());
  std::optional<Status> st;
  {
    // The engine syncs its log before it returns; other Python threads run
    // meanwhile. The module lock stays held.
    GilRelease nogil;
    st.emplace(engine->schedule(req.name, req.schedule, std::move(task), req.retry, req.timezone));
  }
  drain_deferred();
  if (!st->ok()) {
    raise_engine_error(st->error());
    return false;
  }
  return true;
}

std::string derive_fn_name(Borrowed fn) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(fn, "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    std::string s;
    if (to_utf8(name.get(), &s) == StrConv::kOk) return s;
  }
  PyErr_Clear();
  PyRef repr = PyRef::steal(PyObject_Repr(fn));
  if (repr && PyUnicode_Check(repr.get())) {
    std::string s;
    if (to_utf8(repr.get(), &s) == StrConv::kOk) return s;
  }
  PyErr_Clear();
  return "<callable>";
}

// Looks up an optional keyword (borrowed; nullptr when absent).
Borrowed keyword(Borrowed kwargs, const char* key) {
  if (kwargs == nullptr) return nullptr;
  return PyDict_GetItemString(kwargs, key);
}

bool parse_max_attempts(Borrowed obj, uint32_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    raise_overflow_error("can't convert negative int to unsigned");
    return false;
  }
  if (overflow > 0 || v > 0xFFFFFFFFLL) {
    raise_overflow_error("int too big to convert");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

// Steps 1 to 8 of schedule(): checks and builds the request without the
// module lock. False with the exception set.
bool build_request(Borrowed name_obj, Borrowed kwargs, ScheduleRequest* req) {
  if (!str_arg(name_obj, "name", &req->name)) return false;
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    raise_value_error("schedule() requires keyword args");
    return false;
  }
  Borrowed fn = keyword(kwargs, "fn");
  if (fn == nullptr) {
    raise_value_error("schedule() requires fn=<callable>");
    return false;
  }
  if (!PyCallable_Check(fn)) {
    raise_value_error("fn must be callable");
    return false;
  }
  req->fn_name = derive_fn_name(fn);
  req->callable = PyRef::borrow(fn);

  req->timezone = "UTC";
  if (Borrowed tz = keyword(kwargs, "timezone")) {
    if (!str_value(tz, &req->timezone)) return false;
  }
  uint32_t max_attempts = 3;
  if (Borrowed ma = keyword(kwargs, "max_attempts")) {
    if (!parse_max_attempts(ma, &max_attempts)) return false;
  }
  req->retry = RetryPolicy::default_policy(max_attempts);

  std::optional<std::string> cron, every, after;
  const char* keys[] = {"cron", "every", "after"};
  std::optional<std::string>* slots[] = {&cron, &every, &after};
  for (int i = 0; i < 3; ++i) {
    if (Borrowed v = keyword(kwargs, keys[i])) {
      std::string s;
      if (!str_value(v, &s)) return false;
      *slots[i] = std::move(s);
    }
  }
  Borrowed at = keyword(kwargs, "at");
  int kinds = (cron ? 1 : 0) + (every ? 1 : 0) + (after ? 1 : 0) + (at ? 1 : 0);
  if (kinds != 1) {
    raise_value_error("schedule() requires exactly one of cron, every, after, at");
    return false;
  }
  if (cron) {
    req->schedule = CronSchedule{*cron};
  } else if (every || after) {
    Result<uint64_t> secs = parse_duration(every ? *every : *after);
    if (!secs.ok()) {
      raise_engine_error(secs.error());
      return false;
    }
    if (every) {
      req->schedule = EverySchedule{secs.value()};
    } else {
      req->schedule = AfterSchedule{secs.value(), Instant::now()};
    }
  } else {
    std::optional<Instant> when = at_to_instant(at);
    if (!when) return false;
    req->schedule = AtSchedule{*when};
  }
  return true;
}

// ---- module functions ----

PyObject* py_schedule(PyObject*, PyObject* args, PyObject* kwargs) {
  drain_deferred();
  static const ArgSpec spec("schedule()", {{"name", true}}, /*var_kwargs=*/true);
  Borrowed name = nullptr;
  PyRef rest;
  if (!spec.parse_tuple(args, kwargs, &name, &rest)) return nullptr;
  ScheduleRequest req;
  if (!build_request(name, rest.get(), &req)) return nullptr;

  ModuleLock lock;
  return guarded(lock, [&]() -> PyObject* {
    if (!lock.acquire()) return nullptr;
    ModuleState& s = state();
    if (!s.running) {
      s.pending.push_back(std::move(req));
      Py_RETURN_NONE;
    }
    std::shared_ptr<Engine> engine = s.running->engine;
    bool ok = apply_schedule_request(engine, req);
    lock.release();
    drop_engine(engine);  // never the last reference: the module holds one
    if (!ok) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* py_start(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  static const ArgSpec spec("start()", {{"data_dir"}});
  Borrowed arg = nullptr;
  if (!spec.parse_fastcall(args, nargs, kwnames, &arg)) return nullptr;
  std::optional<std::string> data_dir;
  if (arg != nullptr && arg != Py_None) {
    std::string s;
    if (!str_arg(arg, "data_dir", &s)) return nullptr;
    data_dir = std::move(s);
  }

  // Declared before the lock so that they are released after it.
  std::vector<ScheduleRequest> requests;
  std::shared_ptr<Engine> engine;
  ModuleLock lock;
  PyObject* result = guarded(lock, [&]() -> PyObject* {
    if (!lock.acquire()) return nullptr;
    ModuleState& s = state();
    if (s.running) return raise_engine_error(EngineError::already_started());

    std::string dir = data_dir ? *data_dir : resolve_data_dir();
    std::optional<Result<std::shared_ptr<Engine>>> opened;
    {
      GilRelease nogil;
      opened.emplace(Engine::open(dir));
    }
    if (!opened->ok()) return raise_engine_error(opened->error());
    engine = std::move(*opened).value();

    requests.swap(s.pending);
    for (const ScheduleRequest& req : requests) {
      if (!apply_schedule_request(engine, req)) return nullptr;
    }

    std::optional<Result<std::thread>> endpoint_started;
    {
      GilRelease nogil;
      endpoint_started.emplace(start_control_endpoint(engine));
    }
    std::optional<std::thread> endpoint;
    if (!endpoint_started->ok()) {
      // A listener already started holds the engine until its discovery
      // file goes; remove both so the directory is released.
      stop_endpoint(engine->data_dir(), endpoint);
      await_release(engine);
      return raise_engine_error(endpoint_started->error());
    }
    endpoint.emplace(std::move(*endpoint_started).value());

    auto control = std::make_shared<RuntimeControl>();
    std::thread runtime;
    try {
      runtime = std::thread(runtime_main, control, engine);
    } catch (const std::system_error&) {
      stop_endpoint(engine->data_dir(), endpoint);
      await_release(engine);
      return raise_runtime_error("failed to spawn thread");
    }
    std::string message;
    RuntimeControl::Report report;
    {
      GilRelease nogil;
      report = control->wait_report(&message);
    }
    if (report != RuntimeControl::Report::kOk) {
      join_releasing_gil(runtime);
      stop_endpoint(engine->data_dir(), endpoint);
      await_release(engine);
      if (report == RuntimeControl::Report::kFailed) return raise_runtime_error(message);
      return raise_runtime_error("quor runtime thread failed to start");
    }
    RunningEngine running;
    running.control = std::move(control);
    running.engine = engine;
    running.runtime_thread = std::move(runtime);
    running.endpoint_thread = std::move(endpoint);
    s.running.emplace(std::move(running));
    Py_RETURN_NONE;
  });
  lock.release();
  // On success the module keeps its own reference; on failure this is the
  // last one apart from threads that are ending.
  drop_engine(engine);
  return result;
}

PyObject* py_shutdown(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  static const ArgSpec spec("shutdown()", {{"timeout"}});
  Borrowed arg = nullptr;
  if (!spec.parse_fastcall(args, nargs, kwnames, &arg)) return nullptr;
  double timeout = kDefaultShutdownTimeout;
  if (arg != nullptr && !double_arg(arg, "timeout", &timeout)) return nullptr;

  std::optional<RunningEngine> running;
  ModuleLock lock;
  PyObject* result = guarded(lock, [&]() -> PyObject* {
    if (!lock.acquire()) return nullptr;
    ModuleState& s = state();
    if (!s.running) Py_RETURN_NONE;
    if (!std::isfinite(timeout) || timeout < 0) {
      return raise_value_error("timeout must be a non-negative number");
    }
    running = std::move(s.running);
    s.running.reset();
    lock.release();

    double secs = std::min(timeout, kMaxShutdownTimeoutSeconds);
    auto duration = std::chrono::nanoseconds(static_cast<int64_t>(secs * 1e9));
    std::optional<Status> stopped;
    {
      GilRelease nogil;
      stopped.emplace(running->engine->shutdown(duration));
    }
    drain_deferred();
    if (!stopped->ok()) {
      // Put the engine back so that shutdown can be tried again. If another
      // start won the slot meanwhile, the old engine is stopped without
      // waiting further; it is already refusing work.
      if (!lock.acquire()) {
        PyObject* exc = PyErr_GetRaisedException();
        running.reset();
        PyErr_SetRaisedException(exc);
        return nullptr;
      }
      if (!s.running) {
        s.running = std::move(running);
        running.reset();
        return raise_engine_error(stopped->error());
      }
      lock.release();
      running->control->request_stop();
      join_releasing_gil(running->runtime_thread);
      stop_endpoint(running->engine->data_dir(), running->endpoint_thread);
      return raise_engine_error(stopped->error());
    }

    running->control->request_stop();
    join_releasing_gil(running->runtime_thread);
    bool panicked;
    {
      std::lock_guard<std::mutex> g(running->control->mu);
      panicked = running->control->panicked;
    }
    if (panicked) return raise_runtime_error("quor runtime thread panicked");
    stop_endpoint(running->engine->data_dir(), running->endpoint_thread);
    await_release(running->engine);
    Py_RETURN_NONE;
  });
  lock.release();
  if (running) {
    drop_engine(running->engine);
    running.reset();
  }
  return result;
}

PyObject* py_status(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  static const ArgSpec spec("status()", {{"name", true}});
  Borrowed arg = nullptr;
  if (!spec.parse_fastcall(args, nargs, kwnames, &arg)) return nullptr;
  std::string name;
  if (!str_arg(arg, "name", &name)) return nullptr;
  ModuleLock lock;
  return guarded(lock, [&]() -> PyObject* {
    if (!lock.acquire()) return nullptr;
    ModuleState& s = state();
    if (!s.running) Py_RETURN_NONE;
    std::optional<TimerStatus> st = s.running->engine->status(name);
    if (!st) Py_RETURN_NONE;
    return status_to_dict(*st);
  });
}

PyObject* py_list(PyObject*, PyObject*) {
  drain_deferred();
  ModuleLock lock;
  return guarded(lock, [&]() -> PyObject* {
    if (!lock.acquire()) return nullptr;
    ModuleState& s = state();
    if (!s.running) return PyList_New(0);
    std::vector<TimerStatus> all = s.running->engine->list();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < all.size(); ++i) {
      PyObject* d = status_to_dict(all[i]);
      if (d == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d);
    }
    return list.release();
  });
}

// asyncio.to_thread(quor.<attr>, *args): looked up anew on every call.
PyObject* to_thread(const char* attr, Borrowed arg) {
  PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return nullptr;
  PyRef quor = PyRef::steal(PyImport_ImportModule("quor"));
  if (!quor) return nullptr;
  PyRef fn = PyRef::steal(PyObject_GetAttrString(quor.get(), attr));
  if (!fn) return nullptr;
  PyRef to_thread = PyRef::steal(PyObject_GetAttrString(asyncio.get(), "to_thread"));
  if (!to_thread) return nullptr;
  if (arg == nullptr) return PyObject_CallOneArg(to_thread.get(), fn.get());
  PyObject* call_args[] = {fn.get(), arg};
  return PyObject_Vectorcall(to_thread.get(), call_args, 2, nullptr);
}

PyObject* py_astart(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  static const ArgSpec spec("astart()", {{"data_dir"}});
  Borrowed arg = nullptr;
  if (!spec.parse_fastcall(args, nargs, kwnames, &arg)) return nullptr;
  if (arg == nullptr || arg == Py_None) return to_thread("start", nullptr);
  std::string s;
  if (!str_arg(arg, "data_dir", &s)) return nullptr;
  PyRef dir = PyRef::steal(to_py_str(s));
  if (!dir) return nullptr;
  return to_thread("start", dir.get());
}

PyObject* py_ashutdown(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  static const ArgSpec spec("ashutdown()", {{"timeout"}});
  Borrowed arg = nullptr;
  if (!spec.parse_fastcall(args, nargs, kwnames, &arg)) return nullptr;
  double timeout = kDefaultShutdownTimeout;
  if (arg != nullptr && !double_arg(arg, "timeout", &timeout)) return nullptr;
  PyRef value = PyRef::steal(PyFloat_FromDouble(timeout));
  if (!value) return nullptr;
  return to_thread("shutdown", value.get());
}

PyObject* py_astatus(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  static const ArgSpec spec("astatus()", {{"name", true}});
  Borrowed arg = nullptr;
  if (!spec.parse_fastcall(args, nargs, kwnames, &arg)) return nullptr;
  std::string name;
  if (!str_arg(arg, "name", &name)) return nullptr;
  PyRef value = PyRef::steal(to_py_str(name));
  if (!value) return nullptr;
  return to_thread("status", value.get());
}

PyObject* py_alist(PyObject*, PyObject*) {
  drain_deferred();
  return to_thread("list", nullptr);
}

// Registered with atexit at import: from then on engine threads leave
// Python alone, so an exit without shutdown ends normally.
PyObject* py_exit_hook(PyObject*, PyObject*) {
  close_python_calls();
  Py_RETURN_NONE;
}

#define QUOR_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kFunctions[] = {
    {"schedule", QUOR_FASTCALL(py_schedule), METH_VARARGS | METH_KEYWORDS,
     "schedule(name, **kwargs)\n--\n\n"},
    {"start", QUOR_FASTCALL(py_start), METH_FASTCALL | METH_KEYWORDS,
     "start(data_dir=None)\n--\n\n"},
    {"astart", QUOR_FASTCALL(py_astart), METH_FASTCALL | METH_KEYWORDS,
     "astart(data_dir=None)\n--\n\n"},
    {"shutdown", QUOR_FASTCALL(py_shutdown), METH_FASTCALL | METH_KEYWORDS,
     "shutdown(timeout=5.0)\n--\n\n"},
    {"ashutdown", QUOR_FASTCALL(py_ashutdown), METH_FASTCALL | METH_KEYWORDS,
     "ashutdown(timeout=5.0)\n--\n\n"},
    {"status", QUOR_FASTCALL(py_status), METH_FASTCALL | METH_KEYWORDS,
     "status(name)\n--\n\n"},
    {"astatus", QUOR_FASTCALL(py_astatus), METH_FASTCALL | METH_KEYWORDS,
     "astatus(name)\n--\n\n"},
    {"list", py_list, METH_NOARGS, "list()\n--\n\n"},
    {"alist", py_alist, METH_NOARGS, "alist()\n--\n\n"},
};

PyMethodDef kExitHook = {"_quor_exit_hook", py_exit_hook, METH_NOARGS, nullptr};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "quor", "", -1, nullptr,
                       nullptr, nullptr, nullptr, nullptr};

PyInterpreterState* g_interpreter = nullptr;  // the one interpreter served

int register_exit_hook() {
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  PyRef hook = PyRef::steal(PyCFunction_New(&kExitHook, nullptr));
  if (!hook) return -1;
  PyRef r = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return r ? 0 : -1;
}

}  // namespace
}  // namespace quor::py

PyMODINIT_FUNC PyInit_quor(void) {
  using namespace quor::py;
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (g_interpreter != nullptr && g_interpreter != interp) {
    PyErr_SetString(PyExc_ImportError,
                    "quor can only be imported in one interpreter per process");
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& def : kFunctions) {
    if (module_add(module.get(), def.ml_name,
                   PyCFunction_NewEx(&def, module.get(), module_name.get())) < 0) {
      return nullptr;
    }
  }
#ifdef QUOR_HAVE_REMOTE
  if (add_remote_types(module.get()) < 0) return nullptr;
#endif
  if (register_exit_hook() < 0) return nullptr;
  g_interpreter = interp;
  return module.release();
}
