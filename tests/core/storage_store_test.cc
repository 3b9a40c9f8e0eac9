// The data directory: preparation, the lock, recovery and compaction,
// including a crash or an injected failure at every call of a compaction.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/storage/aof.h"
#include "core/storage/fs.h"
#include "core/storage/snapshot.h"
#include "core/storage/store.h"
#include "storage_fault_fs.h"
#include "storage_test_util.h"

namespace quor {
namespace {

using testing::TempDir;
using testing::exists;
using testing::read_file;
using testing::replay;
using testing::write_file;

// ---- prepare_data_dir and lock_data_dir ----

TEST(PrepareDataDir, CreatesParentsAndSetsMode0700EveryTime) {
  TempDir dir;
  std::string data = dir.file("x/y/data");
  ASSERT_TRUE(prepare_data_dir(default_fs(), data).ok());
  EXPECT_EQ(testing::mode_of(data), 0700u);
  ::chmod(data.c_str(), 0755);
  ASSERT_TRUE(prepare_data_dir(default_fs(), data).ok());
  EXPECT_EQ(testing::mode_of(data), 0700u);
}

TEST(PrepareDataDir, FailuresAreLogIo) {
  TempDir dir;
  write_file(dir.file("file"), "");
  Status st = prepare_data_dir(default_fs(), dir.file("file"));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::kLogIo);
  FaultyFileSystem fs(dir.path());
  fs.fail_call(FsOp::kChmod, 1, EPERM);
  st = prepare_data_dir(fs, dir.file("d"));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "log I/O error: Operation not permitted (os error 1)");
}

TEST(LockDataDir, SecondLockFailsInTheSameProcessUntilReleased) {
  TempDir dir;
  mode_t old_mask = umask(0);
  auto first = lock_data_dir(default_fs(), dir.path());
  umask(old_mask);
  ASSERT_TRUE(first.ok()) << first.error().message();
  std::string lock = dir.file("quor.lock");
  EXPECT_EQ((*first)->path(), lock);
  EXPECT_EQ(testing::mode_of(lock), 0600u);
  EXPECT_EQ(read_file(lock), "");

  auto second = lock_data_dir(default_fs(), dir.path());
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind(), ErrorKind::kDataDirLocked);
  EXPECT_EQ(second.error().message(), "data directory is already locked: " + lock);
  EXPECT_EQ(second.error().detail(), lock);

  first.value().reset();
  auto third = lock_data_dir(default_fs(), dir.path());
  EXPECT_TRUE(third.ok());
  EXPECT_TRUE(exists(lock));
}

TEST(LockDataDir, HeldAgainstAnotherProcess) {
  TempDir dir;
  auto held = lock_data_dir(default_fs(), dir.path());
  ASSERT_TRUE(held.ok());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto r = lock_data_dir(default_fs(), dir.path());
    _exit(!r.ok() && r.error().kind() == ErrorKind::kDataDirLocked ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(LockDataDir, AnyLockFailureIsDataDirLockedAndOpenFailureIsLogIo) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  fs.fail_call(FsOp::kLock, 1, EINTR);
  auto r = lock_data_dir(fs, dir.path());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kDataDirLocked);
  EXPECT_EQ(fs.calls(FsOp::kClose), 1);  // the lock file was closed again
  fs.clear_faults();
  fs.fail_call(FsOp::kOpen, 1, EACCES);
  r = lock_data_dir(fs, dir.path());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "log I/O error: Permission denied (os error 13)");
}

// ---- recover ----

class Recovery : public ::testing::Test {
 protected:
  std::string aof() const { return dir_.file("quor.aof"); }
  std::string old() const { return dir_.file("quor.aof.old"); }
  std::string snap() const { return dir_.file("quor.snapshot"); }

  Result<Recovered> run() {
    ::testing::internal::CaptureStderr();
    auto r = recover(default_fs(), dir_.path());
    stderr_ = ::testing::internal::GetCapturedStderr();
    return r;
  }
  void append(const std::vector<Event>& events) {
    auto log = open_aof(default_fs(), aof());
    ASSERT_TRUE(log.ok());
    for (const Event& e : events) ASSERT_TRUE((*log)->append(e).ok());
  }

  TempDir dir_;
  std::string stderr_;
};

TEST_F(Recovery, FreshDirectoryCreatesAnEmptyLogAndNoSnapshot) {
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, EngineState{});
  EXPECT_FALSE(r->aof_torn_at);
  EXPECT_EQ(read_file(aof()), "");
  EXPECT_EQ(testing::mode_of(aof()) & 077, 0u);
  EXPECT_FALSE(exists(snap()));
}

