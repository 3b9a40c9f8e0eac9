#include "core/engine/engine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

#include "core/engine/core.h"
#include "core/retry.h"
#include "core/schedule/next_fire.h"
#include "core/storage/aof.h"
#include "core/storage/fs.h"
#include "core/storage/store.h"

namespace quor {

namespace {

// Appends the event, then applies it. A failed append stops the engine:
// nothing more is taken, and the firing loop is woken so that it exits.
Status commit(EngineCore& c, const Event& event) QUOR_REQUIRES(c.mu) {
  Status st = c.aof->append(event);
  if (!st.ok()) {
    c.closed = true;
    c.stopping = true;
    std::fprintf(stderr, "[quor] ERROR: stopping engine after durable log append failed: %s\n",
                 st.error().message().c_str());
    c.wake.notify_one();
    return st;
  }
  quor::apply(c.state, event);
  return ok_status();
}

// Arms the timer's next regular fire after a settled run. A schedule that
// cannot be evaluated leaves the timer unarmed, silently.
void rearm(EngineCore& c, const TimerSpec& spec, Instant now) QUOR_REQUIRES(c.mu) {
  if (c.stopping || c.closed) return;
  auto next = next_fire(spec.schedule, now, spec.timezone);
  if (next.ok() && next->has_value()) {
    c.state.next_runs[spec.id] = **next;
    c.heap.push(DueEntry{spec.id, std::nullopt, **next, 1});
    c.wake.notify_one();
  } else {
    c.state.next_runs.erase(spec.id);
  }
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the
// bytes there are not valid UTF-8.
size_t utf8_sequence(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return len;
}

// Replaces every invalid UTF-8 byte with U+FFFD, so that a task's failure
// text can always be written to the log.
std::string valid_utf8(std::string s) {
  size_t i = 0;
  while (i < s.size()) {
    size_t n = utf8_sequence(s, i);
    if (n == 0) break;
    i += n;
  }
  if (i == s.size()) return s;
  std::string out = s.substr(0, i);
  while (i < s.size()) {
    size_t n = utf8_sequence(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

// The message in double quotes, with quotes, backslashes and control
// characters escaped.
std::string quoted(const std::string& msg) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : msg) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u{";
          if (c >= 0x10) out += kHex[c >> 4];
          out += kHex[c & 0xF];
          out += "}";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += "\"";
  return out;
}

std::string fault_text(uint64_t task_no, const char* what) {
  std::string text = "task panicked: task " + std::to_string(task_no) + " panicked";
  if (what != nullptr && *what != '\0') text += " with message " + quoted(valid_utf8(what));
  return text;
}

// Calls the task; an exception escaping it is a call that ended abnormally.
CallOutcome guarded_call(TaskFunction& fn, const std::string& timer_id,
                         const std::string& run_id, uint64_t task_no) {
  try {
    return fn.call(timer_id, run_id);
  } catch (const std::exception& e) {
    return fault_text(task_no, e.what());
  } catch (...) {
    return fault_text(task_no, nullptr);
  }
}

// Ends a run task: the run no longer counts as in flight.
void leave(EngineCore& c) QUOR_REQUIRES(c.mu) {
  if (c.in_flight > 0) --c.in_flight;
}

// One dispatched entry: records the run, calls the task without the lock,
// settles the outcome and arms what comes next.
void run_task(const std::shared_ptr<EngineCore>& core, const DueEntry& entry, uint64_t task_no) {
  EngineCore& c = *core;
  const std::string& id = entry.timer_id;
  std::string run_id;
  Instant started;
  std::shared_ptr<TaskFunction> fn;
  std::optional<TimerSpec> spec;
  {
    MutexLock lk(c.mu);
    run_id = entry.run_id ? *entry.run_id : new_run_id();
    started = Instant::now();
    c.state.next_runs.erase(id);
    bool recorded = commit(c, RunDue{id, run_id, entry.due}).ok() &&
                    commit(c, RunStarted{id, run_id, started, entry.attempt}).ok();
    if (recorded) {
      if (auto it = c.tasks.find(id); it != c.tasks.end()) fn = it->second;
      if (auto it = c.state.specs.find(id); it != c.state.specs.end()) spec = it->second;
    }
    if (!recorded || !spec) {
      leave(c);
      lk.unlock();
      c.idle.notify_all();
      return;
    }
  }

  // Nothing on success; the failure text otherwise. No function bound is a
  // failure that only unbinds the timer.
  const bool orphan = fn == nullptr;
  CallOutcome outcome;
  if (!orphan) {
    outcome = guarded_call(*fn, id, run_id, task_no);
    fn.reset();
  }

  {
    MutexLock lk(c.mu);
    const Instant finished = Instant::now();
    if (orphan) {
      unbind(c.state, id);
    } else if (!outcome.has_value()) {
      uint64_t ms = static_cast<uint64_t>(std::max<int64_t>(0, started.millis_until(finished)));
      if (commit(c, RunSucceeded{id, run_id, finished, ms}).ok()) rearm(c, *spec, finished);
    } else {
      uint32_t attempt = 1;
      if (auto it = c.state.pending_retries.find(id); it != c.state.pending_retries.end()) {
        attempt = it->second.attempt;
      }
      if (commit(c, RunFailed{id, run_id, finished, valid_utf8(std::move(*outcome)), attempt})
              .ok()) {
        // A delay that cannot be added to the finish instant makes the run
        // dead rather than wrapping or failing.
        std::optional<Instant> next_retry;
        if (auto delay = retry_delay(spec->retry, attempt)) {
          next_retry = finished.add_seconds(*delay);
        }
        if (next_retry) {
          if (commit(c, RunRetrying{id, run_id, attempt + 1, *next_retry}).ok() && !c.stopping &&
              !c.closed) {
            c.heap.push(DueEntry{id, run_id, *next_retry, attempt + 1});
            c.wake.notify_one();
          }
        } else if (commit(c, RunDead{id, run_id, finished}).ok() &&
                   is_recurring(spec->schedule)) {
          rearm(c, *spec, finished);
        }
      }
    }
    leave(c);
  }
  c.idle.notify_all();
}

void spawn_run(const std::shared_ptr<EngineCore>& core, DueEntry entry) {
  const uint64_t task_no = ++core->task_count;
  auto job = [core, entry, task_no] { run_task(core, entry, task_no); };
  // Without a thread for it, the run still happens, on the loop's thread.
  if (!core->pool.submit(job)) run_task(core, entry, task_no);
}

// The longest single sleep; the loop recomputes its sleep when it wakes, so
// this only bounds the duration arithmetic for entries far in the future.
constexpr int64_t kMaxSleepMs = 24LL * 3600 * 1000;

void firing_loop(std::shared_ptr<EngineCore> core) {
  EngineCore& c = *core;
  for (;;) {
    std::vector<DueEntry> due;
    std::optional<Instant> next;
    {
      MutexLock lk(c.mu);
      if (c.loop_exit) return;
      if (c.stopping) {
        const bool idle = c.in_flight == 0;
        lk.unlock();
        if (idle) c.idle.notify_all();
        return;
      }
      due = c.heap.pop_due(Instant::now());
      next = c.heap.peek_due();
    }
    for (DueEntry& entry : due) {
      {
        MutexLock lk(c.mu);
        if (c.stopping) break;  // this entry and the rest are dropped
        ++c.in_flight;
      }
      spawn_run(core, std::move(entry));
    }
    int64_t sleep_ms = 100;
    if (next) sleep_ms = std::clamp<int64_t>(Instant::now().millis_until(*next), 0, kMaxSleepMs);
    c.wake.wait_for(std::chrono::milliseconds(sleep_ms));
  }
}

std::chrono::steady_clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
  auto now = std::chrono::steady_clock::now();
  if (timeout.count() <= 0) return now;
  if (timeout >= std::chrono::steady_clock::time_point::max() - now) {
    return std::chrono::steady_clock::time_point::max();
  }
  return now + timeout;
}

}  // namespace

Result<std::shared_ptr<Engine>> Engine::open(const std::string& data_dir, FileSystem* fs_arg) {
  FileSystem& fs = fs_arg != nullptr ? *fs_arg : default_fs();
  QUOR_TRY(prepare_data_dir(fs, data_dir));
  auto lock = lock_data_dir(fs, data_dir);
  if (!lock.ok()) return std::move(lock).error();
  auto aof = open_aof(fs, join_path(data_dir, "quor.aof"));
  if (!aof.ok()) return std::move(aof).error();
  auto recovered = recover(fs, data_dir);
  if (!recovered.ok()) return std::move(recovered).error();
  // A torn last line is cut off before anything is appended, so that the
  // next record starts a line of its own.
  if (recovered->aof_torn_at) QUOR_TRY((*aof)->truncate_to(*recovered->aof_torn_at));

  EngineState state = std::move(recovered->state);
  state.next_runs.clear();
  for (const auto& [id, spec] : state.specs) state.states[id] = TimerState::kOrphaned;

  auto core = std::make_shared<EngineCore>(fs, data_dir);
  {
    MutexLock lk(core->mu);
    core->aof = std::move(aof).value();
    core->state = std::move(state);
  }
  std::shared_ptr<Engine> engine(new Engine());
  engine->data_dir_ = data_dir;
  engine->lock_path_ = join_path(data_dir, "quor.lock");
  engine->core_ = std::move(core);
  engine->lock_ = std::shared_ptr<DirLock>(std::move(lock).value());
  return engine;
}

Engine::~Engine() {
  if (core_) stop_background();
}

void Engine::stop_background() {
  EngineCore& c = *core_;
  std::thread loop;
  {
    MutexLock lk(c.mu);
    c.loop_exit = true;
    loop = std::move(c.loop_thread);
  }
  c.wake.notify_one();  // kept as a permit if the loop is between waits
  if (loop.joinable()) {
    if (loop.get_id() == std::this_thread::get_id()) {
      loop.detach();
    } else {
      loop.join();
    }
  }
}

Status Engine::schedule(const std::string& timer_id, Schedule schedule,
                        std::shared_ptr<TaskFunction> task, std::optional<RetryPolicy> retry,
                        std::optional<std::string> timezone) {
  const std::string fn_name = task->name();
  std::string zone = timezone ? std::move(*timezone) : std::string("UTC");
  RetryPolicy policy = retry ? *retry : RetryPolicy::default_policy();

  EngineCore& c = *core_;
  MutexLock lk(c.mu);
  if (c.stopping || c.closed) return EngineError::already_shut_down();

  auto existing = c.state.specs.find(timer_id);
  const bool exists = existing != c.state.specs.end();
  TimerSpec spec{timer_id, std::move(schedule), policy, std::move(zone),
                 exists ? existing->second.created_at : Instant::now()};
  if (!exists || !(spec == existing->second)) {
    Event event = exists ? Event(TimerUpdated{spec}) : Event(TimerCreated{spec});
    QUOR_TRY(c.aof->append(event));
    quor::apply(c.state, event);
    if (exists) {
      c.heap.remove_timer(timer_id);
      c.state.next_runs.erase(timer_id);
    }
  }

  c.tasks[timer_id] = std::move(task);
  bind(c.state, timer_id, fn_name);
  if (c.state.next_runs.count(timer_id) != 0) return ok_status();

  const TimerSpec& stored = c.state.specs.at(timer_id);
  auto next = next_fire(stored.schedule, Instant::now(), stored.timezone);
  // A schedule that cannot be evaluated leaves the timer unarmed; the
  // caller sees only the missing next run.
  if (next.ok() && next->has_value()) {
    c.state.next_runs[timer_id] = **next;
    c.heap.push(DueEntry{timer_id, std::nullopt, **next, 1});
    c.wake.notify_one();
  }
  return ok_status();
}

Status Engine::start() {
  EngineCore& c = *core_;
  MutexLock lk(c.mu);
  if (c.closed) return EngineError::already_shut_down();
  if (c.started) return EngineError::already_started();
  try {
    c.loop_thread = std::thread(firing_loop, core_);
  } catch (const std::system_error& e) {
    return EngineError::from_errno(e.code().value());
  }
  c.started = true;
  return ok_status();
}

std::optional<TimerStatus> Engine::status(const std::string& timer_id) const {
  MutexLock lk(core_->mu);
  return status_of(core_->state, timer_id);
}

std::vector<TimerStatus> Engine::list() const {
  std::vector<TimerStatus> out;
  {
    MutexLock lk(core_->mu);
    out.reserve(core_->state.specs.size());
    for (const auto& [id, spec] : core_->state.specs) {
      if (auto st = status_of(core_->state, id)) out.push_back(std::move(*st));
    }
  }
  std::sort(out.begin(), out.end(),
            [](const TimerStatus& a, const TimerStatus& b) { return a.id < b.id; });
  return out;
}

size_t Engine::due_entry_count() const {
  MutexLock lk(core_->mu);
  return core_->heap.size();
}

Status Engine::compact() {
  EngineCore& c = *core_;
  MutexLock lk(c.mu);
  // Once the log has been rotated, appending to either file could lose
  // entries at the next open until a compaction completes: stop instead.
  auto stop = [&c]() QUOR_REQUIRES(c.mu) {
    c.closed = true;
    c.stopping = true;
    c.wake.notify_one();
  };
  auto done = compact_store(c.fs, c.data_dir, c.state);
  if (!done.ok()) {
    if (done.error().stage == CompactStage::kAfterRename) stop();
    return done.error().error;
  }
  auto aof = open_aof(c.fs, join_path(c.data_dir, "quor.aof"));
  if (!aof.ok()) {
    stop();
    return std::move(aof).error();
  }
  c.aof = std::move(aof).value();
  return ok_status();
}

Status Engine::shutdown(std::chrono::nanoseconds timeout) {
  EngineCore& c = *core_;
  {
    MutexLock lk(c.mu);
    if (c.closed) return ok_status();
    if (!c.started) {
      c.closed = true;
      return ok_status();
    }
    c.stopping = true;
  }
  // A permit rather than a wake of current waiters only: the loop then
  // also sees `stopping` when it is between its check and its wait.
  c.wake.notify_one();

  const auto deadline = deadline_after(timeout);
  MutexLock lk(c.mu);
  const bool idle = c.idle.wait_until(lk, deadline, [&c]() QUOR_REQUIRES(c.mu) {
    return c.in_flight == 0;
  });
  if (!idle) {
    const uint64_t ms = timeout.count() <= 0 ? 0 : static_cast<uint64_t>(timeout.count()) / 1000000;
    return EngineError::shutdown_timed_out(ms);
  }
  c.closed = true;
  return ok_status();
}

}  // namespace quor
