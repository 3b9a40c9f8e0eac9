// Engine benchmark: firing lateness, idle cost, memory per timer and the
// cost of schedule, each beside a baseline measured in the same run.
//
//   engine_bench [timers] [firing_timers] [seconds]
//
// Defaults: 100000 armed timers, 1000 timers firing every second, lateness
// measured over 6 seconds. Data goes to $QUOR_BENCH_TMP (or /tmp).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/engine/engine.h"
#include "core/storage/aof.h"
#include "core/storage/fs.h"

namespace {

using namespace quor;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string make_dir(const char* tag) {
  const char* base = std::getenv("QUOR_BENCH_TMP");
  std::string root = base != nullptr && *base != '\0' ? base : "/tmp";
  std::string tmpl = root + "/quor-bench-" + tag + "-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return tmpl;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  return v[i];
}

long rss_bytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f != nullptr) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Plain loop: one write and one fsync per line, `n` lines of `size` bytes.
// Returns seconds per line.
double plain_write_fsync(const std::string& dir, size_t n, size_t size) {
  std::string path = dir + "/plain.log";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0600);
  std::string line(size - 1, 'x');
  line += '\n';
  auto t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        ::fsync(fd) != 0) {
      std::perror("plain loop");
      std::exit(1);
    }
  }
  double per = seconds_since(t0) / static_cast<double>(n);
  ::close(fd);
  return per;
}

// Does nothing; one per timer, as the Python layer makes one per schedule.
class NopTask : public TaskFunction {
 public:
  std::string name() const override { return "nop"; }
  CallOutcome call(const std::string&, const std::string&) override { return std::nullopt; }
};

// Records the instant each call starts, by run id.
class StampTask : public TaskFunction {
 public:
  std::string name() const override { return "stamp"; }
  CallOutcome call(const std::string&, const std::string& run_id) override {
    Instant now = Instant::now();
    std::lock_guard<std::mutex> lk(mu_);
    starts_[run_id] = now;
    return std::nullopt;
  }
  std::unordered_map<std::string, Instant> starts() {
    std::lock_guard<std::mutex> lk(mu_);
    return starts_;
  }

 private:
  std::mutex mu_;
  std::unordered_map<std::string, Instant> starts_;
};

std::shared_ptr<Engine> open_engine(const std::string& dir) {
  auto e = Engine::open(dir);
  if (!e.ok()) {
    std::fprintf(stderr, "open failed: %s\n", e.error().message().c_str());
    std::exit(1);
  }
  return std::move(e).value();
}

// Two appends as a run makes them before its call: RunDue and RunStarted.
std::vector<double> two_append_costs(const std::string& dir, int pairs) {
  auto aof = open_aof(default_fs(), dir + "/pairs.aof");
  if (!aof.ok()) std::exit(1);
  std::vector<double> ms;
  for (int i = 0; i < pairs; ++i) {
    std::string id = "timer-" + std::to_string(i);
    std::string run = new_run_id();
    auto t0 = Clock::now();
    Status a = (*aof)->append(RunDue{id, run, Instant::now()});
    Status b = (*aof)->append(RunStarted{id, run, Instant::now(), 1});
    if (!a.ok() || !b.ok()) std::exit(1);
    ms.push_back(seconds_since(t0) * 1e3);
  }
  return ms;
}

