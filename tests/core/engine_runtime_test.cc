#include "core/engine/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace quor {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr auto kLong = seconds(20);  // generous: only reached when a wake is lost

// Waits until `done()` holds, polling gently; fails the test at the deadline.
template <typename Pred>
bool eventually(Pred done, std::chrono::nanoseconds limit = kLong) {
  auto deadline = steady_clock::now() + limit;
  while (!done()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

TEST(WakeSignal, PermitKeptWhenNobodyWaits) {
  WakeSignal wake;
  wake.notify_one();
  wake.notify_one();  // a second notification still keeps one permit
  EXPECT_TRUE(wake.wait_for(std::chrono::nanoseconds(0)));
  EXPECT_FALSE(wake.wait_for(std::chrono::nanoseconds(0)));
}

TEST(WakeSignal, NotifyWaitersKeepsNothing) {
  WakeSignal wake;
  wake.notify_waiters();
  EXPECT_FALSE(wake.wait_for(milliseconds(5)));
}

TEST(WakeSignal, TimesOutWithoutNotification) {
  WakeSignal wake;
  auto start = steady_clock::now();
  EXPECT_FALSE(wake.wait_for(milliseconds(20)));
  EXPECT_GE(steady_clock::now() - start, milliseconds(20));
}

TEST(WakeSignal, NotifyOneWakesAWaiter) {
  WakeSignal wake;
  std::atomic<int> woken{0};
  std::thread t([&] { woken = wake.wait_for(kLong) ? 1 : 2; });
  wake.notify_one();
  t.join();
  EXPECT_EQ(woken.load(), 1);
}

TEST(WakeSignal, NotifyWaitersWakesEveryCurrentWaiter) {
  WakeSignal wake;
  constexpr int kWaiters = 4;
  std::atomic<int> entered{0}, woken{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < kWaiters; ++i) {
    ts.emplace_back([&] {
      entered++;
      if (wake.wait_for(kLong)) woken++;
    });
  }
  ASSERT_TRUE(eventually([&] { return entered == kWaiters; }));
  // A waiter counts itself just before it waits, so notify until every one
  // has returned true; none of them may time out.
  while (woken < kWaiters) {
    wake.notify_waiters();
    std::this_thread::sleep_for(milliseconds(1));
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(woken.load(), kWaiters);
  // Nothing was kept for a later wait.
  EXPECT_FALSE(wake.wait_for(std::chrono::nanoseconds(0)));
}

TEST(IdleSignal, WaiterSeesConditionAlreadyTrueWithZeroDeadline) {
  std::mutex mu;
  IdleSignal idle;
  std::unique_lock<std::mutex> lk(mu);
  EXPECT_TRUE(idle.wait_until(lk, steady_clock::now(), [] { return true; }));
  EXPECT_FALSE(idle.wait_until(lk, steady_clock::now(), [] { return false; }));
}

TEST(IdleSignal, ReachesWaiterWhenCountDrops) {
  std::mutex mu;
  IdleSignal idle;
  int in_flight = 3;  // guarded by mu
  bool done = false;
  std::thread waiter([&] {
    std::unique_lock<std::mutex> lk(mu);
    done = idle.wait_until(lk, steady_clock::now() + kLong, [&] { return in_flight == 0; });
  });
  std::vector<std::thread> runs;
  for (int i = 0; i < 3; ++i) {
    runs.emplace_back([&] {
      {
        std::lock_guard<std::mutex> lk(mu);
        --in_flight;
      }
      idle.notify_all();  // raised after the lock is released
    });
  }
  for (auto& t : runs) t.join();
  waiter.join();
  EXPECT_TRUE(done);
}

TEST(IdleSignal, DeadlinePassesWhileBusy) {
  std::mutex mu;
  IdleSignal idle;
  std::unique_lock<std::mutex> lk(mu);
  auto start = steady_clock::now();
  EXPECT_FALSE(idle.wait_until(lk, start + milliseconds(20), [] { return false; }));
  EXPECT_GE(steady_clock::now() - start, milliseconds(20));
}

// A latch the pool jobs block on, so that several jobs are provably running
// at the same time.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  int arrived = 0;
  void arrive_and_wait() {
    std::unique_lock<std::mutex> lk(mu);
    ++arrived;
    cv.notify_all();
    cv.wait_for(lk, kLong, [&] { return open; });
  }
  bool wait_arrived(int n) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, kLong, [&] { return arrived >= n; });
  }
  void release() {
    std::lock_guard<std::mutex> lk(mu);
    open = true;
    cv.notify_all();
  }
};

TEST(BlockingPool, RunsManyBlockingJobsAtOnce) {
  BlockingPool pool;
  Gate gate;
  constexpr int kJobs = 32;  // far more than the machine's cores
  std::atomic<int> finished{0};
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_TRUE(pool.submit([&] {
      gate.arrive_and_wait();
      finished++;
    }));
  }
  // Every job is blocked in the gate at once: none waits for another.
  ASSERT_TRUE(gate.wait_arrived(kJobs));
  EXPECT_EQ(pool.threads(), static_cast<size_t>(kJobs));
  gate.release();
  ASSERT_TRUE(eventually([&] { return finished == kJobs; }));
}

TEST(BlockingPool, ReusesIdleThreads) {
  BlockingPool pool;
  std::mutex mu;
  std::set<std::thread::id> ids;
  for (int i = 0; i < 20; ++i) {
    // Wait for the previous job's thread to be idle again before the next.
    ASSERT_TRUE(eventually([&] { return pool.idle_threads() == pool.threads(); }));
    std::atomic<bool> ran{false};
    ASSERT_TRUE(pool.submit([&] {
      std::lock_guard<std::mutex> lk(mu);
      ids.insert(std::this_thread::get_id());
      ran = true;
    }));
    ASSERT_TRUE(eventually([&] { return ran.load(); }));
  }
  std::lock_guard<std::mutex> lk(mu);
  EXPECT_EQ(ids.size(), 1u);
  EXPECT_EQ(pool.threads(), 1u);
}

TEST(BlockingPool, IdleThreadsExitAfterTimeout) {
  BlockingPool pool(milliseconds(20));
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.submit([&] { ran++; }));
  ASSERT_TRUE(eventually([&] { return ran == 3; }));
  ASSERT_TRUE(eventually([&] { return pool.threads() == 0; }));
  // A new job after the exit starts a fresh thread.
  ASSERT_TRUE(pool.submit([&] { ran++; }));
  ASSERT_TRUE(eventually([&] { return ran == 4; }));
}

TEST(BlockingPool, JobMayOutlivePool) {
  Gate gate;
  std::atomic<bool> finished{false};
  {
    BlockingPool pool;
    ASSERT_TRUE(pool.submit([&] {
      gate.arrive_and_wait();
      finished = true;
    }));
    ASSERT_TRUE(gate.wait_arrived(1));
  }  // destroyed while the job runs: it does not wait for it
  gate.release();
  ASSERT_TRUE(eventually([&] { return finished.load(); }));
}

}  // namespace
}  // namespace quor