TEST_F(Recovery, LogWithoutSnapshotReplaysEverything) {
  auto events = testing::sample_events();
  events.push_back(TimerResumed{"timer-0", testing::at_second(100)});
  append(events);
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, replay(events));
  EXPECT_EQ(r->state.states.at("timer-0"), TimerState::kOrphaned);  // resumed, unbound
  EXPECT_EQ(stderr_, "");
}

TEST_F(Recovery, SnapshotPlusLogAfterItsOffset) {
  auto events = testing::sample_events();
  std::vector<Event> first(events.begin(), events.begin() + 5);
  std::vector<Event> rest(events.begin() + 5, events.end());
  append(first);
  uint64_t m = read_file(aof()).size();
  ASSERT_TRUE(write_snapshot(default_fs(), dir_.path(), replay(first), m).ok());
  append(rest);
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, replay(events));
}

TEST_F(Recovery, SnapshotAtOffsetZeroWithoutALog) {
  EngineState s = replay(testing::sample_events());
  ASSERT_TRUE(write_snapshot(default_fs(), dir_.path(), s, 0).ok());
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, s);
  EXPECT_EQ(read_file(aof()), "");
}

TEST_F(Recovery, OffsetBeyondTheLogWithoutRotatedLogIsInvalidSnapshot) {
  ASSERT_TRUE(write_snapshot(default_fs(), dir_.path(), EngineState{}, 500).ok());
  write_file(aof(), std::string(99, ' ') + "\n");
  auto r = run();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidSnapshot);
  EXPECT_EQ(r.error().message(), "invalid snapshot: snapshot points to AOF offset 500, but " +
                                     aof() + " is shorter and " + old() + " is missing");
}

TEST_F(Recovery, BadSnapshotFailsWithoutFallingBackToTheLog) {
  append(testing::sample_events());
  write_file(snap(), "{\n  \"v\": 1,\n");
  auto r = run();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidSnapshot);
  EXPECT_EQ(r.error().message().rfind("invalid snapshot: cannot read " + snap() + ": EOF while", 0),
            0u)
      << r.error().message();
}

TEST_F(Recovery, RotatedLogIsReadFromTheOffsetThenTheNewLog) {
  auto events = testing::sample_events();
  std::vector<Event> before(events.begin(), events.begin() + 4);
  std::vector<Event> rotated(events.begin() + 4, events.begin() + 9);
  std::vector<Event> fresh(events.begin() + 9, events.end());
  write_file(old(), testing::log_of(before) + testing::log_of(rotated));
  uint64_t m = testing::log_of(before).size();
  ASSERT_TRUE(write_snapshot(default_fs(), dir_.path(), replay(before), m).ok());

  // No "quor.aof" yet: it is created empty.
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  std::vector<Event> upto(events.begin(), events.begin() + 9);
  EXPECT_EQ(r->state, replay(upto));
  EXPECT_TRUE(exists(aof()));

  append(fresh);
  r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, replay(events));
}

// Once the new log grows past the rotated offset, the entries appended
// after a recovery of the rotated case must still be read from its start.
TEST_F(Recovery, NewLogGrowingPastTheRotatedOffsetKeepsEveryEntry) {
  auto events = testing::sample_events(6);
  std::vector<Event> before(events.begin(), events.begin() + 2);
  write_file(old(), testing::log_of(before));
  ASSERT_TRUE(
      write_snapshot(default_fs(), dir_.path(), replay(before), read_file(old()).size()).ok());
  write_file(aof(), "");
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  std::vector<Event> later(events.begin() + 2, events.end());
  append(later);
  ASSERT_GT(read_file(aof()).size(), read_file(old()).size());
  r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, replay(events));
}

TEST_F(Recovery, TornTailOfTheLogIsReportedForRepair) {
  auto events = testing::sample_events();
  append(events);
  std::string good = read_file(aof());
  write_file(aof(), good + testing::line_of(events[0]).substr(0, 40));
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, replay(events));
  EXPECT_EQ(r->aof_torn_at, good.size());
  EXPECT_NE(stderr_.find("[quor] WARNING: ignoring truncated log tail at line " +
                         std::to_string(events.size() + 1) + " in " + aof() + ": EOF while"),
            std::string::npos)
      << stderr_;
  EXPECT_EQ(read_file(aof()).size(), good.size() + 40);  // recovery changes nothing

  // The engine's repair: cut back, then append.
  auto log = open_aof(default_fs(), aof());
  ASSERT_TRUE(log.ok());
  ASSERT_TRUE((*log)->truncate_to(*r->aof_torn_at).ok());
  ASSERT_TRUE((*log)->append(events[1]).ok());
  events.push_back(events[1]);
  r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, replay(events));
  EXPECT_EQ(stderr_, "");
}

