// Engine: one open data directory. It holds the directory lock for its
// whole life, rebuilds the timer tables from storage at open, and offers
// schedule, status, list, compact, start and shutdown. All state lives in
// an EngineCore guarded by one mutex; task functions are always called
// without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/model.h"
#include "core/result.h"

namespace quor {

class FileSystem;  // storage/fs.h

// Outcome of one task-function call: nothing on success, else the failure text.
using CallOutcome = std::optional<std::string>;

// The engine's face of a registered task. call() runs on a blocking-pool
// thread without any engine lock held; it may take as long as it likes.
// An exception escaping call() counts as a call that ended abnormally.
class TaskFunction {
 public:
  virtual ~TaskFunction() = default;
  virtual std::string name() const = 0;
  virtual CallOutcome call(const std::string& timer_id, const std::string& run_id) = 0;
};

struct EngineCore;  // engine/engine.cc

class Engine {
 public:
  // Prepares and locks the directory, opens "quor.aof", recovers the state
  // and marks every stored timer Orphaned with no next run. `fs` must
  // outlive the engine (defaults to the real file system).
  static Result<std::shared_ptr<Engine>> open(const std::string& data_dir,
                                              FileSystem* fs = nullptr);
  // Makes the firing loop exit and joins it, then releases the directory
  // lock. Runs still in flight finish on their own threads, with their own
  // reference to the core; nothing else of shutdown() is done here.
  ~Engine();

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Creates or updates the timer, binds the task and arms its first fire.
  // A cron or zone that cannot be evaluated leaves the timer unarmed but
  // still succeeds.
  Status schedule(const std::string& timer_id, Schedule schedule,
                  std::shared_ptr<TaskFunction> task,
                  std::optional<RetryPolicy> retry = std::nullopt,
                  std::optional<std::string> timezone = std::nullopt);

  // Starts the firing loop on its own thread.
  Status start();

  // Makes the firing loop exit and waits for its thread, without changing
  // the engine's phase: for the owner of the runtime thread when it stops
  // (after shutdown). Runs in flight are not waited for. Idempotent; a loop
  // started afterwards exits at once.
  void stop_background();

  std::optional<TimerStatus> status(const std::string& timer_id) const;
  std::vector<TimerStatus> list() const;

  // Snapshot plus log rotation, under the engine lock.
  Status compact();

  // Sets stopping and waits up to `timeout` for runs in flight to end.
  Status shutdown(std::chrono::nanoseconds timeout);

  // Entries waiting in the due heap (regular fires and retries).
  size_t due_entry_count() const;

  const std::string& data_dir() const { return data_dir_; }
  const std::string& lock_path() const { return lock_path_; }

 private:
  Engine() = default;
  friend struct EngineTestAccess;  // tests reach the core through it

  std::string data_dir_;
  std::string lock_path_;
  std::shared_ptr<EngineCore> core_;
  std::shared_ptr<void> lock_;  // the DirLock, released with the engine
};

}  // namespace quor
