#include "core/engine/runtime.h"

#include <system_error>
#include <thread>

namespace quor {

void WakeSignal::notify_one() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    permit_ = true;
  }
  cv_.notify_one();
}

void WakeSignal::notify_waiters() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++generation_;
  }
  cv_.notify_all();
}

bool WakeSignal::wait_for(std::chrono::nanoseconds duration) {
  std::unique_lock<std::mutex> lk(mu_);
  const uint64_t gen = generation_;
  auto woken = [&] { return permit_ || generation_ != gen; };
  if (!woken() && duration.count() > 0) {
    auto now = std::chrono::steady_clock::now();
    auto max_wait = std::chrono::steady_clock::time_point::max() - now;
    auto deadline = duration >= max_wait ? std::chrono::steady_clock::time_point::max()
                                         : now + duration;
    cv_.wait_until(lk, deadline, woken);
  }
  if (permit_) {
    permit_ = false;
    return true;
  }
  return generation_ != gen;
}

BlockingPool::BlockingPool(std::chrono::milliseconds idle_timeout)
    : state_(std::make_shared<State>()) {
  state_->idle_timeout = idle_timeout;
}

BlockingPool::~BlockingPool() {
  {
    std::lock_guard<std::mutex> lk(state_->mu);
    state_->closed = true;
  }
  state_->cv.notify_all();
}

bool BlockingPool::submit(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lk(state_->mu);
    if (state_->idle > 0) {
      --state_->idle;  // claim one idle thread for this job
      state_->queue.push_back(std::move(job));
      state_->cv.notify_one();
      return true;
    }
    ++state_->threads;
  }
  try {
    std::thread(worker, state_, std::move(job)).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lk(state_->mu);
    --state_->threads;
    return false;
  }
  return true;
}

size_t BlockingPool::threads() const {
  std::lock_guard<std::mutex> lk(state_->mu);
  return state_->threads;
}

size_t BlockingPool::idle_threads() const {
  std::lock_guard<std::mutex> lk(state_->mu);
  return state_->idle;
}

void BlockingPool::worker(std::shared_ptr<State> state, std::function<void()> job) {
  std::unique_lock<std::mutex> lk(state->mu, std::defer_lock);
  for (;;) {
    job();
    job = nullptr;  // release what the job captured before idling
    lk.lock();
    if (state->closed) break;
    ++state->idle;
    state->cv.wait_for(lk, state->idle_timeout,
                       [&] { return !state->queue.empty() || state->closed; });
    if (state->queue.empty()) {
      --state->idle;  // timed out, or the pool closed, with no job for us
      break;
    }
    // The submitter already took our idle slot when it queued the job.
    job = std::move(state->queue.front());
    state->queue.pop_front();
    lk.unlock();
  }
  --state->threads;
}

}  // namespace quor
