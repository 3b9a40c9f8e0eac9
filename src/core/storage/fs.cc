#include "core/storage/fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quor {

namespace {

SysError last_error() { return SysError{errno}; }

FileInfo info_of(const struct stat& st) {
  FileInfo info;
  info.size = static_cast<uint64_t>(st.st_size);
  info.mode = static_cast<uint32_t>(st.st_mode & 07777);
  info.is_dir = S_ISDIR(st.st_mode);
  return info;
}

// Runs `call` until it is not interrupted by a signal.
template <typename F>
auto retry_eintr(F call) {
  for (;;) {
    auto r = call();
    if (r != -1 || errno != EINTR) return r;
  }
}

class PosixFileSystem final : public FileSystem {
 public:
  SysResult<int> open(const std::string& path, int flags, mode_t mode) override {
    int fd = retry_eintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
    if (fd < 0) return last_error();
    return fd;
  }

  SysResult<size_t> write(int fd, const void* data, size_t n) override {
    ssize_t w = retry_eintr([&] { return ::write(fd, data, n); });
    if (w < 0) return last_error();
    return static_cast<size_t>(w);
  }

  SysResult<size_t> read(int fd, void* buf, size_t n) override {
    ssize_t r = retry_eintr([&] { return ::read(fd, buf, n); });
    if (r < 0) return last_error();
    return static_cast<size_t>(r);
  }

  SysResult<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) override {
    ssize_t r = retry_eintr([&] { return ::pread(fd, buf, n, static_cast<off_t>(offset)); });
    if (r < 0) return last_error();
    return static_cast<size_t>(r);
  }

  SysResult<uint64_t> seek(int fd, int64_t offset, int whence) override {
    off_t pos = ::lseek(fd, static_cast<off_t>(offset), whence);
    if (pos < 0) return last_error();
    return static_cast<uint64_t>(pos);
  }

  SysResult<FileInfo> stat(const std::string& path) override {
    struct stat st;
    if (retry_eintr([&] { return ::stat(path.c_str(), &st); }) != 0) return last_error();
    return info_of(st);
  }

  SysResult<FileInfo> fstat(int fd) override {
    struct stat st;
    if (retry_eintr([&] { return ::fstat(fd, &st); }) != 0) return last_error();
    return info_of(st);
  }

  SysResult<void> sync(int fd) override {
#ifdef __APPLE__
    // The full-flush control asks the drive to empty its cache; file
    // systems that do not support it get the ordinary sync.
    if (retry_eintr([&] { return ::fcntl(fd, F_FULLFSYNC); }) == 0) return {};
    if (errno != ENOTSUP && errno != ENOTTY && errno != EINVAL) return last_error();
#endif
    if (retry_eintr([&] { return ::fsync(fd); }) != 0) return last_error();
    return {};
  }

  SysResult<void> rename(const std::string& from, const std::string& to) override {
    if (retry_eintr([&] { return ::rename(from.c_str(), to.c_str()); }) != 0) return last_error();
    return {};
  }

  SysResult<void> unlink(const std::string& path) override {
    if (retry_eintr([&] { return ::unlink(path.c_str()); }) != 0) return last_error();
    return {};
  }

  SysResult<void> mkdir(const std::string& path, mode_t mode) override {
    if (retry_eintr([&] { return ::mkdir(path.c_str(), mode); }) != 0) return last_error();
    return {};
  }

  SysResult<void> chmod(const std::string& path, mode_t mode) override {
    if (retry_eintr([&] { return ::chmod(path.c_str(), mode); }) != 0) return last_error();
    return {};
  }

  SysResult<void> truncate(int fd, uint64_t size) override {
    if (retry_eintr([&] { return ::ftruncate(fd, static_cast<off_t>(size)); }) != 0) {
      return last_error();
    }
    return {};
  }

  SysResult<void> lock(int fd) override {
    if (retry_eintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) return last_error();
    return {};
  }

  SysResult<void> close(int fd) override {
    // The descriptor is released even when close is interrupted; retrying
    // could close a descriptor another thread has just been given.
    if (::close(fd) != 0 && errno != EINTR) return last_error();
    return {};
  }
};

}  // namespace

FileSystem& default_fs() {
  static PosixFileSystem* fs = new PosixFileSystem();
  return *fs;
}

std::string parent_dir(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // "a/b/" names "a/b"
  size_t slash = path.rfind('/', end - 1);
  if (end == 0 || slash == std::string::npos) return "";
  if (slash == 0) return "/";
  size_t p = slash;
  while (p > 1 && path[p - 1] == '/') --p;
  return path.substr(0, p);
}

Status write_all(FileSystem& fs, int fd, std::string_view data) {
  while (!data.empty()) {
    auto w = fs.write(fd, data.data(), data.size());
    if (!w.ok()) {
      if (w.error().code == EINTR) continue;
      return io_error(w.error());
    }
    if (*w == 0) return EngineError::log_io("failed to write whole buffer");
    data.remove_prefix(*w);
  }
  return ok_status();
}

Status mkdirs(FileSystem& fs, const std::string& dir, mode_t mode) {
  if (dir.empty()) return ok_status();
  auto st = fs.stat(dir);
  if (st.ok()) {
    if (st->is_dir) return ok_status();
    return io_error(SysError{EEXIST});
  }
  std::string parent = parent_dir(dir);
  if (!parent.empty() && parent != dir) QUOR_TRY(mkdirs(fs, parent, mode));
  auto made = fs.mkdir(dir, mode);
  if (!made.ok()) {
    // Lost a race with another creator: fine if it is a directory now.
    if (made.error().code == EEXIST) {
      auto again = fs.stat(dir);
      if (again.ok() && again->is_dir) return ok_status();
    }
    return io_error(made.error());
  }
  return sync_dir(fs, parent.empty() ? "." : parent);
}

Status sync_dir(FileSystem& fs, const std::string& dir) {
  auto fd = fs.open(dir, O_RDONLY | O_DIRECTORY);
  if (!fd.ok()) return io_error(fd.error());
  auto synced = fs.sync(*fd);
  auto closed = fs.close(*fd);
  if (!synced.ok()) return io_error(synced.error());
  if (!closed.ok()) return io_error(closed.error());
  return ok_status();
}

}  // namespace quor
