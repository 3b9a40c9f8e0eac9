// The log file: appends, the line reader and its torn-tail rule.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/storage/aof.h"
#include "core/storage/fs.h"
#include "storage_fault_fs.h"
#include "storage_test_util.h"

namespace quor {
namespace {

using testing::TempDir;
using testing::line_of;
using testing::read_file;
using testing::write_file;

const Event kA = TimerCreated{testing::spec_of("a")};
const Event kB = TimerCancelled{"b", testing::at_second(5)};
const Event kC = RunSucceeded{"c", "run_x", testing::at_second(6), 42};

std::vector<Event> events_of(const std::vector<LogEntry>& entries) {
  std::vector<Event> out;
  for (const LogEntry& e : entries) out.push_back(e.event);
  return out;
}

// ---- Appending ----

TEST(AofAppend, WritesOneCompactLineAndCreatesTheFile0600) {
  TempDir dir;
  std::string path = dir.file("sub/dir/quor.aof");
  mode_t old_mask = umask(0);
  auto aof = open_aof(default_fs(), path);
  umask(old_mask);
  ASSERT_TRUE(aof.ok()) << aof.error().message();
  EXPECT_EQ(testing::mode_of(path), 0600u);
  Instant ts = testing::at_second(7, 250000000);
  ASSERT_TRUE((*aof)->append(kA, ts).ok());
  ASSERT_TRUE((*aof)->append(kB, ts).ok());
  EXPECT_EQ(read_file(path), line_of(kA, ts) + line_of(kB, ts));
  EXPECT_EQ((*aof)->size(), read_file(path).size());
}

TEST(AofAppend, StampsTheCurrentTime) {
  TempDir dir;
  auto aof = open_aof(default_fs(), dir.file("quor.aof"));
  ASSERT_TRUE(aof.ok());
  Instant before = Instant::now();
  ASSERT_TRUE((*aof)->append(kA).ok());
  Instant after = Instant::now();
  auto entries = read_log(default_fs(), dir.file("quor.aof"));
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].v, 1);
  EXPECT_LE(before, (*entries)[0].ts);
  EXPECT_LE((*entries)[0].ts, after);
}

TEST(AofAppend, NeverTruncatesAnExistingLog) {
  TempDir dir;
  std::string path = dir.file("quor.aof");
  write_file(path, line_of(kA));
  auto aof = open_aof(default_fs(), path);
  ASSERT_TRUE(aof.ok());
  ASSERT_TRUE((*aof)->append(kB, testing::at_second(1)).ok());
  EXPECT_EQ(read_file(path), line_of(kA) + line_of(kB));
}

TEST(AofAppend, WritesTheMissingLineFeedFirst) {
  TempDir dir;
  std::string path = dir.file("quor.aof");
  std::string first = line_of(kA);
  first.pop_back();  // a complete line without its "\n"
  write_file(path, first);
  auto aof = open_aof(default_fs(), path);
  ASSERT_TRUE(aof.ok());
  ASSERT_TRUE((*aof)->append(kB, testing::at_second(1)).ok());
  ASSERT_TRUE((*aof)->append(kC, testing::at_second(1)).ok());
  EXPECT_EQ(read_file(path), line_of(kA) + line_of(kB) + line_of(kC));
}

TEST(AofAppend, OpenFailsWhenTheParentIsAFile) {
  TempDir dir;
  write_file(dir.file("f"), "");
  auto aof = open_aof(default_fs(), dir.file("f/quor.aof"));
  ASSERT_FALSE(aof.ok());
  EXPECT_EQ(aof.error().kind(), ErrorKind::kLogIo);
}

TEST(AofAppend, ToleratesShortAndInterruptedWrites) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  auto aof = open_aof(fs, dir.file("quor.aof"));
  ASSERT_TRUE(aof.ok());
  fs.set_max_write(7);
  fs.fail_call(FsOp::kWrite, 3, EINTR);
  ASSERT_TRUE((*aof)->append(kA, testing::at_second(1)).ok());
  EXPECT_EQ(read_file(dir.file("quor.aof")), line_of(kA));
}

