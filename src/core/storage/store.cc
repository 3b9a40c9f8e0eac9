#include "core/storage/store.h"

#include <fcntl.h>

#include "core/storage/aof.h"
#include "core/storage/fs.h"
#include "core/storage/snapshot.h"

namespace quor {

namespace {
constexpr const char* kLockFile = "quor.lock";
constexpr const char* kAofFile = "quor.aof";
constexpr const char* kOldAofFile = "quor.aof.old";
}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

Status prepare_data_dir(FileSystem& fs, const std::string& dir) {
  QUOR_TRY(mkdirs(fs, dir, 0777));
  auto changed = fs.chmod(dir, 0700);
  if (!changed.ok()) return io_error(changed.error());
  return ok_status();
}

DirLock::~DirLock() { (void)fs_.close(fd_); }

Result<std::unique_ptr<DirLock>> lock_data_dir(FileSystem& fs, const std::string& dir) {
  std::string path = join_path(dir, kLockFile);
  auto fd = fs.open(path, O_RDWR | O_CREAT, 0600);
  if (!fd.ok()) return io_error(fd.error());
  // The lock belongs to this open file description, so a second open in
  // this process is refused as well.
  if (!fs.lock(*fd).ok()) {
    (void)fs.close(*fd);
    return EngineError::data_dir_locked(path);
  }
  return std::unique_ptr<DirLock>(new DirLock(fs, std::move(path), *fd));
}

Result<Recovered> recover(FileSystem& fs, const std::string& dir) {
  const std::string aof = join_path(dir, kAofFile);
  const std::string old = join_path(dir, kOldAofFile);
  const std::string snap = join_path(dir, kSnapshotFile);

  Recovered out;
  auto replay = [&out](LogEntry&& entry) { quor::apply(out.state, entry.event); };

  if (!fs.stat(snap).ok()) {
    QUOR_TRY(open_aof(fs, aof));
    auto tail = scan_log(fs, aof, 0, replay);
    if (!tail.ok()) return std::move(tail).error();
    out.aof_torn_at = tail->torn_at;
    return out;
  }

  auto snapshot = load_snapshot(fs, snap);
  if (!snapshot.ok()) return std::move(snapshot).error();
  auto loaded = state_from_snapshot(std::move(snapshot).value());
  if (!loaded.ok()) return std::move(loaded).error();
  out.state = std::move(loaded->state);
  const uint64_t m = loaded->last_aof_offset;

  auto aof_info = fs.stat(aof);
  const uint64_t size = aof_info.ok() ? aof_info->size : 0;
  if (m <= size) {
    QUOR_TRY(open_aof(fs, aof));
    auto tail = scan_log(fs, aof, m, replay);
    if (!tail.ok()) return std::move(tail).error();
    out.aof_torn_at = tail->torn_at;
    return out;
  }

  // The log was rotated after the snapshot was written.
  if (!fs.stat(old).ok()) {
    return EngineError::invalid_snapshot("snapshot points to AOF offset " + std::to_string(m) +
                                         ", but " + aof + " is shorter and " + old +
                                         " is missing");
  }
  QUOR_TRY(open_aof(fs, old));
  auto old_tail = scan_log(fs, old, m, replay);
  if (!old_tail.ok()) return std::move(old_tail).error();
  QUOR_TRY(open_aof(fs, aof));
  auto tail = scan_log(fs, aof, 0, replay);
  if (!tail.ok()) return std::move(tail).error();
  out.aof_torn_at = tail->torn_at;

  // Finish the interrupted compaction: once "quor.aof" grows past the old
  // offset, the snapshot would be read as pointing into the new log and the
  // next open would skip (or split) its first entries. A snapshot of what
  // was just replayed, covering "quor.aof" up to its last complete line,
  // makes the directory a normal one again.
  QUOR_TRY(write_snapshot(fs, dir, out.state, tail->torn_at.value_or(tail->end)));
  return out;
}

Result<void, CompactError> compact_store(FileSystem& fs, const std::string& dir,
                                         const EngineState& state) {
  const std::string aof = join_path(dir, kAofFile);
  const std::string old = join_path(dir, kOldAofFile);
  auto before = [](EngineError e) { return CompactError{std::move(e), CompactStage::kBeforeRename}; };
  auto after = [](EngineError e) { return CompactError{std::move(e), CompactStage::kAfterRename}; };

  // 1-2. Snapshot covering the whole current log.
  auto info = fs.stat(aof);
  const uint64_t a = info.ok() ? info->size : 0;
  if (Status s = write_snapshot(fs, dir, state, a); !s.ok()) return before(std::move(s).error());

  // 3. Rotate the log.
  if (fs.stat(aof).ok()) {
    (void)fs.unlink(old);
    auto renamed = fs.rename(aof, old);
    if (!renamed.ok()) return before(io_error(renamed.error()));
  }

  // 4-5. A new, empty, synced log.
  auto fd = fs.open(aof, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!fd.ok()) return after(io_error(fd.error()));
  auto synced = fs.sync(*fd);
  if (!synced.ok()) {
    (void)fs.close(*fd);
    return after(io_error(synced.error()));
  }

  // 6-7. The snapshot now covers nothing of the new log; make it all durable.
  Status s = write_snapshot(fs, dir, state, 0);
  if (s.ok()) s = sync_dir(fs, dir.empty() ? "." : dir);

  // 8. The engine reopens the log through open_aof.
  (void)fs.close(*fd);
  if (!s.ok()) return after(std::move(s).error());
  return {};
}

}  // namespace quor
