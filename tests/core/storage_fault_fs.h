// FaultyFileSystem: a FileSystem for tests that wraps the real one and can
// fail chosen calls and simulate a crash.
//
// Faults (counted from the last clear_faults()):
//   fail_call(op, n, err)   the n-th call (1-based) of `op` fails with `err`
//   fail_any(n, err)        the n-th call of any operation fails with `err`
//   die_at(n)               the n-th call and every later one fail with EIO,
//                           as if the process had lost power there
//   zero_write(n)           the n-th write accepts zero bytes
//   set_max_write(k)        every write accepts at most k bytes
// A failed call has no effect. fault_hit() tells whether a fault fired.
//
// Crash model, for files directly inside a directory under `root` (paths
// outside `root` pass straight through; directories themselves are taken
// as durable once created):
//   - A file's durable content is its content at its last sync (files that
//     existed when the directory was first touched count as synced).
//   - A directory's durable entries are its entries at its last sync
//     (open O_DIRECTORY + sync) and those present when it was first touched.
//   - crash() rewrites every tracked file to its durable content and closes
//     every descriptor opened through this object (their numbers stay
//     reserved, pointing at /dev/null, until their owner closes them; any
//     other call on them fails with EBADF). With kLoseDirOps, names created,
//     renamed or removed since the directory's last sync revert; with
//     kKeepDirOps (a file system with synchronous metadata) they stay.
//   - sync() records the durable state without calling the real fsync,
//     which keeps tests fast.
//   - After crash() no fault is armed; the object serves as the file system
//     of the restarted process.
// Paths must be spelled consistently (no "." or ".." components, no
// doubled slashes). All members are thread-safe.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/storage/fs.h"

namespace quor {

enum class FsOp : int {
  kOpen, kWrite, kRead, kPread, kSeek, kStat, kFstat, kSync, kRename,
  kUnlink, kMkdir, kChmod, kTruncate, kLock, kClose, kCount,
};

inline const char* fs_op_name(FsOp op) {
  static const char* names[] = {"open",   "write", "read",  "pread",    "seek",
                                "stat",   "fstat", "sync",  "rename",   "unlink",
                                "mkdir",  "chmod", "truncate", "lock",  "close"};
  return names[static_cast<int>(op)];
}

enum class CrashMode { kLoseDirOps, kKeepDirOps };

class FaultyFileSystem final : public FileSystem {
 public:
  explicit FaultyFileSystem(std::string root, FileSystem& base = default_fs())
      : base_(base), root_(strip(std::move(root))) {}

  // ---- Faults ----
  // Several of these may be armed at once (for different operations).
  void fail_call(FsOp op, int n, int err) {
    std::lock_guard<std::mutex> g(mu_);
    op_faults_.push_back(Fault{op, n, err});
  }
  void fail_any(int n, int err) {
    std::lock_guard<std::mutex> g(mu_);
    any_fault_ = Fault{FsOp::kCount, n, err};
  }
  void die_at(int n) {
    std::lock_guard<std::mutex> g(mu_);
    die_at_ = n;
  }
  void zero_write(int n) {
    std::lock_guard<std::mutex> g(mu_);
    zero_write_ = n;
  }
  void set_max_write(size_t k) {
    std::lock_guard<std::mutex> g(mu_);
    max_write_ = k;
  }
  // Disarms every fault and restarts the call counts.
  void clear_faults() {
    std::lock_guard<std::mutex> g(mu_);
    clear_locked();
  }
  bool fault_hit() const {
    std::lock_guard<std::mutex> g(mu_);
    return hit_;
  }
  int calls(FsOp op) const {
    std::lock_guard<std::mutex> g(mu_);
    return counts_[static_cast<int>(op)];
  }
  int total_calls() const {
    std::lock_guard<std::mutex> g(mu_);
    return total_;
  }

