#include "core/heap.h"

#include <utility>

namespace quor {

void DueHeap::push(DueEntry entry) {
  entries_.push_back(std::move(entry));
  sift_up(entries_.size() - 1);
}

std::vector<DueEntry> DueHeap::pop_due(Instant now) {
  std::vector<DueEntry> out;
  while (!entries_.empty() && !(now < entries_.front().due)) {
    out.push_back(std::move(entries_.front()));
    if (entries_.size() > 1) entries_.front() = std::move(entries_.back());
    entries_.pop_back();
    if (!entries_.empty()) sift_down(0);
  }
  return out;
}

std::optional<Instant> DueHeap::peek_due() const {
  if (entries_.empty()) return std::nullopt;
  return entries_.front().due;
}

void DueHeap::remove_timer(const std::string& timer_id) {
  size_t kept = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].timer_id == timer_id) continue;
    if (kept != i) entries_[kept] = std::move(entries_[i]);
    ++kept;
  }
  if (kept == entries_.size()) return;  // nothing removed: order is intact
  entries_.resize(kept);
  // Bottom-up heapify of the survivors.
  for (size_t i = kept / 2; i-- > 0;) sift_down(i);
}

void DueHeap::sift_up(size_t i) {
  while (i > 0) {
    const size_t parent = (i - 1) / 2;
    if (!(entries_[i].due < entries_[parent].due)) break;
    std::swap(entries_[i], entries_[parent]);
    i = parent;
  }
}

void DueHeap::sift_down(size_t i) {
  const size_t n = entries_.size();
  for (;;) {
    const size_t left = 2 * i + 1;
    if (left >= n) break;
    size_t least = left;
    const size_t right = left + 1;
    if (right < n && entries_[right].due < entries_[left].due) least = right;
    if (!(entries_[least].due < entries_[i].due)) break;
    std::swap(entries_[i], entries_[least]);
    i = least;
  }
}

}  // namespace quor
