// Storage benchmark, on one file system in one run:
//   1. appends per second through Aof::append against a plain write+fsync
//      loop of the same line size (goal: ratio >= 0.9);
//   2. recovery of a 1,000,000-entry log (about 250 MB) in entries per
//      second against reading the same file raw (goal: under 2 s).
//
// Usage: storage_bench [dir]   (default: $QUOR_BENCH_TMP, else /tmp)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/storage/aof.h"
#include "core/storage/fs.h"
#include "core/storage/record.h"
#include "core/storage/store.h"

using namespace quor;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

Instant ts(int64_t s) { return *Instant::from_unix(1772352000 + s, 250000000); }

// A realistic entry of about 250 bytes once encoded.
Event event_for(uint64_t i) {
  std::string id = "timer-" + std::to_string(i % 1000);
  std::string run = "run_01hx" + std::to_string(1000000000000000000ULL + i);
  switch (i % 4) {
    case 0:
      return RunStarted{id, run, ts(static_cast<int64_t>(i)), 1};
    case 1:
      return RunFailed{id, run, ts(static_cast<int64_t>(i)),
                       "ValueError: upstream returned 503 Service Unavailable", 1};
    case 2:
      return RunRetrying{id, run, 2, ts(static_cast<int64_t>(i) + 30)};
    default:
      return RunSucceeded{id, run, ts(static_cast<int64_t>(i)), 1234};
  }
}

void die(const char* what, const std::string& detail) {
  std::fprintf(stderr, "storage_bench: %s: %s\n", what, detail.c_str());
  std::exit(1);
}

// Runs `one` repeatedly for about `budget` seconds; returns operations/s.
template <typename F>
double rate(double budget, F one) {
  auto start = Clock::now();
  uint64_t n = 0;
  while (n < 3 || seconds_since(start) < budget) {
    one(n);
    ++n;
  }
  return static_cast<double>(n) / seconds_since(start);
}

void bench_appends(const std::string& dir) {
  std::string line = encode_log_line(LogEntry{1, ts(0), event_for(3)}) + "\n";
  std::string plain_path = dir + "/plain.log";
  std::string aof_path = dir + "/quor.aof";
  int fd = ::open(plain_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) die("open", plain_path);
  auto aof = open_aof(default_fs(), aof_path);
  if (!aof.ok()) die("open_aof", aof.error().message());

  // Alternate the two loops so that drift in the device hits both.
  double plain_total = 0, aof_total = 0;
  const int rounds = 4;
  Event event = event_for(3);
  for (int r = 0; r < rounds; ++r) {
    plain_total += rate(1.0, [&](uint64_t) {
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
          ::fsync(fd) != 0) {
        die("plain write", "failed");
      }
    });
    aof_total += rate(1.0, [&](uint64_t) {
      Status st = (*aof)->append(event);
      if (!st.ok()) die("append", st.error().message());
    });
  }
  ::close(fd);
  double plain = plain_total / rounds, appends = aof_total / rounds;
  std::printf("appends: Aof::append %.0f/s, plain write+fsync %.0f/s (line %zu bytes), "
              "ratio %.3f (goal >= 0.9)\n",
              appends, plain, line.size(), appends / plain);
  std::filesystem::remove(plain_path);
  std::filesystem::remove(aof_path);
}

void bench_recovery(const std::string& dir) {
  const uint64_t kEntries = 1000000;
  std::string data = dir + "/recovery";
  std::filesystem::create_directories(data);
  std::string path = data + "/quor.aof";
  {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) die("open", path);
    std::string buf;
    for (uint64_t i = 0; i < kEntries; ++i) {
      if (i % 4 == 0 && (i / 4) < 1000) {
        // Create the timers first, so that the run events have a spec.
        encode_log_line(
            LogEntry{1, ts(0),
                     TimerCreated{TimerSpec{"timer-" + std::to_string(i / 4), EverySchedule{60},
                                            RetryPolicy::default_policy(), "UTC", ts(0)}}},
            &buf);
      } else {
        encode_log_line(LogEntry{1, ts(static_cast<int64_t>(i)), event_for(i)}, &buf);
      }
      buf.push_back('\n');
      if (buf.size() > (1 << 20)) {
        if (!write_all(default_fs(), fd, buf).ok()) die("write", path);
        buf.clear();
      }
    }
    if (!write_all(default_fs(), fd, buf).ok() || ::fsync(fd) != 0) die("write", path);
    ::close(fd);
  }
  uint64_t size = std::filesystem::file_size(path);

  // Baseline: the same file read raw through the same buffer size (the
  // first pass also warms the page cache for both).
  auto raw = [&] {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[8192];
    uint64_t lines = 0;
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    }
    ::close(fd);
    return lines;
  };
  raw();
  auto t0 = Clock::now();
  uint64_t lines = raw();
  double raw_s = seconds_since(t0);

  t0 = Clock::now();
  uint64_t scanned = 0;
  auto tail = scan_log(default_fs(), path, 0, [&](LogEntry&&) { ++scanned; });
  double scan_s = seconds_since(t0);
  if (!tail.ok()) die("scan_log", tail.error().message());

  t0 = Clock::now();
  auto rec = recover(default_fs(), data);
  double rec_s = seconds_since(t0);
  if (!rec.ok()) die("recover", rec.error().message());

  std::printf("recovery: %llu entries, %.1f MB\n", static_cast<unsigned long long>(lines),
              size / 1e6);
  std::printf("  recover (read, parse, apply) %.3f s = %.0f entries/s, %.0f MB/s (goal < 2 s)\n",
              rec_s, kEntries / rec_s, size / 1e6 / rec_s);
  std::printf("  scan_log (read, parse)       %.3f s = %.0f entries/s\n", scan_s,
              scanned / scan_s);
  std::printf("  baseline raw read            %.3f s = %.0f entries/s, %.0f MB/s\n", raw_s,
              lines / raw_s, size / 1e6 / raw_s);
  std::printf("  ratio recover/raw time       %.1f\n", rec_s / raw_s);
  std::filesystem::remove_all(data);
}

}  // namespace

int main(int argc, char** argv) {
  std::string base = argc > 1 ? argv[1] : "";
  if (base.empty() && getenv("QUOR_BENCH_TMP")) base = getenv("QUOR_BENCH_TMP");
  if (base.empty()) base = "/tmp";
  std::filesystem::create_directories(base);
  std::string templ = base + "/quor-storage-bench-XXXXXX";
  if (!mkdtemp(templ.data())) die("mkdtemp", templ);
  std::string dir = templ;
  struct statfs sf;
  if (statfs(dir.c_str(), &sf) == 0) {
    std::printf("directory %s (file system type 0x%lx)\n", dir.c_str(),
                static_cast<unsigned long>(sf.f_type));
  }
  bench_appends(dir);
  bench_recovery(dir);
  std::filesystem::remove_all(dir);
  return 0;
}