TEST(AofAppend, ZeroByteWriteIsReportedAndLeavesNoPartialLine) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  auto aof = open_aof(fs, dir.file("quor.aof"));
  ASSERT_TRUE(aof.ok());
  ASSERT_TRUE((*aof)->append(kA, testing::at_second(1)).ok());
  fs.set_max_write(10);
  fs.zero_write(2);  // after a 10-byte partial write
  Status st = (*aof)->append(kB, testing::at_second(1));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "log I/O error: failed to write whole buffer");
  EXPECT_EQ(read_file(dir.file("quor.aof")), line_of(kA));
  fs.clear_faults();
  ASSERT_TRUE((*aof)->append(kC, testing::at_second(1)).ok());
  EXPECT_EQ(read_file(dir.file("quor.aof")), line_of(kA) + line_of(kC));
}

// An injected failure at every file-system call of an append, with and
// without a crash afterwards: recovery reads back exactly the appends that
// succeeded, and the handle keeps working once the fault is gone.
TEST(AofAppend, FailureAtEveryCallLosesNothingAcknowledged) {
  for (CrashMode mode : {CrashMode::kLoseDirOps, CrashMode::kKeepDirOps}) {
    for (bool crash : {false, true}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE("call " + std::to_string(n) + (crash ? " crash" : "") +
                     (mode == CrashMode::kKeepDirOps ? " keep" : ""));
        TempDir dir;
        FaultyFileSystem fs(dir.path());
        std::string path = dir.file("quor.aof");
        std::vector<Event> acked;
        fs.set_max_write(50);  // several writes per line
        fs.fail_any(n, EIO);
        auto aof = open_aof(fs, path);
        if (aof.ok()) {
          for (const Event& e : {kA, kB, kC}) {
            if ((*aof)->append(e).ok()) acked.push_back(e);
          }
        }
        bool hit = fs.fault_hit();
        if (crash) fs.crash(mode);
        fs.clear_faults();
        auto entries = read_log(fs, path);
        if (!aof.ok()) {
          // The log may not exist; nothing was acknowledged.
          EXPECT_TRUE(!entries.ok() || entries->empty());
        } else {
          ASSERT_TRUE(entries.ok()) << entries.error().message();
          EXPECT_EQ(events_of(*entries), acked);
        }
        if (aof.ok() && !crash) {
          ASSERT_TRUE((*aof)->append(kA).ok());
          acked.push_back(kA);
          auto again = read_log(fs, path);
          ASSERT_TRUE(again.ok());
          EXPECT_EQ(events_of(*again), acked);
        }
        if (!hit) break;
      }
    }
  }
}

TEST(AofAppend, RefusesFurtherAppendsWhenAFailureCannotBeUndone) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  auto aof = open_aof(fs, dir.file("quor.aof"));
  ASSERT_TRUE(aof.ok());
  fs.clear_faults();
  fs.fail_call(FsOp::kSync, 1, EIO);
  fs.fail_call(FsOp::kTruncate, 1, EROFS);
  Status st = (*aof)->append(kA);
  ASSERT_FALSE(st.ok());
  fs.clear_faults();
  Status again = (*aof)->append(kB);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), st.error());
  EXPECT_EQ(fs.total_calls(), 0);
}

TEST(AofAppend, NewLogSurvivesACrashThatDropsUnsyncedDirectoryEntries) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  std::string path = dir.file("data/quor.aof");
  auto aof = open_aof(fs, path);
  ASSERT_TRUE(aof.ok());
  ASSERT_TRUE((*aof)->append(kA).ok());
  fs.crash(CrashMode::kLoseDirOps);
  auto entries = read_log(fs, path);
  ASSERT_TRUE(entries.ok()) << entries.error().message();
  EXPECT_EQ(entries->size(), 1u);
}

TEST(AofTruncate, CutsATornTailSoTheNextAppendStartsALine) {
  TempDir dir;
  std::string path = dir.file("quor.aof");
  std::string torn = line_of(kB).substr(0, 30);
  write_file(path, line_of(kA) + torn);
  auto aof = open_aof(default_fs(), path);
  ASSERT_TRUE(aof.ok());
  ::testing::internal::CaptureStderr();
  auto tail = scan_log(default_fs(), path, 0, [](LogEntry&&) {});
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(tail.ok());
  ASSERT_TRUE(tail->torn_at.has_value());
  ASSERT_TRUE((*aof)->truncate_to(*tail->torn_at).ok());
  ASSERT_TRUE((*aof)->append(kC, testing::at_second(1)).ok());
  EXPECT_EQ(read_file(path), line_of(kA) + line_of(kC));
}

