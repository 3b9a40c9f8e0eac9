// Log line codec throughput on one core: parse_log_line and
// encode_log_line over a mix of realistic lines, beside two baselines over
// the same bytes in the same run (scanning for line feeds with memchr, and
// copying each line with memcpy).
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/storage/record.h"

namespace {

using quor::Instant;
using quor::LogEntry;

// Time on this thread's CPU, so that other processes on a busy machine do
// not count against the figures.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Instant at(int64_t s, uint32_t ns) { return quor::Instant::from_unix(s, ns).value(); }

// The events a busy engine writes: mostly run events, some definitions.
std::vector<LogEntry> make_entries(size_t n) {
  std::vector<LogEntry> out;
  out.reserve(n);
  const int64_t base = 1772352000;
  for (size_t i = 0; i < n; ++i) {
    const std::string timer = "billing.invoice-reminder-" + std::to_string(i % 500);
    const std::string run = "run_01jnq3w8k2m5x7c9v0b4n6p8r" + std::to_string(i % 10);
    const Instant t = at(base + static_cast<int64_t>(i), static_cast<uint32_t>(i % 1000) * 1'000'000 + 123'000);
    quor::Event e;
    switch (i % 8) {
      case 0:
        e = quor::TimerCreated{quor::TimerSpec{
            timer, quor::CronSchedule{"*/15 9-17 * * MON-FRI"},
            quor::RetryPolicy{5, quor::ExponentialBackoff{30, 3600}}, "Europe/Amsterdam", t}};
        break;
      case 1: e = quor::RunDue{timer, run, t}; break;
      case 2: e = quor::RunStarted{timer, run, t, 1}; break;
      case 3: e = quor::RunSucceeded{timer, run, t, 1834}; break;
      case 4:
        e = quor::RunFailed{timer, run, t,
                            "ConnectionError: HTTPSConnectionPool(host='api.example.com', "
                            "port=443): Read timed out. (read timeout=30)",
                            2};
        break;
      case 5: e = quor::RunRetrying{timer, run, 3, t}; break;
      case 6:
        e = quor::TimerUpdated{quor::TimerSpec{timer, quor::AfterSchedule{86400, t},
                                               quor::RetryPolicy{3, quor::LinearBackoff{10, 20, 600}},
                                               "UTC", t}};
        break;
      default: e = quor::RunDead{timer, run, t}; break;
    }
    out.push_back(LogEntry{1, t, std::move(e)});
  }
  return out;
}

struct Figure {
  double lines_per_s;
  double mb_per_s;
};

template <typename F>
Figure measure(size_t lines, size_t bytes, F&& pass) {
  // Repeat whole passes until at least a second of CPU time has gone by.
  size_t passes = 0;
  const double start = cpu_seconds();
  double elapsed = 0;
  do {
    pass();
    ++passes;
    elapsed = cpu_seconds() - start;
  } while (elapsed < 1.0);
  return Figure{static_cast<double>(lines * passes) / elapsed,
                static_cast<double>(bytes * passes) / elapsed / 1e6};
}

}  // namespace

int main() {
  const size_t kLines = 20000;
  const std::vector<LogEntry> entries = make_entries(kLines);
  std::vector<std::string> lines;
  std::string file;
  for (const LogEntry& e : entries) {
    lines.push_back(quor::encode_log_line(e));
    file += lines.back();
    file += '\n';
  }
  const size_t bytes = file.size();
  std::printf("json_bench: %zu lines, %zu bytes, %.0f bytes per line on average\n", kLines, bytes,
              static_cast<double>(bytes) / kLines);

  // Check once that every line reads back.
  for (size_t i = 0; i < kLines; ++i) {
    auto r = quor::parse_log_line(lines[i]);
    if (!r.ok() || !(*r == entries[i])) {
      std::fprintf(stderr, "line %zu does not read back\n", i);
      return 1;
    }
  }

  volatile size_t sink = 0;
  const Figure parse = measure(kLines, bytes, [&] {
    size_t ok = 0;
    for (const std::string& l : lines) ok += quor::parse_log_line(l).ok();
    sink = sink + ok;
  });
  std::string out;
  out.reserve(1024);
  const Figure encode = measure(kLines, bytes, [&] {
    size_t n = 0;
    for (const LogEntry& e : entries) {
      out.clear();
      quor::encode_log_line(e, &out);
      n += out.size();
    }
    sink = sink + n;
  });
  const Figure scan = measure(kLines, bytes, [&] {
    size_t n = 0;
    const char* p = file.data();
    const char* end = p + file.size();
    while (const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
      p = static_cast<const char*>(nl) + 1;
      ++n;
    }
    sink = sink + n;
  });
  std::string copy(file.size(), '\0');
  const Figure memcpy_fig = measure(kLines, bytes, [&] {
    for (const std::string& l : lines) std::memcpy(copy.data(), l.data(), l.size());
    sink = sink + static_cast<size_t>(copy[0]);
  });

  std::printf("  baseline memchr '\\n' scan: %12.0f lines/s  %8.1f MB/s\n", scan.lines_per_s,
              scan.mb_per_s);
  std::printf("  baseline memcpy per line:  %12.0f lines/s  %8.1f MB/s\n", memcpy_fig.lines_per_s,
              memcpy_fig.mb_per_s);
  std::printf("  parse_log_line:            %12.0f lines/s  %8.1f MB/s  (%.3f of memchr, goal >= 1000000 lines/s)\n",
              parse.lines_per_s, parse.mb_per_s, parse.lines_per_s / scan.lines_per_s);
  std::printf("  encode_log_line:           %12.0f lines/s  %8.1f MB/s  (%.3f of memchr, %.2fx parse)\n",
              encode.lines_per_s, encode.mb_per_s, encode.lines_per_s / scan.lines_per_s,
              encode.lines_per_s / parse.lines_per_s);
  return 0;
}
