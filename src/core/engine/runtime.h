// The engine's small runtime: the signals its firing loop and shutdown wait
// on, and the pool of threads that runs task-function calls.
//
// WakeSignal wakes the firing loop. notify_one() wakes one waiter, or, when
// nobody waits, keeps one permit for the next wait_for(), so a wake that
// lands while the loop is busy is not lost; several notifications without
// a waiter still keep a single permit. notify_waiters() wakes every thread
// waiting at that moment and keeps nothing.
//
// IdleSignal is raised when a run ends. It reaches only current waiters; a
// waiter waits on the lock that guards the state it watches, with its
// condition and a deadline, so it re-checks the state after every wake-up
// and cannot miss a change made under that lock.
//
// BlockingPool runs every submitted job on a thread of its own: an idle
// thread is reused when there is one, otherwise a new thread starts. There
// is no limit on the jobs running at once. An idle thread waits (it does
// not spin) and exits after `idle_timeout` without work.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace quor {

class WakeSignal {
 public:
  void notify_one();
  void notify_waiters();
  // Returns true when woken by a permit or a notification, false when the
  // duration elapsed first. A pending permit is consumed, even with a zero
  // duration.
  bool wait_for(std::chrono::nanoseconds duration);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool permit_ = false;      // guarded by mu_
  uint64_t generation_ = 0;  // guarded by mu_; bumped by notify_waiters
};

class IdleSignal {
 public:
  void notify_all() { cv_.notify_all(); }

  // Waits with `lock` released until `done()` holds (checked under the lock,
  // first before any wait) or `deadline` passes; returns done().
  template <typename Lock, typename Pred>
  bool wait_until(Lock& lock, std::chrono::steady_clock::time_point deadline, Pred done) {
    return cv_.wait_until(lock, deadline, std::move(done));
  }

 private:
  std::condition_variable_any cv_;
};

class BlockingPool {
 public:
  explicit BlockingPool(std::chrono::milliseconds idle_timeout = std::chrono::seconds(10));
  // Idle threads exit at once; running jobs finish on their threads, which
  // then exit. Never waits for a job.
  ~BlockingPool();

  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Runs `job` on a thread of its own. Returns false (and drops the job)
  // only when no thread could be started.
  bool submit(std::function<void()> job);

  // Threads alive now (running a job or idle).
  size_t threads() const;
  // Threads alive and idle now.
  size_t idle_threads() const;

 private:
  // Shared with the worker threads, which may outlive the pool object.
  struct State {
    std::chrono::milliseconds idle_timeout;
    mutable std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;  // guarded by mu; each job has a claimed idle thread
    size_t idle = 0;                          // guarded by mu; idle threads not yet claimed
    size_t threads = 0;                       // guarded by mu
    bool closed = false;                      // guarded by mu
  };
  static void worker(std::shared_ptr<State> state, std::function<void()> job);

  std::shared_ptr<State> state_;
};

}  // namespace quor