  // ---- Crash ----
  void crash(CrashMode mode = CrashMode::kLoseDirOps) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto& [fd, f] : fds_) {
      if (f.dead) continue;
      int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      ::dup2(null, fd);  // closes the file (and its flock) but keeps the number
      ::close(null);
      f.dead = true;
    }
    Names target = mode == CrashMode::kLoseDirOps ? durable_ : live_;
    for (auto& [path, node] : live_) {
      if (!target.count(path)) ::unlink(path.c_str());
    }
    for (auto& [path, node] : target) {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0) continue;
      ::fchmod(fd, node->mode);
      size_t off = 0;
      while (off < node->synced.size()) {
        ssize_t w = ::write(fd, node->synced.data() + off, node->synced.size() - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
      }
      ::close(fd);
    }
    live_ = target;
    durable_ = target;
    clear_locked();
  }

  // ---- FileSystem ----
  SysResult<int> open(const std::string& path, int flags, mode_t mode = 0) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kOpen)) return SysError{err};
    std::string p = strip(path);
    bool tracked = track(p);
    struct stat before;
    std::shared_ptr<Node> found;  // a file written behind our back
    if (tracked && !live_.count(p) && ::lstat(p.c_str(), &before) == 0 && S_ISREG(before.st_mode)) {
      found = import_file(p);
    }
    auto r = base_.open(path, flags, mode);
    if (!r.ok()) return r;
    Fd f;
    f.path = p;
    struct stat st;
    if (::fstat(*r, &st) == 0 && S_ISDIR(st.st_mode)) {
      f.is_dir = true;
    } else if (tracked) {
      auto it = live_.find(p);
      if (it == live_.end() && found) {
        durable_[p] = found;
        it = live_.emplace(p, found).first;
      } else if (it == live_.end()) {
        auto node = std::make_shared<Node>();
        node->mode = mode & 07777;
        it = live_.emplace(p, node).first;
      }
      f.node = it->second;
    }
    fds_[*r] = f;
    return r;
  }

  SysResult<size_t> write(int fd, const void* data, size_t n) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kWrite, fd)) return SysError{err};
    if (zero_write_ > 0 && counts_[static_cast<int>(FsOp::kWrite)] == zero_write_) {
      hit_ = true;
      return size_t{0};
    }
    if (max_write_ > 0 && n > max_write_) n = max_write_;
    return base_.write(fd, data, n);
  }

  SysResult<size_t> read(int fd, void* buf, size_t n) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kRead, fd)) return SysError{err};
    return base_.read(fd, buf, n);
  }

  SysResult<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kPread, fd)) return SysError{err};
    return base_.pread(fd, buf, n, offset);
  }

  SysResult<uint64_t> seek(int fd, int64_t offset, int whence) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kSeek, fd)) return SysError{err};
    return base_.seek(fd, offset, whence);
  }

  SysResult<FileInfo> stat(const std::string& path) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kStat)) return SysError{err};
    track(strip(path));
    return base_.stat(path);
  }

  SysResult<FileInfo> fstat(int fd) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kFstat, fd)) return SysError{err};
    return base_.fstat(fd);
  }

  SysResult<void> sync(int fd) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kSync, fd)) return SysError{err};
    // Durability is what the model records; the real sync is skipped
    // (it would only make tests slow), but a bad descriptor still fails.
    SysResult<void> r;
    if (::fcntl(fd, F_GETFD) == -1) return SysError{errno};
    auto it = fds_.find(fd);
    if (it == fds_.end()) return r;
    Fd& f = it->second;
    if (f.node) {
      // Read through a fresh read-only descriptor: `fd` may be write-only.
      std::string self = "/proc/self/fd/" + std::to_string(fd);
      int rfd = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
      f.node->synced = contents(rfd >= 0 ? rfd : fd);
      if (rfd >= 0) ::close(rfd);
    } else if (f.is_dir && dirs_.count(f.path)) {
      for (auto i = durable_.begin(); i != durable_.end();) {
        i = parent_dir(i->first) == f.path ? durable_.erase(i) : std::next(i);
      }
      for (auto& [path, node] : live_) {
        if (parent_dir(path) == f.path) durable_[path] = node;
      }
    }
    return r;
  }

  SysResult<void> rename(const std::string& from, const std::string& to) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kRename)) return SysError{err};
    std::string f = strip(from), t = strip(to);
    bool tf = track(f), tt = track(t);
    auto r = base_.rename(from, to);
    if (!r.ok()) return r;
    std::shared_ptr<Node> node;
    if (tf) {
      auto it = live_.find(f);
      if (it != live_.end()) {
        node = it->second;
        live_.erase(it);
      }
    }
    if (tt) {
      if (!node) node = import_file(t);
      live_[t] = node;
    }
    return r;
  }

  SysResult<void> unlink(const std::string& path) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kUnlink)) return SysError{err};
    std::string p = strip(path);
    bool tracked = track(p);
    auto r = base_.unlink(path);
    if (r.ok() && tracked) live_.erase(p);
    return r;
  }

  SysResult<void> mkdir(const std::string& path, mode_t mode) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kMkdir)) return SysError{err};
    return base_.mkdir(path, mode);
  }

  SysResult<void> chmod(const std::string& path, mode_t mode) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kChmod)) return SysError{err};
    auto r = base_.chmod(path, mode);
    auto it = live_.find(strip(path));
    if (r.ok() && it != live_.end()) it->second->mode = mode & 07777;
    return r;
  }

  SysResult<void> truncate(int fd, uint64_t size) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kTruncate, fd)) return SysError{err};
    return base_.truncate(fd, size);
  }

  SysResult<void> lock(int fd) override {
    std::lock_guard<std::mutex> g(mu_);
    if (int err = inject(FsOp::kLock, fd)) return SysError{err};
    return base_.lock(fd);
  }

  SysResult<void> close(int fd) override {
    std::lock_guard<std::mutex> g(mu_);
    auto it = fds_.find(fd);
    bool dead = it != fds_.end() && it->second.dead;
    // A crashed descriptor is always released, so its number can be reused.
    if (!dead) {
      if (int err = inject(FsOp::kClose)) {
        // close() releases the descriptor even when it reports an error.
        if (it != fds_.end()) fds_.erase(it);
        (void)base_.close(fd);
        return SysError{err};
      }
    }
    if (it != fds_.end()) fds_.erase(it);
    auto r = base_.close(fd);
    if (dead) return SysError{EBADF};
    return r;
  }

 private:
  struct Node {
    std::string synced;  // content at the last sync
    mode_t mode = 0600;
  };
  using Names = std::map<std::string, std::shared_ptr<Node>>;
  struct Fd {
    std::string path;
    std::shared_ptr<Node> node;  // null for directories and untracked files
    bool is_dir = false;
    bool dead = false;
  };
  struct Fault {
    FsOp op = FsOp::kCount;
    int n = 0;
    int err = 0;
  };

  static std::string strip(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  }

  // Counts the call and returns the errno to fail it with, or 0.
  int inject(FsOp op, int fd = -1) {
    int i = static_cast<int>(op);
    ++counts_[i];
    ++total_;
    if (die_at_ > 0 && total_ >= die_at_) {
      hit_ = true;
      return EIO;
    }
    if (any_fault_.n > 0 && total_ == any_fault_.n) {
      hit_ = true;
      return any_fault_.err;
    }
    for (const Fault& f : op_faults_) {
      if (f.op == op && counts_[i] == f.n) {
        hit_ = true;
        return f.err;
      }
    }
    if (fd >= 0) {
      auto it = fds_.find(fd);
      if (it != fds_.end() && it->second.dead) return EBADF;
    }
    return 0;
  }

  void clear_locked() {
    op_faults_.clear();
    any_fault_ = Fault{};
    die_at_ = zero_write_ = 0;
    max_write_ = 0;
    hit_ = false;
    for (int& c : counts_) c = 0;
    total_ = 0;
  }

  bool under_root(const std::string& dir) const {
    return dir == root_ || (dir.size() > root_.size() && dir.compare(0, root_.size(), root_) == 0 &&
                            dir[root_.size()] == '/');
  }

  // Starts tracking the directory of `path` (taking its present files as
  // durable); false when the path is outside the root.
  bool track(const std::string& path) {
    std::string dir = parent_dir(path);
    if (!under_root(dir)) return false;
    if (dirs_.insert(dir).second) {
      if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
          std::string p = dir + "/" + e->d_name;
          struct stat st;
          if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || live_.count(p)) continue;
          auto node = import_file(p);
          live_[p] = node;
          durable_[p] = node;
        }
        ::closedir(d);
      }
    }
    return true;
  }

  static std::shared_ptr<Node> import_file(const std::string& path) {
    auto node = std::make_shared<Node>();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      node->synced = contents(fd);
      struct stat st;
      if (::fstat(fd, &st) == 0) node->mode = st.st_mode & 07777;
      ::close(fd);
    }
    return node;
  }

  static std::string contents(int fd) {
    std::string out;
    char buf[8192];
    off_t off = 0;
    for (;;) {
      ssize_t r = ::pread(fd, buf, sizeof buf, off);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
      off += r;
    }
    return out;
  }

  FileSystem& base_;
  const std::string root_;

  mutable std::mutex mu_;
  Names live_;                    // guarded by mu_: tracked names now
  Names durable_;                 // guarded by mu_: tracked names as of the last directory sync
  std::set<std::string> dirs_;    // guarded by mu_: tracked directories
  std::map<int, Fd> fds_;         // guarded by mu_: descriptors opened here
  std::vector<Fault> op_faults_;  // guarded by mu_
  Fault any_fault_;               // guarded by mu_
  int die_at_ = 0;                // guarded by mu_
  int zero_write_ = 0;            // guarded by mu_
  size_t max_write_ = 0;          // guarded by mu_
  bool hit_ = false;              // guarded by mu_
  int counts_[static_cast<int>(FsOp::kCount)] = {};  // guarded by mu_
  int total_ = 0;                 // guarded by mu_
};

}  // namespace quor
