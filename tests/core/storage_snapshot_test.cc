// The snapshot file: atomic replacement, its mode, and the reader's errors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/storage/fs.h"
#include "core/storage/snapshot.h"
#include "storage_fault_fs.h"
#include "storage_test_util.h"

namespace quor {
namespace {

using testing::TempDir;
using testing::read_file;
using testing::write_file;

EngineState full_state() {
  EngineState s = testing::replay(testing::sample_events());
  s.next_runs["timer-1"] = testing::at_second(500, 1);
  s.bindings["timer-0"] = "not persisted";
  return s;
}

EngineState without_bindings(EngineState s) {
  s.bindings.clear();
  return s;
}

Result<SnapshotState> load(FileSystem& fs, const std::string& path) {
  auto snap = load_snapshot(fs, path);
  if (!snap.ok()) return std::move(snap).error();
  return state_from_snapshot(std::move(snap).value());
}

TEST(Snapshot, RoundTripsTheStateWithoutBindings) {
  TempDir dir;
  mode_t old_mask = umask(0);
  Status st = write_snapshot(default_fs(), dir.path(), full_state(), 1234);
  umask(old_mask);
  ASSERT_TRUE(st.ok()) << st.error().message();
  std::string path = dir.file("quor.snapshot");
  EXPECT_EQ(testing::mode_of(path), 0600u);
  EXPECT_FALSE(testing::exists(dir.file("quor.snapshot.tmp")));
  std::string text = read_file(path);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.substr(0, 2), "{\n");
  auto loaded = load(default_fs(), path);
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  EXPECT_EQ(loaded->last_aof_offset, 1234u);
  EXPECT_EQ(loaded->state, without_bindings(full_state()));
}

TEST(Snapshot, CreatesTheDirectoryAndReplacesAStaleTemporaryFile) {
  TempDir dir;
  std::string data = dir.file("a/b");
  ASSERT_TRUE(mkdirs(default_fs(), data).ok());
  write_file(data + "/quor.snapshot.tmp", std::string(100000, 'z'));
  ::chmod((data + "/quor.snapshot.tmp").c_str(), 0600);
  ASSERT_TRUE(write_snapshot(default_fs(), dir.file("a/b/c"), EngineState{}, 0).ok());
  ASSERT_TRUE(write_snapshot(default_fs(), data, EngineState{}, 7).ok());
  EXPECT_FALSE(testing::exists(data + "/quor.snapshot.tmp"));
  auto loaded = load(default_fs(), data + "/quor.snapshot");
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  EXPECT_EQ(loaded->last_aof_offset, 7u);
}

TEST(Snapshot, MissingFileIsLogIo) {
  TempDir dir;
  auto r = load_snapshot(default_fs(), dir.file("quor.snapshot"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "log I/O error: No such file or directory (os error 2)");
}

// Edits the text of a freshly written snapshot and loads it.
class SnapshotText : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(write_snapshot(default_fs(), dir_.path(), full_state(), 99).ok());
    text_ = read_file(path());
  }
  std::string path() const { return dir_.file("quor.snapshot"); }
  void replace(const std::string& from, const std::string& to) {
    size_t at = text_.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text_.replace(at, from.size(), to);
  }
  Result<SnapshotState> load_text() {
    write_file(path(), text_);
    return load(default_fs(), path());
  }
  TempDir dir_;
  std::string text_;
};

TEST_F(SnapshotText, ParserErrorsCarryPathAndPositionInTheFile) {
  struct Case {
    const char* name;
    size_t cut;  // keep this many bytes (0: the whole text)
    std::string from, to;
  } cases[] = {
      {"truncated", 0, "", ""},
      {"lower-case state name", 0, "\"Paused\"", "\"paused\""},
      {"missing key", 0, "\"format_version\"", "\"format_versio\""},
      {"trailing value", 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::string name = c.name;
    if (name == "truncated") text_.resize(text_.size() / 2);
    if (name == "trailing value") text_ += "{}\n";
    if (!c.from.empty()) replace(c.from, c.to);
    auto r = load_text();
    ASSERT_FALSE(r.ok());
    auto decoded = decode_snapshot(text_);
    ASSERT_FALSE(decoded.ok());
    EXPECT_GT(decoded.error().line, 1u);  // a line of the pretty-printed file
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidSnapshot);
    EXPECT_EQ(r.error().message(),
              "invalid snapshot: cannot read " + path() + ": " + decoded.error().message);
    if (name == "lower-case state name") {
      EXPECT_NE(r.error().message().find("unknown variant `paused`, expected one of `Scheduled`, "
                                         "`Running`, `Retrying`, `Dead`, `Orphaned`, `Paused`, "
                                         "`Cancelled`"),
                std::string::npos)
          << r.error().message();
    }
  }
}

TEST_F(SnapshotText, VersionChecks) {
  struct Case {
    const char* v;
    const char* format_version;
    std::string message;  // empty: loads
  } cases[] = {
      {"2", "0", "invalid snapshot: unsupported snapshot version 2"},
      {"0", "1", "invalid snapshot: unsupported snapshot version 0"},
      {"1", "0", "invalid snapshot: unsupported storage format version 0"},
      {"1", "9", "invalid snapshot: unsupported storage format version 9"},
      {"1", "1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.v) + "/" + c.format_version);
    SetUp();
    replace("\"v\": 1,", std::string("\"v\": ") + c.v + ",");
    replace("\"format_version\": 1,", std::string("\"format_version\": ") + c.format_version + ",");
    auto r = load_text();
    if (c.message.empty()) {
      EXPECT_TRUE(r.ok());
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message(), c.message);
    }
  }
}

TEST_F(SnapshotText, OtherEngineVersionAndMissingDurationLoad) {
  replace("\"engine_version\": \"0.1.1\"", "\"engine_version\": \"9.9.9\"");
  replace("\"duration_ms\": null,", "");
  auto r = load_text();
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->state, without_bindings(full_state()));
}

// An injected failure at every call of write_snapshot, with and without a
// crash: the snapshot on disk is always complete, the old one or the new.
TEST(Snapshot, FailureAtEveryCallLeavesACompleteSnapshot) {
  EngineState old_state = testing::replay({TimerCreated{testing::spec_of("old")}});
  EngineState new_state = without_bindings(full_state());
  for (CrashMode mode : {CrashMode::kLoseDirOps, CrashMode::kKeepDirOps}) {
    for (bool crash : {false, true}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE("call " + std::to_string(n) + (crash ? " crash" : ""));
        TempDir dir;
        ASSERT_TRUE(write_snapshot(default_fs(), dir.path(), old_state, 1).ok());
        FaultyFileSystem fs(dir.path());
        fs.fail_any(n, ENOSPC);
        Status st = write_snapshot(fs, dir.path(), new_state, 2);
        bool hit = fs.fault_hit();
        if (!st.ok()) {
          EXPECT_EQ(st.error().message(), "log I/O error: No space left on device (os error 28)");
        }
        if (crash) fs.crash(mode);
        auto loaded = load(default_fs(), dir.file("quor.snapshot"));
        ASSERT_TRUE(loaded.ok()) << loaded.error().message();
        if (st.ok()) {
          EXPECT_EQ(loaded->state, new_state);
        } else if (loaded->last_aof_offset == 1) {
          EXPECT_EQ(loaded->state, old_state);
        } else {
          EXPECT_EQ(loaded->state, new_state);
        }
        if (!hit) break;
      }
    }
  }
}

}  // namespace
}  // namespace quor
