// Fixtures for the engine tests: a file system that can fail chosen calls,
// a scripted task function, a temporary data directory, waits with
// deadlines, and log readers.
#pragma once

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/engine/core.h"
#include "core/engine/engine.h"
#include "core/storage/aof.h"
#include "core/storage/fs.h"

namespace quor {

// Reaches into the engine for what the public interface cannot show.
struct EngineTestAccess {
  static std::shared_ptr<EngineCore> core(Engine& e) { return e.core_; }
  static long core_refs(Engine& e) { return e.core_.use_count(); }
  static uint64_t in_flight(Engine& e) {
    MutexLock lk(e.core_->mu);
    return e.core_->in_flight;
  }
  static void push(Engine& e, DueEntry entry) {
    {
      MutexLock lk(e.core_->mu);
      e.core_->heap.push(std::move(entry));
    }
    e.core_->wake.notify_one();
  }
};

namespace testing_util {

constexpr auto kDeadline = std::chrono::seconds(30);  // only reached when something is wrong

// Polls `done` until it holds or the deadline passes.
template <typename Pred>
bool eventually(Pred done, std::chrono::nanoseconds limit = kDeadline) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The real file system, with two changes: full syncs can be skipped (the
// tests never crash the machine, and syncs make them slow), and one chosen
// call can be made to fail.
class FaultFs : public FileSystem {
 public:
  enum class Op { kOpen, kWrite, kSync, kRename, kTruncate };

  // Fails the `nth` later call of `op` on a path ending in `suffix` (for an
  // open, only one whose flags include `flags`) with `err`, once.
  void fail(Op op, std::string suffix, int nth = 1, int flags = 0, int err = EIO) {
    std::lock_guard<std::mutex> lk(mu_);
    rule_ = Rule{op, std::move(suffix), nth, flags, err};
    fired_ = false;
  }
  bool fired() {
    std::lock_guard<std::mutex> lk(mu_);
    return fired_;
  }
  void set_skip_sync(bool skip) {
    std::lock_guard<std::mutex> lk(mu_);
    skip_sync_ = skip;
  }

  SysResult<int> open(const std::string& path, int flags, mode_t mode) override {
    if (int err = check(Op::kOpen, path, flags)) return SysError{err};
    auto r = real_.open(path, flags, mode);
    if (r.ok()) {
      std::lock_guard<std::mutex> lk(mu_);
      paths_[*r] = path;
    }
    return r;
  }
  SysResult<size_t> write(int fd, const void* data, size_t n) override {
    if (int err = check(Op::kWrite, path_of(fd), 0)) return SysError{err};
    return real_.write(fd, data, n);
  }
  SysResult<size_t> read(int fd, void* buf, size_t n) override { return real_.read(fd, buf, n); }
  SysResult<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) override {
    return real_.pread(fd, buf, n, offset);
  }
  SysResult<uint64_t> seek(int fd, int64_t offset, int whence) override {
    return real_.seek(fd, offset, whence);
  }
  SysResult<FileInfo> stat(const std::string& path) override { return real_.stat(path); }
  SysResult<FileInfo> fstat(int fd) override { return real_.fstat(fd); }
  SysResult<void> sync(int fd) override {
    if (int err = check(Op::kSync, path_of(fd), 0)) return SysError{err};
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (skip_sync_) return SysResult<void>();
    }
    return real_.sync(fd);
  }
  SysResult<void> rename(const std::string& from, const std::string& to) override {
    if (int err = check(Op::kRename, from, 0)) return SysError{err};
    return real_.rename(from, to);
  }
  SysResult<void> unlink(const std::string& path) override { return real_.unlink(path); }
  SysResult<void> mkdir(const std::string& path, mode_t mode) override {
    return real_.mkdir(path, mode);
  }
  SysResult<void> chmod(const std::string& path, mode_t mode) override {
    return real_.chmod(path, mode);
  }
  SysResult<void> truncate(int fd, uint64_t size) override {
    if (int err = check(Op::kTruncate, path_of(fd), 0)) return SysError{err};
    return real_.truncate(fd, size);
  }
  SysResult<void> lock(int fd) override { return real_.lock(fd); }
  SysResult<void> close(int fd) override {
    {
      std::lock_guard<std::mutex> lk(mu_);
      paths_.erase(fd);
    }
    return real_.close(fd);
  }

 private:
  struct Rule {
    Op op;
    std::string suffix;
    int remaining;
    int flags;
    int err;
  };