TEST_F(Recovery, TornTailOfTheRotatedLogIsNotReportedForRepair) {
  std::vector<Event> events = testing::sample_events(1);
  std::string log = testing::log_of(events);
  write_file(old(), log + log.substr(0, 30));
  ASSERT_TRUE(write_snapshot(default_fs(), dir_.path(), EngineState{}, log.size()).ok());
  auto r = run();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_FALSE(r->aof_torn_at);
  EXPECT_NE(stderr_.find(" in " + old() + ": "), std::string::npos);
}

TEST_F(Recovery, CorruptLineFailsRecovery) {
  append(testing::sample_events());
  std::string text = read_file(aof());
  write_file(aof(), "\n" + text.substr(0, 30) + "\n" + text);
  auto r = run();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptLogLine);
  EXPECT_EQ(r.error().message().rfind("corrupt log line 2 in " + aof() + ": ", 0), 0u);
}

// ---- compact_store ----

TEST(Compact, RotatesTheLogAndLeavesASnapshotAtOffsetZero) {
  TempDir dir;
  auto events = testing::sample_events();
  std::vector<Event> first(events.begin(), events.begin() + 6);
  std::vector<Event> second(events.begin() + 6, events.end());
  auto append = [&](const std::vector<Event>& es) {
    auto log = open_aof(default_fs(), dir.file("quor.aof"));
    ASSERT_TRUE(log.ok());
    for (const Event& e : es) ASSERT_TRUE((*log)->append(e).ok());
  };
  append(first);
  std::string log1 = read_file(dir.file("quor.aof"));
  ASSERT_TRUE(compact_store(default_fs(), dir.path(), replay(first)).ok());
  EXPECT_EQ(read_file(dir.file("quor.aof")), "");
  EXPECT_EQ(testing::mode_of(dir.file("quor.aof")) & 077, 0u);
  EXPECT_EQ(read_file(dir.file("quor.aof.old")), log1);
  auto snap = load_snapshot(default_fs(), dir.file("quor.snapshot"));
  ASSERT_TRUE(snap.ok());
  EXPECT_EQ(snap->last_aof_offset, 0u);

  append(second);
  std::string log2 = read_file(dir.file("quor.aof"));
  ASSERT_TRUE(compact_store(default_fs(), dir.path(), replay(events)).ok());
  EXPECT_EQ(read_file(dir.file("quor.aof.old")), log2);  // only what came between
  auto r = recover(default_fs(), dir.path());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->state, replay(events));
}

TEST(Compact, MissingLogRenamesNothing) {
  TempDir dir;
  EngineState s = replay(testing::sample_events());
  ASSERT_TRUE(compact_store(default_fs(), dir.path(), s).ok());
  EXPECT_FALSE(exists(dir.file("quor.aof.old")));
  EXPECT_EQ(read_file(dir.file("quor.aof")), "");
  auto snap = load_snapshot(default_fs(), dir.file("quor.snapshot"));
  ASSERT_TRUE(snap.ok());
  EXPECT_EQ(snap->last_aof_offset, 0u);
  auto r = recover(default_fs(), dir.path());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->state, s);
}

// A directory with a log of `events` (and, optionally, an earlier
// compaction), an engine's open log handle, and the state it would compact.
struct CompactFixture {
  explicit CompactFixture(bool compacted_before) {
    events = testing::sample_events();
    std::vector<Event> head(events.begin(), events.begin() + 4);
    auto log = open_aof(default_fs(), dir.file("quor.aof"));
    EXPECT_TRUE(log.ok());
    for (const Event& e : head) EXPECT_TRUE((*log)->append(e).ok());
    if (compacted_before) {
      EXPECT_TRUE(compact_store(default_fs(), dir.path(), replay(head)).ok());
      log = open_aof(default_fs(), dir.file("quor.aof"));
    }
    for (size_t i = head.size(); i < events.size(); ++i) {
      EXPECT_TRUE((*log)->append(events[i]).ok());
    }
    state = replay(events);
  }
  // Opens the engine's handle through `fs`, as the engine holds it.
  std::unique_ptr<Aof> engine_log(FileSystem& fs) {
    auto log = open_aof(fs, dir.file("quor.aof"));
    EXPECT_TRUE(log.ok());
    return log.ok() ? std::move(log).value() : nullptr;
  }

  TempDir dir;
  std::vector<Event> events;
  EngineState state;
};

const Event kLate = TimerCancelled{"timer-1", testing::at_second(1000)};

