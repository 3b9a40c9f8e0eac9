// FileSystem: the thin seam between the storage code and the operating
// system, so that tests can fail any call or simulate a crash.
//
// Every call reports failure as the errno value (SysError). The POSIX
// implementation opens every descriptor close-on-exec and retries calls
// interrupted by a signal. write() and read() may transfer fewer bytes than
// asked; write_all() below loops.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/result.h"

namespace quor {

// An errno value.
struct SysError {
  int code = 0;
};
template <typename T>
using SysResult = Result<T, SysError>;

struct FileInfo {
  uint64_t size = 0;
  uint32_t mode = 0;  // permission bits only
  bool is_dir = false;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual SysResult<int> open(const std::string& path, int flags, mode_t mode = 0) = 0;
  virtual SysResult<size_t> write(int fd, const void* data, size_t n) = 0;
  virtual SysResult<size_t> read(int fd, void* buf, size_t n) = 0;
  virtual SysResult<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) = 0;
  // lseek; returns the new position.
  virtual SysResult<uint64_t> seek(int fd, int64_t offset, int whence) = 0;
  virtual SysResult<FileInfo> stat(const std::string& path) = 0;
  virtual SysResult<FileInfo> fstat(int fd) = 0;
  // Full sync of data and metadata: F_FULLFSYNC on macOS, fsync elsewhere.
  virtual SysResult<void> sync(int fd) = 0;
  virtual SysResult<void> rename(const std::string& from, const std::string& to) = 0;
  virtual SysResult<void> unlink(const std::string& path) = 0;
  virtual SysResult<void> mkdir(const std::string& path, mode_t mode) = 0;
  virtual SysResult<void> chmod(const std::string& path, mode_t mode) = 0;
  virtual SysResult<void> truncate(int fd, uint64_t size) = 0;
  // flock(LOCK_EX | LOCK_NB).
  virtual SysResult<void> lock(int fd) = 0;
  virtual SysResult<void> close(int fd) = 0;
};

// The real POSIX file system (a process-wide instance).
FileSystem& default_fs();

// LogIo with the operating system's text for the error.
inline EngineError io_error(SysError e) { return EngineError::from_errno(e.code); }

// "a/b/c" -> "a/b"; "c" -> ""; "/c" -> "/".
std::string parent_dir(const std::string& path);

// Writes all of `data`, repeating partial and interrupted writes. A write
// that accepts zero bytes fails with "failed to write whole buffer".
Status write_all(FileSystem& fs, int fd, std::string_view data);

// Creates `dir` and its missing ancestors (`mode` before the umask). An
// existing directory is fine. The parent of every directory created is
// synced, so the new entry survives a crash.
Status mkdirs(FileSystem& fs, const std::string& dir, mode_t mode = 0777);

// Opens the directory read-only, fully syncs it and closes it.
Status sync_dir(FileSystem& fs, const std::string& dir);

}  // namespace quor
