// DueHeap: every fire waiting to happen in the running engine, earliest
// first.
//
// A binary min-heap in a growable array, ordered by `due` alone; entries
// with equal dues come out in no particular order, and several entries may
// exist for one timer (a regular fire and a retry). push and each removal
// by pop_due are O(log n), peek_due is O(1), remove_timer is O(n).
//
// Not thread-safe: the engine keeps it inside its core, under the engine
// lock, and is its only user. It is never persisted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/instant.h"

namespace quor {

struct DueEntry {
  std::string timer_id;
  // Absent for a regular fire (the run id is made when it fires); present
  // for a retry, which continues that run.
  std::optional<std::string> run_id;
  Instant due;
  // 1 for a regular fire, the coming attempt's number for a retry.
  uint32_t attempt = 1;
  bool operator==(const DueEntry&) const = default;
};

class DueHeap {
 public:
  void push(DueEntry entry);
  // Removes and returns every entry with due <= now, earliest first.
  std::vector<DueEntry> pop_due(Instant now);
  // The earliest due, or nothing when empty.
  std::optional<Instant> peek_due() const;
  // Drops every entry (regular and retry) of the timer; keeps the others.
  void remove_timer(const std::string& timer_id);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // The entries in heap-array order (slot 0 is the earliest); for checks.
  const std::vector<DueEntry>& entries() const { return entries_; }

 private:
  void sift_up(size_t i);
  void sift_down(size_t i);

  std::vector<DueEntry> entries_;
};

}  // namespace quor
