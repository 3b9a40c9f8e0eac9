// CallableTask: the engine's TaskFunction for a Python callable.
//
// call() runs on an engine thread that never takes the GIL itself: each
// call is carried out on a short-lived thread of its own, which takes the
// GIL, decides by introspection whether the function wants the context
// dict {"timer_id", "run_id"}, calls it, runs a returned coroutine to
// completion with asyncio.run, and turns any exception into the failure
// text "{type.__qualname__}: {str(exc)}". At interpreter exit CPython may
// end such a thread abruptly; the engine thread is then told the run
// failed and never touches Python itself.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "core/engine/engine.h"
#include "python/pyutil.h"

namespace quor::py {

class CallableTask final : public TaskFunction,
                           public std::enable_shared_from_this<CallableTask> {
 public:
  // Takes a new reference to `callable`. GIL held.
  static std::shared_ptr<CallableTask> make(std::string fn_name, Borrowed callable);
  // May run on any thread: the callable's reference is released under the
  // GIL, later if need be.
  ~CallableTask() override;

  std::string name() const override { return fn_name_; }
  CallOutcome call(const std::string& timer_id, const std::string& run_id) override;

  // The call itself, on a thread that holds the GIL.
  CallOutcome invoke(const std::string& timer_id, const std::string& run_id);

 private:
  CallableTask(std::string fn_name, PyObject* callable)
      : fn_name_(std::move(fn_name)), callable_(callable) {}
  CallOutcome invoke_locked(const std::string& timer_id, const std::string& run_id);

  const std::string fn_name_;
  std::mutex mu_;                 // the callable lock; taken after the GIL
  PyObject* const callable_;      // owned; used under mu_
  bool poisoned_ = false;         // guarded by mu_
};

// Failure text of a run whose call could not reach Python because the
// interpreter is exiting.
inline constexpr const char* kInterpreterExiting = "interpreter is shutting down";

// Stops new calls from entering Python and waits, with the GIL released,
// until calls that were already taking the GIL have it. Called with the GIL
// held by the module's exit hook; afterwards interpreter_alive() is false.
void close_python_calls();

}  // namespace quor::py
