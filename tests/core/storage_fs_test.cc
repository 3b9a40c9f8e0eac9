// The file-system seam: the POSIX implementation's helpers and the test
// double's faults and crash model (other storage tests rely on both).
#include <fcntl.h>
#include <gtest/gtest.h>

#include "core/storage/fs.h"
#include "storage_fault_fs.h"
#include "storage_test_util.h"

namespace quor {
namespace {

using testing::TempDir;
using testing::read_file;
using testing::write_file;

TEST(ParentDir, Cases) {
  struct Case {
    const char* path;
    const char* parent;
  } cases[] = {
      {"a/b/c", "a/b"}, {"c", ""}, {"/c", "/"}, {"/", "/"}, {"a/b/", "a"},
      {"a//b", "a"},    {"", ""},  {"/x/y", "/x"},
  };
  for (const Case& c : cases) EXPECT_EQ(parent_dir(c.path), c.parent) << c.path;
}

TEST(PosixFs, DescriptorsAreCloseOnExec) {
  TempDir dir;
  auto fd = default_fs().open(dir.file("f"), O_RDWR | O_CREAT, 0600);
  ASSERT_TRUE(fd.ok());
  EXPECT_TRUE(fcntl(*fd, F_GETFD) & FD_CLOEXEC);
  ASSERT_TRUE(default_fs().close(*fd).ok());
}

TEST(PosixFs, ErrorsCarryErrno) {
  TempDir dir;
  auto fd = default_fs().open(dir.file("missing"), O_RDONLY);
  ASSERT_FALSE(fd.ok());
  EXPECT_EQ(fd.error().code, ENOENT);
  EXPECT_EQ(io_error(fd.error()).message(),
            "log I/O error: No such file or directory (os error 2)");
}

TEST(Mkdirs, CreatesAncestorsAndAcceptsExisting) {
  TempDir dir;
  std::string deep = dir.file("a/b/c");
  ASSERT_TRUE(mkdirs(default_fs(), deep).ok());
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(mkdirs(default_fs(), deep).ok());
  write_file(dir.file("plain"), "x");
  Status st = mkdirs(default_fs(), dir.file("plain"));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::kLogIo);
  EXPECT_FALSE(mkdirs(default_fs(), dir.file("plain/sub")).ok());
}

TEST(WriteAll, RepeatsPartialAndInterruptedWrites) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  auto fd = fs.open(dir.file("f"), O_WRONLY | O_CREAT, 0600);
  ASSERT_TRUE(fd.ok());
  fs.set_max_write(3);
  fs.fail_call(FsOp::kWrite, 2, EINTR);
  ASSERT_TRUE(write_all(fs, *fd, "hello, world").ok());
  EXPECT_GE(fs.calls(FsOp::kWrite), 5);
  (void)fs.close(*fd);
  EXPECT_EQ(read_file(dir.file("f")), "hello, world");
}

TEST(WriteAll, ZeroByteWriteFails) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  auto fd = fs.open(dir.file("f"), O_WRONLY | O_CREAT, 0600);
  ASSERT_TRUE(fd.ok());
  fs.zero_write(1);
  Status st = write_all(fs, *fd, "abc");
  (void)fs.close(*fd);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "log I/O error: failed to write whole buffer");
}

TEST(FaultyFs, FailsTheChosenCallWithoutEffect) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  write_file(dir.file("a"), "x");
  fs.fail_call(FsOp::kRename, 1, EXDEV);
  auto r = fs.rename(dir.file("a"), dir.file("b"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, EXDEV);
  EXPECT_TRUE(fs.fault_hit());
  EXPECT_TRUE(testing::exists(dir.file("a")));
  EXPECT_TRUE(fs.rename(dir.file("a"), dir.file("b")).ok());  // only the first
}

TEST(FaultyFs, DieAtFailsEveryLaterCall) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  fs.die_at(2);
  EXPECT_TRUE(fs.stat(dir.path()).ok());
  EXPECT_FALSE(fs.stat(dir.path()).ok());
  EXPECT_FALSE(fs.mkdir(dir.file("d"), 0700).ok());
  fs.clear_faults();
  EXPECT_TRUE(fs.mkdir(dir.file("d"), 0700).ok());
}

