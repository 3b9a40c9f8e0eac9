#include "python/callable_task.h"

#include <condition_variable>
#include <exception>
#include <system_error>
#include <thread>

namespace quor::py {

namespace {

// Admission of threads into Python. A call thread registers here before it
// asks for the GIL, so the exit hook can close the door and wait until
// every thread already on its way in has the GIL (after that, CPython
// itself ends any such thread cleanly if it asks for the GIL again during
// finalization). Leaked on purpose, like all state engine threads touch.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool closed = false;  // guarded by mu
  int entering = 0;     // guarded by mu: admitted, GIL not yet taken
};
Gate& gate() {
  static Gate* g = new Gate;
  return *g;
}

bool gate_enter() {
  Gate& g = gate();
  std::lock_guard<std::mutex> lock(g.mu);
  if (g.closed || !interpreter_alive()) return false;
  g.entering++;
  return true;
}

void gate_entered() {
  Gate& g = gate();
  std::lock_guard<std::mutex> lock(g.mu);
  g.entering--;
  g.cv.notify_all();
}

// One run handed from the engine thread to its call thread.
struct CallJob {
  std::shared_ptr<CallableTask> task;
  std::string timer_id;
  std::string run_id;

  std::mutex mu;
  std::condition_variable cv;
  bool done = false;     // guarded by mu
  CallOutcome outcome;   // guarded by mu

  void finish(CallOutcome o) {
    std::lock_guard<std::mutex> lock(mu);
    if (done) return;
    outcome = std::move(o);
    done = true;
    cv.notify_all();
  }
};

// Reports the outcome when the call thread leaves, also when CPython ends
// it in the middle of the call; the default outcome covers that case.
struct FinishOnExit {
  CallJob* job;
  CallOutcome outcome = std::string(kInterpreterExiting);
  ~FinishOnExit() { job->finish(std::move(outcome)); }
};

void run_call_thread(std::shared_ptr<CallJob> job) {
  FinishOnExit report{job.get()};
  if (!gate_enter()) return;
  // No RAII around the GIL here: this thread may be ended inside
  // PyGILState_Ensure or any later GIL re-acquisition.
  PyGILState_STATE gil = PyGILState_Ensure();
  gate_entered();
  drain_deferred();
  report.outcome = job->task->invoke(job->timer_id, job->run_id);
  job->task.reset();  // the task's own release is deferred if it was the last
  PyGILState_Release(gil);
}

// Whether the function wants the context dict: the first parameter that is
// positional (or star-args) decides. Any introspection error means no.
bool wants_context(Borrowed fn) {
  PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return PyErr_Clear(), false;
  PyRef sig = PyRef::steal(PyObject_CallMethod(inspect.get(), "signature", "O", fn));
  if (!sig) return PyErr_Clear(), false;
  PyRef params = PyRef::steal(PyObject_GetAttrString(sig.get(), "parameters"));
  if (!params) return PyErr_Clear(), false;
  PyRef values = PyRef::steal(PyObject_CallMethod(params.get(), "values", nullptr));
  if (!values) return PyErr_Clear(), false;
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return PyErr_Clear(), false;
  PyRef list = PyRef::steal(PyObject_CallMethod(builtins.get(), "list", "O", values.get()));
  if (!list || !PyList_Check(list.get())) return PyErr_Clear(), false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* param = PyList_GET_ITEM(list.get(), i);
    PyRef kind = PyRef::steal(PyObject_GetAttrString(param, "kind"));
    if (!kind) return PyErr_Clear(), false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(kind.get(), "name"));
    if (!name) return PyErr_Clear(), false;
    std::string text;
    if (to_utf8(name.get(), &text) != StrConv::kOk) return PyErr_Clear(), false;
    if (text == "POSITIONAL_ONLY" || text == "POSITIONAL_OR_KEYWORD" ||
        text == "VAR_POSITIONAL") {
      return true;
    }
  }
  return false;
}