TEST(AofTruncate, RecomputesTheMissingLineFeed) {
  TempDir dir;
  std::string path = dir.file("quor.aof");
  write_file(path, line_of(kA) + "  ");
  auto aof = open_aof(default_fs(), path);
  ASSERT_TRUE(aof.ok());
  ASSERT_TRUE((*aof)->truncate_to(line_of(kA).size() + 1).ok());  // keeps one space
  ASSERT_TRUE((*aof)->append(kB, testing::at_second(1)).ok());
  EXPECT_EQ(read_file(path), line_of(kA) + " \n" + line_of(kB));
}

// ---- Reading ----

struct ReadCase {
  const char* name;
  std::string content;
  uint64_t offset;
  std::vector<Event> entries;  // when it succeeds
  std::string error;           // full message when it fails
  std::string warning;         // expected standard error
  std::optional<uint64_t> torn_at;
};

std::string path_in(const TempDir& d) { return d.file("quor.aof"); }

std::vector<ReadCase> read_cases(const std::string& path) {
  const std::string a = line_of(kA), b = line_of(kB), c = line_of(kC);
  std::string a_no_lf = a.substr(0, a.size() - 1);
  std::string torn_ts = b.substr(0, b.find("\"ts\":\"") + 12);  // stops inside "ts"
  std::string crlf_a = a_no_lf + "\r\n";
  const std::string corrupt = "corrupt log line ";
  const std::string warn = "[quor] WARNING: ignoring truncated log tail at line ";
  auto torn_parse = parse_log_line(torn_ts.substr(0, torn_ts.size()));
  std::string eof_string = torn_parse.ok() ? "?" : torn_parse.error().message;
  return {
      {"empty", "", 0, {}, "", "", {}},
      {"final line without line feed", b + a_no_lf, 0, {kB, kA}, "", "", {}},
      {"trailing blank lines", a + "\n\n  \t\n\n", 0, {kA}, "", "", {}},
      {"only blank lines", "\n \n\r\n", 0, {}, "", "", {}},
      {"carriage returns", crlf_a + "\r\n" + crlf_a, 0, {kA, kA}, "", "", {}},
      {"unicode whitespace around and between",
       "\xc2\xa0" + a_no_lf + "\xe3\x80\x80\n\xe2\x80\xa8\n\xc2\x85\n" + b, 0, {kA, kB}, "", "",
       {}},
      {"torn final line", a + c + torn_ts, 0, {kA, kC}, "",
       warn + "3 in " + path + ": " + eof_string + "\n", a.size() + c.size()},
      {"torn final line then blank lines", a + torn_ts + "\n \n", 0, {kA}, "",
       warn + "2 in " + path + ": " + eof_string + "\n", a.size()},
      {"torn only line", torn_ts, 0, {}, "", warn + "1 in " + path + ": " + eof_string + "\n",
       0},
      {"torn line followed by a complete one", torn_ts + "\n" + a, 0, {},
       corrupt + "1 in " + path + ": " + eof_string, "", {}},
      {"complete final line with a wrong type", a + "{\"v\":1,\"ts\":5,\"event\":{}}\n", 0, {},
       corrupt + "2 in " + path + ": ", "", {}},
      {"zero bytes are not a torn tail", a + std::string(4, '\0'), 0, {},
       corrupt + "2 in " + path + ": ", "", {}},
      {"blank lines count", "\n  \nnot json\n" + a, 0, {}, corrupt + "3 in " + path + ": ", "",
       {}},
      {"invalid utf-8", a + "\xff\xfe\n", 0, {},
       "log I/O error: stream did not contain valid UTF-8", "", {}},
      {"invalid utf-8 outranks an earlier corrupt line", "garbage\n" + a + "\"\xc0\xaf\"", 0, {},
       "log I/O error: stream did not contain valid UTF-8", "", {}},
      {"invalid utf-8 outranks a torn tail", a + "\xed\xa0\x80\n" + torn_ts, 0, {},
       "log I/O error: stream did not contain valid UTF-8", "", {}},
      {"offset at the end", a + b, a.size() + b.size(), {}, "", "", {}},
      {"offset past the end", a, 1000, {}, "", "", {}},
      {"offset skips and renumbers", a + b + "oops\n", a.size(), {}, corrupt + "2 in " + path + ": ",
       "", {}},
      {"torn tail after an offset is absolute", a + b + torn_ts, a.size(), {kB}, "",
       warn + "2 in " + path + ": " + eof_string + "\n", a.size() + b.size()},
  };
}