// Writes "data" to a new file, optionally syncing the file and the directory.
void make_file(FaultyFileSystem& fs, const std::string& dir, const std::string& path,
               const std::string& data, bool sync_file, bool sync_directory) {
  auto fd = fs.open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(write_all(fs, *fd, data).ok());
  if (sync_file) {
    ASSERT_TRUE(fs.sync(*fd).ok());
  }
  ASSERT_TRUE(fs.close(*fd).ok());
  if (sync_directory) {
    ASSERT_TRUE(sync_dir(fs, dir).ok());
  }
}

TEST(FaultyFsCrash, DropsUnsyncedBytes) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  std::string f = dir.file("log");
  make_file(fs, dir.path(), f, "synced\n", true, true);
  auto fd = fs.open(f, O_WRONLY | O_APPEND);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(write_all(fs, *fd, "lost\n").ok());
  fs.crash();
  EXPECT_EQ(read_file(f), "synced\n");
  // The crashed descriptor is dead but its owner may still close it.
  EXPECT_FALSE(fs.write(*fd, "x", 1).ok());
  EXPECT_FALSE(fs.close(*fd).ok());
}

TEST(FaultyFsCrash, UnsyncedTruncationIsUndone) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  std::string f = dir.file("log");
  make_file(fs, dir.path(), f, "abcdef", true, true);
  auto fd = fs.open(f, O_WRONLY);
  ASSERT_TRUE(fs.truncate(*fd, 2).ok());
  fs.crash();
  EXPECT_EQ(read_file(f), "abcdef");
  (void)fs.close(*fd);
}

TEST(FaultyFsCrash, DirectoryEntriesNeedADirectorySync) {
  for (CrashMode mode : {CrashMode::kLoseDirOps, CrashMode::kKeepDirOps}) {
    bool keep = mode == CrashMode::kKeepDirOps;
    TempDir dir;
    FaultyFileSystem fs(dir.path());
    write_file(dir.file("old"), "pre-existing");
    make_file(fs, dir.path(), dir.file("durable"), "d", true, true);
    make_file(fs, dir.path(), dir.file("new"), "n", true, false);  // name not synced
    ASSERT_TRUE(fs.rename(dir.file("old"), dir.file("moved")).ok());
    ASSERT_TRUE(fs.unlink(dir.file("durable")).ok());
    fs.crash(mode);
    EXPECT_EQ(testing::exists(dir.file("new")), keep);
    EXPECT_EQ(testing::exists(dir.file("old")), !keep);
    EXPECT_EQ(testing::exists(dir.file("moved")), keep);
    EXPECT_EQ(testing::exists(dir.file("durable")), !keep);
    if (keep) {
      EXPECT_EQ(read_file(dir.file("new")), "n");
      EXPECT_EQ(read_file(dir.file("moved")), "pre-existing");
    } else {
      EXPECT_EQ(read_file(dir.file("old")), "pre-existing");
      EXPECT_EQ(read_file(dir.file("durable")), "d");
    }
  }
}

TEST(FaultyFsCrash, SyncedRenameSurvives) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  make_file(fs, dir.path(), dir.file("tmp"), "v2", true, false);
  ASSERT_TRUE(fs.rename(dir.file("tmp"), dir.file("final")).ok());
  ASSERT_TRUE(sync_dir(fs, dir.path()).ok());
  fs.crash();
  EXPECT_FALSE(testing::exists(dir.file("tmp")));
  EXPECT_EQ(read_file(dir.file("final")), "v2");
}

TEST(FaultyFsCrash, ReleasesLocksOfCrashedDescriptors) {
  TempDir dir;
  FaultyFileSystem fs(dir.path());
  auto a = fs.open(dir.file("lock"), O_RDWR | O_CREAT, 0600);
  ASSERT_TRUE(fs.lock(*a).ok());
  fs.crash();
  auto b = fs.open(dir.file("lock"), O_RDWR | O_CREAT, 0600);
  ASSERT_TRUE(b.ok());
  EXPECT_NE(*a, *b);  // the dead number stays reserved
  EXPECT_TRUE(fs.lock(*b).ok());
  (void)fs.close(*a);
  (void)fs.close(*b);
}

}  // namespace
}  // namespace quor