void bench_lateness(int firing, int run_seconds) {
  std::string dir = make_dir("late");
  auto baseline = two_append_costs(dir, 500);
  double base_med = percentile(baseline, 0.5), base_p99 = percentile(baseline, 0.99);

  auto engine = open_engine(dir);
  auto task = std::make_shared<StampTask>();
  if (!engine->start().ok()) std::exit(1);
  // Spread the timers over one second, as independent timers would be.
  auto t0 = Clock::now();
  for (int i = 0; i < firing; ++i) {
    std::this_thread::sleep_until(t0 + std::chrono::microseconds(1000000LL * i / firing));
    if (!engine->schedule("t" + std::to_string(i), EverySchedule{1}, task).ok()) std::exit(1);
  }
  const Instant measure_from = Instant::now().add_seconds(1).value();  // skip warm-up
  std::this_thread::sleep_for(std::chrono::seconds(run_seconds + 1));
  (void)engine->shutdown(std::chrono::seconds(30));

  auto starts = task->starts();
  auto log = read_log(default_fs(), dir + "/quor.aof");
  if (!log.ok()) std::exit(1);
  std::vector<double> late_ms;
  for (const auto& entry : *log) {
    const auto* due = std::get_if<RunDue>(&entry.event);
    if (due == nullptr || due->scheduled_at < measure_from) continue;
    auto it = starts.find(due->run_id);
    if (it == starts.end()) continue;
    late_ms.push_back(static_cast<double>(due->scheduled_at.nanos_until(it->second)) / 1e6);
  }
  double med = percentile(late_ms, 0.5), p99 = percentile(late_ms, 0.99);
  std::printf("firing lateness, %d timers every 1 s, %zu runs over %d s:\n", firing,
              late_ms.size(), run_seconds);
  std::printf("  due -> call start   median %.3f ms   p99 %.3f ms\n", med, p99);
  std::printf("  baseline: 2 fsync'ed appends   median %.3f ms   p99 %.3f ms\n", base_med,
              base_p99);
  std::printf("  median - baseline median = %.3f ms (goal < 1 ms); p99 goal < 5 ms\n",
              med - base_med);
  engine.reset();
  std::filesystem::remove_all(dir);
}

void bench_many_timers(size_t timers) {
  std::string dir = make_dir("many");
  auto engine = open_engine(dir);
  if (!engine->start().ok()) std::exit(1);

  // Schedule cost against a plain write+fsync loop of lines of the same size.
  std::vector<std::shared_ptr<TaskFunction>> fns;
  fns.reserve(timers);
  for (size_t i = 0; i < timers; ++i) fns.push_back(std::make_shared<NopTask>());
  const long rss0 = rss_bytes();
  auto t0 = Clock::now();
  for (size_t i = 0; i < timers; ++i) {
    if (!engine->schedule("timer-" + std::to_string(i), EverySchedule{86400}, fns[i]).ok()) {
      std::exit(1);
    }
  }
  const double sched_per = seconds_since(t0) / static_cast<double>(timers);
  const long rss1 = rss_bytes();
  const auto log_size = std::filesystem::file_size(dir + "/quor.aof");
  const size_t line = static_cast<size_t>(log_size / timers);
  const double plain_per = plain_write_fsync(dir, timers, line);
  std::printf("schedule of %zu new timers (%zu-byte log lines):\n", timers, line);
  std::printf("  schedule %.1f us each (%.0f/s); plain write+fsync %.1f us each (%.0f/s)\n",
              sched_per * 1e6, 1 / sched_per, plain_per * 1e6, 1 / plain_per);
  std::printf("  ratio schedule rate / plain rate = %.2f (goal: at the sync rate, ~1)\n",
              plain_per / sched_per);

  // Memory: engine state, heap entries and task bindings (the task objects
  // themselves were allocated before the first reading).
  std::printf("memory with %zu armed timers: RSS +%.1f MiB = %.0f bytes per timer (goal < 1024)\n",
              timers, static_cast<double>(rss1 - rss0) / (1 << 20),
              static_cast<double>(rss1 - rss0) / static_cast<double>(timers));

  // Idle: nothing is due for a day.
  const double idle_seconds = 4;
  const double cpu0 = cpu_seconds();
  auto w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idle_seconds));
  const double cpu = cpu_seconds() - cpu0, wall = seconds_since(w0);
  std::printf("idle with %zu armed timers: %.4f%% of a core over %.1f s (goal < 1%%)\n", timers,
              100 * cpu / wall, wall);

  (void)engine->shutdown(std::chrono::seconds(5));
  engine.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t timers = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const int firing = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int run_seconds = argc > 3 ? std::atoi(argv[3]) : 6;
  if (timers == 0 || firing <= 0 || run_seconds <= 0) {
    std::fprintf(stderr, "usage: engine_bench [timers] [firing_timers] [seconds]\n");
    return 2;
  }
  bench_lateness(firing, run_seconds);
  bench_many_timers(timers);
  return 0;
}