TEST(ReadLog, LineReaderCases) {
  TempDir dir;
  std::string path = path_in(dir);
  for (const ReadCase& c : read_cases(path)) {
    SCOPED_TRACE(c.name);
    write_file(path, c.content);
    std::vector<Event> got;
    ::testing::internal::CaptureStderr();
    auto tail = scan_log(default_fs(), path, c.offset,
                         [&](LogEntry&& e) { got.push_back(std::move(e.event)); });
    std::string err = ::testing::internal::GetCapturedStderr();
    if (c.error.empty()) {
      ASSERT_TRUE(tail.ok()) << tail.error().message();
      EXPECT_EQ(got, c.entries);
      EXPECT_EQ(tail->torn_at, c.torn_at);
      EXPECT_EQ(err, c.warning);
      ::testing::internal::CaptureStderr();
      auto list = read_log_from(default_fs(), path, c.offset);
      ::testing::internal::GetCapturedStderr();
      ASSERT_TRUE(list.ok());
      EXPECT_EQ(events_of(*list), c.entries);
    } else {
      ASSERT_FALSE(tail.ok());
      EXPECT_EQ(tail.error().message().substr(0, c.error.size()), c.error)
          << tail.error().message();
      EXPECT_EQ(err, "");
      auto list = read_log_from(default_fs(), path, c.offset);
      ASSERT_FALSE(list.ok());
      EXPECT_EQ(list.error(), tail.error());
    }
  }
}

TEST(ReadLog, CorruptLineCarriesLinePathAndParserMessage) {
  TempDir dir;
  std::string path = path_in(dir);
  write_file(path, line_of(kA) + "{\"v\":300,\"ts\":\"2026-03-01T08:00:00Z\",\"event\":" +
                       "{\"type\":\"TIMER_PAUSED\",\"timer_id\":\"x\",\"at\":\"2026-03-01T08:00:00Z\"}}\n");
  auto r = read_log(default_fs(), path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptLogLine);
  auto parsed = parse_log_line(
      "{\"v\":300,\"ts\":\"2026-03-01T08:00:00Z\",\"event\":{\"type\":\"TIMER_PAUSED\","
      "\"timer_id\":\"x\",\"at\":\"2026-03-01T08:00:00Z\"}}");
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(r.error().message(), "corrupt log line 2 in " + path + ": " + parsed.error().message);
  EXPECT_EQ(r.error().detail(), parsed.error().message);
}

TEST(ReadLog, MissingFileIsLogIo) {
  TempDir dir;
  auto r = read_log(default_fs(), dir.file("nope"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "log I/O error: No such file or directory (os error 2)");
  EXPECT_FALSE(testing::exists(dir.file("nope")));  // reading never creates
}

TEST(ReadLog, ReadAndSeekFailuresAreLogIo) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  write_file(dir.file("quor.aof"), line_of(kA) + line_of(kB));
  for (FsOp op : {FsOp::kOpen, FsOp::kSeek, FsOp::kRead}) {
    SCOPED_TRACE(fs_op_name(op));
    fs.clear_faults();
    fs.fail_call(op, 1, EIO);
    auto r = read_log_from(fs, dir.file("quor.aof"), 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "log I/O error: Input/output error (os error 5)");
  }
}

// Lines of many lengths, some far longer than the read buffer, so that line
// feeds, carriage returns and multi-byte characters fall on every side of a
// buffer boundary.
TEST(ReadLog, LinesAcrossReadBuffers) {
  TempDir dir;
  std::string path = path_in(dir);
  std::vector<Event> events;
  std::string content;
  for (int i = 0; i < 400; ++i) {
    std::string error(static_cast<size_t>((i * 37) % 300), 'x');
    if (i % 7 == 0) error += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";  // é € 😀
    if (i % 50 == 0) error += std::string(20000, 'y');
    Event e = RunFailed{"t", "run_" + std::to_string(i), testing::at_second(i), error, 1};
    events.push_back(e);
    std::string line = line_of(e);
    if (i % 3 == 0) line.insert(line.size() - 1, "\r");
    content += line;
  }
  write_file(path, content);
  auto r = read_log(default_fs(), path);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(events_of(*r), events);

  // The same file torn in the middle of its long last line.
  write_file(path, content + line_of(events[0]).substr(0, 15000));
  ::testing::internal::CaptureStderr();
  auto tail = scan_log(default_fs(), path, 0, [](LogEntry&&) {});
  std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(tail.ok());
  EXPECT_EQ(tail->torn_at, content.size());
  EXPECT_NE(err.find("at line 401 in "), std::string::npos) << err;
}

}  // namespace
}  // namespace quor
