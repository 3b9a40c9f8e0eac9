// EngineCore: everything the Engine, its firing loop and its run tasks
// share. One mutex, `mu`, guards every mutable field except the signals and
// the pool, which have their own locks. Internal to the engine (and its
// tests).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/engine/engine.h"
#include "core/engine/runtime.h"
#include "core/engine/thread_annotations.h"
#include "core/heap.h"
#include "core/model.h"
#include "core/storage/aof.h"

namespace quor {

// Shared by the Engine, the firing loop and every run task; whichever lets
// go last closes the log.
struct EngineCore {
  EngineCore(FileSystem& fs, std::string data_dir) : fs(fs), data_dir(std::move(data_dir)) {}

  FileSystem& fs;
  const std::string data_dir;

  Mutex mu;
  DueHeap heap QUOR_GUARDED_BY(mu);
  std::unique_ptr<Aof> aof QUOR_GUARDED_BY(mu);
  uint64_t in_flight QUOR_GUARDED_BY(mu) = 0;  // run tasks dispatched, not yet ended
  bool started QUOR_GUARDED_BY(mu) = false;    // the firing loop was started
  bool closed QUOR_GUARDED_BY(mu) = false;     // schedule and start are refused
  bool stopping QUOR_GUARDED_BY(mu) = false;   // loop exits; no retries or re-arms pushed
  bool loop_exit QUOR_GUARDED_BY(mu) = false;  // loop exits (engine dropped or stop_background)
  EngineState state QUOR_GUARDED_BY(mu);
  TimerMap<std::shared_ptr<TaskFunction>> tasks QUOR_GUARDED_BY(mu);
  std::thread loop_thread QUOR_GUARDED_BY(mu);

  WakeSignal wake;  // has its own lock; wakes the firing loop
  IdleSignal idle;  // waits on mu; raised when a run task ends and when the loop exits
  BlockingPool pool;                   // has its own lock; runs the run tasks
  std::atomic<uint64_t> task_count{0};  // numbers run tasks for fault texts
};

}  // namespace quor