  std::string path_of(int fd) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = paths_.find(fd);
    return it == paths_.end() ? std::string() : it->second;
  }
  static bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
  }
  int check(Op op, const std::string& path, int flags) {
    std::lock_guard<std::mutex> lk(mu_);
    if (!rule_ || rule_->op != op || !ends_with(path, rule_->suffix) ||
        (flags & rule_->flags) != rule_->flags) {
      return 0;
    }
    if (--rule_->remaining > 0) return 0;
    int err = rule_->err;
    rule_.reset();
    fired_ = true;
    return err;
  }

  FileSystem& real_ = default_fs();
  std::mutex mu_;
  std::unordered_map<int, std::string> paths_;  // guarded by mu_
  std::optional<Rule> rule_;                    // guarded by mu_
  bool fired_ = false;                          // guarded by mu_
  bool skip_sync_ = true;                       // guarded by mu_
};

// One scripted call: what it returns, whether it first blocks until
// release(), and whether it throws instead of returning.
struct Step {
  enum class Throw { kNone, kStd, kOther };
  CallOutcome outcome;  // for kStd, the exception's message
  bool hang = false;
  Throw throws = Throw::kNone;

  static Step ok() { return {}; }
  static Step fail(std::string text) { return {std::move(text), false, Throw::kNone}; }
  static Step hang_ok() { return {std::nullopt, true, Throw::kNone}; }
  static Step hang_fail(std::string text) { return {std::move(text), true, Throw::kNone}; }
  static Step throw_std(std::string what) { return {std::move(what), false, Throw::kStd}; }
  static Step throw_other() { return {std::nullopt, false, Throw::kOther}; }
};

// Plays its script call by call; once the script is used up, every call
// blocks until release() and then succeeds.
class ScriptedTask : public TaskFunction {
 public:
  explicit ScriptedTask(std::vector<Step> script = {}, std::string name = "job")
      : script_(script.begin(), script.end()), name_(std::move(name)) {}

  std::string name() const override { return name_; }

  CallOutcome call(const std::string& timer_id, const std::string& run_id) override {
    Step step = Step::hang_ok();
    {
      std::unique_lock<std::mutex> lk(mu_);
      calls_.push_back({timer_id, run_id});
      ++running_;
      if (!script_.empty()) {
        step = std::move(script_.front());
        script_.pop_front();
      }
      cv_.notify_all();
      if (step.hang) cv_.wait_for(lk, kDeadline, [&] { return released_; });
      --running_;
      cv_.notify_all();
    }
    if (step.throws == Step::Throw::kStd) throw std::runtime_error(*step.outcome);
    if (step.throws == Step::Throw::kOther) throw 42;
    return step.outcome;
  }

  // Lets every blocked call, and every later one, return.
  void release() {
    std::lock_guard<std::mutex> lk(mu_);
    released_ = true;
    cv_.notify_all();
  }
  bool wait_calls(size_t n) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, kDeadline, [&] { return calls_.size() >= n; });
  }
  bool wait_running(int n) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, kDeadline, [&] { return running_ == n; });
  }
  std::vector<std::pair<std::string, std::string>> calls() {
    std::lock_guard<std::mutex> lk(mu_);
    return calls_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Step> script_;                                   // guarded by mu_
  std::vector<std::pair<std::string, std::string>> calls_;    // guarded by mu_
  int running_ = 0;                                           // guarded by mu_
  bool released_ = false;                                     // guarded by mu_
  const std::string name_;
};

// A fresh directory under $QUOR_TEST_TMP (or /tmp), removed afterwards.
using test::TempDir;

// A log entry as a short text: the tag, plus the attempt for the run
// events that carry one.
inline std::string describe(const Event& e) {
  std::string text = event_tag(e);
  if (auto* s = std::get_if<RunStarted>(&e)) text += " " + std::to_string(s->attempt);
  if (auto* f = std::get_if<RunFailed>(&e)) text += " " + std::to_string(f->attempt);
  if (auto* r = std::get_if<RunRetrying>(&e)) text += " " + std::to_string(r->attempt);
  return text;
}

// The run id of a run event, or "" for the timer events.
inline std::string run_id_of(const Event& e) {
  return std::visit(
      [](const auto& ev) -> std::string {
        if constexpr (requires { ev.run_id; }) {
          return ev.run_id;
        } else {
          return "";
        }
      },
      e);
}

inline std::vector<LogEntry> log_entries(const std::string& dir) {
  auto entries = read_log(default_fs(), dir + "/quor.aof");
  EXPECT_TRUE(entries.ok()) << (entries.ok() ? "" : entries.error().message());
  return entries.ok() ? std::move(entries).value() : std::vector<LogEntry>{};
}

inline std::vector<std::string> log_tags(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : log_entries(dir)) out.push_back(describe(e.event));
  return out;
}

}  // namespace testing_util
}  // namespace quor