PyObject* context_dict(const std::string& timer_id, const std::string& run_id) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef tid = PyRef::steal(PyUnicode_DecodeUTF8(timer_id.data(), timer_id.size(), "replace"));
  if (!tid || PyDict_SetItemString(dict.get(), "timer_id", tid.get()) < 0) return nullptr;
  PyRef rid = PyRef::steal(PyUnicode_DecodeUTF8(run_id.data(), run_id.size(), "replace"));
  if (!rid || PyDict_SetItemString(dict.get(), "run_id", rid.get()) < 0) return nullptr;
  return dict.release();
}

// True for objects asyncio.run accepts: native coroutines, and other
// awaitables asyncio counts as coroutines.
bool is_coroutine(Borrowed obj) {
  if (PyCoro_CheckExact(obj)) return true;
  PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
  if (am == nullptr || am->am_await == nullptr) return false;
  PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return PyErr_Clear(), false;
  PyRef r = PyRef::steal(PyObject_CallMethod(asyncio.get(), "iscoroutine", "O", obj));
  if (!r) return PyErr_Clear(), false;
  int truth = PyObject_IsTrue(r.get());
  if (truth < 0) return PyErr_Clear(), false;
  return truth == 1;
}

}  // namespace

std::shared_ptr<CallableTask> CallableTask::make(std::string fn_name, Borrowed callable) {
  Py_INCREF(callable);
  return std::shared_ptr<CallableTask>(new CallableTask(std::move(fn_name), callable));
}

CallableTask::~CallableTask() {
  // Always deferred: the last reference may go under the engine lock or the
  // module lock, where arbitrary Python code (__del__) must not run.
  defer_decref(callable_);
}

CallOutcome CallableTask::call(const std::string& timer_id, const std::string& run_id) {
  if (!interpreter_alive()) return std::string(kInterpreterExiting);
  try {
    auto job = std::make_shared<CallJob>();
    job->task = shared_from_this();
    job->timer_id = timer_id;
    job->run_id = run_id;
    try {
      std::thread(run_call_thread, job).detach();
    } catch (const std::system_error&) {
      return std::string("failed to spawn thread");
    }
    std::unique_lock<std::mutex> lock(job->mu);
    job->cv.wait(lock, [&] { return job->done; });
    return std::move(job->outcome);
  } catch (const std::exception& e) {
    return std::string("internal error: ") + e.what();
  }
}

CallOutcome CallableTask::invoke(const std::string& timer_id, const std::string& run_id) {
  // Never wait for the callable lock while holding the GIL: a run of this
  // timer that holds the lock may itself be waiting for the GIL.
  std::unique_lock<std::mutex> lock(mu_, std::defer_lock);
  if (!lock.try_lock()) {
    PyThreadState* ts = PyEval_SaveThread();
    lock.lock();
    PyEval_RestoreThread(ts);
  }
  if (poisoned_) return std::string("python callable lock poisoned");
  try {
    return invoke_locked(timer_id, run_id);
  } catch (const std::exception& e) {
    poisoned_ = true;
    PyErr_Clear();
    return std::string("internal error: ") + e.what();
  }
}

CallOutcome CallableTask::invoke_locked(const std::string& timer_id,
                                        const std::string& run_id) {
  PyRef result;
  if (wants_context(callable_)) {
    PyRef ctx = PyRef::steal(context_dict(timer_id, run_id));
    if (!ctx) return take_exception_text();
    result = PyRef::steal(PyObject_CallOneArg(callable_, ctx.get()));
  } else {
    result = PyRef::steal(PyObject_CallNoArgs(callable_));
  }
  if (!result) return take_exception_text();
  if (is_coroutine(result.get())) {
    // An async def task: its work is the coroutine, so run it here.
    PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return take_exception_text();
    PyRef done = PyRef::steal(PyObject_CallMethod(asyncio.get(), "run", "O", result.get()));
    if (!done) return take_exception_text();
  }
  return std::nullopt;
}

void close_python_calls() {
  mark_finalizing();
  Gate& g = gate();
  GilRelease nogil;
  std::unique_lock<std::mutex> lock(g.mu);
  g.closed = true;
  g.cv.wait(lock, [&] { return g.entering == 0; });
}

}  // namespace quor::py