// Recovers through `fs`, checks the state, then appends more entries to
// the recovered directory (after the engine's torn-tail repair) and checks
// that it is recovered too.
void expect_recovers(FileSystem& fs, const std::string& dir, const EngineState& want) {
  ::testing::internal::CaptureStderr();
  auto r = recover(fs, dir);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, want);
  auto log = open_aof(fs, join_path(dir, "quor.aof"));
  ASSERT_TRUE(log.ok()) << log.error().message();
  if (r->aof_torn_at) {
    ASSERT_TRUE((*log)->truncate_to(*r->aof_torn_at).ok());
  }
  // Grow the log past the rotated log's size, so a snapshot offset left
  // over from an interrupted compaction would point into the new log.
  uint64_t old_size = 0;
  if (auto st = fs.stat(join_path(dir, "quor.aof.old")); st.ok()) old_size = st->size;
  do {
    ASSERT_TRUE((*log)->append(kLate).ok());
  } while ((*log)->size() <= old_size);
  EngineState more = want;
  quor::apply(more, kLate);
  ::testing::internal::CaptureStderr();
  auto again = recover(fs, dir);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(again.ok()) << again.error().message();
  EXPECT_EQ(again->state, more);
}

// The process dies at every file-system call of a compaction in turn, on a
// file system that keeps or loses unsynced directory changes: recovery
// always yields the compacted state, and the directory keeps working.
TEST(CompactCrash, EveryCrashPointRecoversTheCompactedState) {
  for (bool compacted_before : {false, true}) {
    for (CrashMode mode : {CrashMode::kLoseDirOps, CrashMode::kKeepDirOps}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE("die at call " + std::to_string(n) +
                     (mode == CrashMode::kKeepDirOps ? " keep-dir-ops" : " lose-dir-ops") +
                     (compacted_before ? " second compaction" : ""));
        CompactFixture fx(compacted_before);
        FaultyFileSystem fs(fx.dir.path());
        auto log = fx.engine_log(fs);
        fs.clear_faults();
        fs.die_at(n);
        auto result = compact_store(fs, fx.dir.path(), fx.state);
        bool hit = fs.fault_hit();
        log.reset();
        fs.crash(mode);
        expect_recovers(fs, fx.dir.path(), fx.state);
        if (!hit) {
          EXPECT_TRUE(result.ok());
          break;
        }
      }
    }
  }
}

// An injected failure at every call of a compaction: the engine then keeps
// appending to its old handle when the failure came before the rotation,
// and stops otherwise. Recovery, with or without a crash, returns every
// acknowledged entry and nothing else.
TEST(CompactFailure, EveryFailedCallKeepsEveryAcknowledgedEntry) {
  for (bool crash : {false, true}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE("fail call " + std::to_string(n) + (crash ? " then crash" : ""));
      CompactFixture fx(false);
      FaultyFileSystem fs(fx.dir.path());
      auto log = fx.engine_log(fs);
      fs.clear_faults();
      fs.fail_any(n, EIO);
      auto result = compact_store(fs, fx.dir.path(), fx.state);
      bool hit = fs.fault_hit();
      fs.clear_faults();
      EngineState want = fx.state;
      if (result.ok()) {
        log.reset();  // the engine reopens "quor.aof"
        auto fresh = open_aof(fs, fx.dir.file("quor.aof"));
        ASSERT_TRUE(fresh.ok());
        log = std::move(fresh).value();
      } else {
        EXPECT_EQ(result.error().error.kind(), ErrorKind::kLogIo);
      }
      if (result.ok() || result.error().stage == CompactStage::kBeforeRename) {
        ASSERT_TRUE(log->append(kLate).ok());
        quor::apply(want, kLate);
      }
      log.reset();
      if (crash) fs.crash(CrashMode::kLoseDirOps);
      expect_recovers(fs, fx.dir.path(), want);
      if (!hit) {
        EXPECT_TRUE(result.ok());
        break;
      }
    }
  }
}

TEST(CompactFailure, StageTellsWhetherTheLogWasRotated) {
  struct Case {
    FsOp op;
    int n;
    CompactStage stage;
  } cases[] = {
      {FsOp::kOpen, 1, CompactStage::kBeforeRename},    // first snapshot's temporary file
      {FsOp::kRename, 1, CompactStage::kBeforeRename},  // first snapshot's rename
      {FsOp::kRename, 2, CompactStage::kBeforeRename},  // rotation of the log
      {FsOp::kOpen, 3, CompactStage::kAfterRename},     // new log
      {FsOp::kRename, 3, CompactStage::kAfterRename},   // second snapshot's rename
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(fs_op_name(c.op)) + " " + std::to_string(c.n));
    CompactFixture fx(false);
    FaultyFileSystem fs(fx.dir.path());
    fs.fail_call(c.op, c.n, EIO);
    auto result = compact_store(fs, fx.dir.path(), fx.state);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().stage, c.stage);
    EXPECT_EQ(result.error().error.message(), "log I/O error: Input/output error (os error 5)");
    EXPECT_EQ(exists(fx.dir.file("quor.aof.old")), c.stage == CompactStage::kAfterRename);
  }
}

}  // namespace
}  // namespace quor
