#include "core/heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace quor {
namespace {

Instant t(int64_t seconds, uint32_t nanos = 0) { return Instant::from_unix(seconds, nanos).value(); }

DueEntry regular(const std::string& id, Instant due) { return DueEntry{id, std::nullopt, due, 1}; }
DueEntry retry(const std::string& id, const std::string& run, Instant due, uint32_t attempt) {
  return DueEntry{id, run, due, attempt};
}

// Every slot is no earlier than its parent.
::testing::AssertionResult heap_ordered(const DueHeap& h) {
  const auto& e = h.entries();
  for (size_t i = 1; i < e.size(); ++i) {
    if (e[i].due < e[(i - 1) / 2].due) {
      return ::testing::AssertionFailure() << "slot " << i << " is earlier than its parent";
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> ids(const std::vector<DueEntry>& v) {
  std::vector<std::string> out;
  for (const auto& e : v) out.push_back(e.timer_id);
  return out;
}

constexpr int64_t k0900 = 9 * 3600, k1000 = 10 * 3600, k1100 = 11 * 3600, k1200 = 12 * 3600;

TEST(DueHeap, PopsEarliestFirst) {
  DueHeap h;
  h.push(regular("ten", t(k1000)));
  h.push(regular("nine", t(k0900)));
  h.push(regular("eleven", t(k1100)));
  EXPECT_EQ(h.peek_due(), t(k0900));
  EXPECT_EQ(ids(h.pop_due(t(k1200))), (std::vector<std::string>{"nine", "ten", "eleven"}));
  EXPECT_TRUE(h.empty());
  EXPECT_EQ(h.peek_due(), std::nullopt);
}

TEST(DueHeap, DueIsInclusiveToTheNanosecond) {
  DueHeap h;
  h.push(retry("a", "run_x", t(k1000, 5), 3));
  EXPECT_TRUE(h.pop_due(t(k1000, 4)).empty());
  EXPECT_EQ(h.size(), 1u);
  auto got = h.pop_due(t(k1000, 5));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], retry("a", "run_x", t(k1000, 5), 3));  // fields come back intact
  EXPECT_TRUE(h.empty());
}

TEST(DueHeap, StopsAtTheFirstFutureEntry) {
  DueHeap h;
  for (int i = 0; i < 10; ++i) h.push(regular("t" + std::to_string(i), t(100 * i)));
  auto got = h.pop_due(t(450));
  EXPECT_EQ(ids(got), (std::vector<std::string>{"t0", "t1", "t2", "t3", "t4"}));
  EXPECT_EQ(h.size(), 5u);
  EXPECT_EQ(h.peek_due(), t(500));
  EXPECT_TRUE(heap_ordered(h));
  EXPECT_TRUE(DueHeap().pop_due(t(1'000'000)).empty());
}

TEST(DueHeap, EqualDuesAndDuplicatesAllComeOut) {
  DueHeap h;
  h.push(regular("a", t(k1000)));
  h.push(regular("b", t(k1000)));
  h.push(regular("a", t(k1000)));  // no deduplication
  h.push(regular("c", t(k1100)));
  auto got = ids(h.pop_due(t(k1000)));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"a", "a", "b"}));
  EXPECT_EQ(h.size(), 1u);
}

TEST(DueHeap, RemoveTimerDropsRegularAndRetryEntries) {
  DueHeap h;
  h.push(regular("x", t(50)));
  for (int i = 0; i < 20; ++i) h.push(regular("keep" + std::to_string(i), t(1000 - 37 * i)));
  h.push(retry("x", "run_1", t(10), 2));
  h.push(regular("x", t(2000)));
  h.remove_timer("x");
  EXPECT_EQ(h.size(), 20u);
  EXPECT_TRUE(heap_ordered(h));
  auto got = h.pop_due(t(5000));
  ASSERT_EQ(got.size(), 20u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NE(got[i].timer_id, "x");
    if (i > 0) {
      EXPECT_LE(got[i - 1].due, got[i].due);
    }
  }
}

TEST(DueHeap, RemoveTimerWithoutEntriesChangesNothing) {
  DueHeap h;
  for (int i = 0; i < 7; ++i) h.push(regular("k" + std::to_string(i), t((i * 5) % 7)));
  const auto before = h.entries();
  h.remove_timer("absent");
  EXPECT_EQ(h.entries(), before);
  h.remove_timer("k3");
  h.remove_timer("k3");
  EXPECT_EQ(h.size(), 6u);
  EXPECT_TRUE(heap_ordered(h));
}

// Random pushes, removals and pops against a simple sorted model.
TEST(DueHeap, MatchesASortedModel) {
  std::mt19937 rng(99);
  DueHeap h;
  std::multimap<Instant, std::string> model;
  for (int step = 0; step < 20000; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 6) {
      const std::string id = "t" + std::to_string(rng() % 20);
      const Instant due = t(rng() % 500, (rng() % 3) * 1000);
      h.push(regular(id, due));
      model.emplace(due, id);
    } else if (op < 7) {
      const std::string id = "t" + std::to_string(rng() % 20);
      h.remove_timer(id);
      for (auto it = model.begin(); it != model.end();) {
        it = it->second == id ? model.erase(it) : std::next(it);
      }
    } else {
      const Instant now = t(rng() % 500);
      auto got = h.pop_due(now);
      std::vector<std::pair<Instant, std::string>> want(model.begin(), model.upper_bound(now));
      model.erase(model.begin(), model.upper_bound(now));
      ASSERT_EQ(got.size(), want.size());
      std::vector<std::pair<Instant, std::string>> got_pairs;
      for (size_t i = 0; i < got.size(); ++i) {
        if (i > 0) {
          ASSERT_LE(got[i - 1].due, got[i].due);
        }
        got_pairs.emplace_back(got[i].due, got[i].timer_id);
      }
      std::sort(got_pairs.begin(), got_pairs.end());
      std::sort(want.begin(), want.end());
      ASSERT_EQ(got_pairs, want);
    }
    ASSERT_EQ(h.size(), model.size());
    ASSERT_TRUE(heap_ordered(h));
    if (model.empty()) {
      ASSERT_EQ(h.peek_due(), std::nullopt);
    } else {
      ASSERT_EQ(h.peek_due(), model.begin()->first);
    }
  }
}

}  // namespace
}  // namespace quor
