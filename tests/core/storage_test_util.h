// Fixtures shared by the storage tests: a temporary directory, sample
// events and whole-file helpers.
#pragma once

#include "temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/model.h"
#include "core/storage/record.h"

namespace quor::testing {

// A fresh directory under $QUOR_TEST_TMP (or /tmp), removed with its
// contents at the end of the test.
using test::TempDir;

inline Instant at_second(int64_t s, uint32_t nanos = 0) {
  return *Instant::from_unix(1772352000 + s, nanos);  // 2026-03-01T08:00:00Z + s
}

inline TimerSpec spec_of(const std::string& id, uint64_t every = 300) {
  return TimerSpec{id, EverySchedule{every}, RetryPolicy{3, FixedBackoff{10}}, "UTC",
                   at_second(0, 250000000)};
}

// A sequence of events touching every per-timer map; replaying any of them
// twice changes the result (retries_7d counts).
inline std::vector<Event> sample_events(int timers = 3) {
  std::vector<Event> out;
  for (int i = 0; i < timers; ++i) {
    std::string id = "timer-" + std::to_string(i);
    std::string run = "run_0000000000000000000000000" + std::to_string(i);
    out.push_back(TimerCreated{spec_of(id)});
    out.push_back(RunDue{id, run, at_second(10 + i)});
    out.push_back(RunStarted{id, run, at_second(10 + i), 1});
    out.push_back(RunFailed{id, run, at_second(11 + i), "ValueError: bad \"x\"\n", 1});
    out.push_back(RunRetrying{id, run, 2, at_second(40 + i)});
    if (i % 2 == 0) out.push_back(RunSucceeded{id, run, at_second(41 + i), 123});
  }
  out.push_back(TimerPaused{"timer-0", at_second(99)});
  return out;
}

inline EngineState replay(const std::vector<Event>& events) {
  EngineState s;
  for (const Event& e : events) quor::apply(s, e);
  return s;
}

inline std::string line_of(const Event& e, Instant ts = at_second(1)) {
  return encode_log_line(LogEntry{1, ts, e}) + "\n";
}

inline std::string log_of(const std::vector<Event>& events) {
  std::string out;
  for (const Event& e : events) out += line_of(e);
  return out;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline unsigned mode_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

}  // namespace quor::testing
