#include "core/storage/snapshot.h"

#include <fcntl.h>

#include "core/storage/fs.h"
#include "core/storage/store.h"

namespace quor {

Status write_snapshot(FileSystem& fs, const std::string& dir, const EngineState& state,
                      uint64_t last_aof_offset) {
  QUOR_TRY(mkdirs(fs, dir));
  std::string text = encode_snapshot(build_snapshot(state, last_aof_offset));
  text.push_back('\n');

  const std::string tmp = join_path(dir, kSnapshotTmpFile);
  auto fd = fs.open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!fd.ok()) return io_error(fd.error());
  Status written = write_all(fs, *fd, text);
  if (written.ok()) {
    auto synced = fs.sync(*fd);
    if (!synced.ok()) written = io_error(synced.error());
  }
  auto closed = fs.close(*fd);
  if (!written.ok()) return written;
  if (!closed.ok()) return io_error(closed.error());

  auto renamed = fs.rename(tmp, join_path(dir, kSnapshotFile));
  if (!renamed.ok()) return io_error(renamed.error());
  return sync_dir(fs, dir.empty() ? "." : dir);
}

Result<Snapshot> load_snapshot(FileSystem& fs, const std::string& path) {
  auto fd = fs.open(path, O_RDONLY);
  if (!fd.ok()) return io_error(fd.error());
  auto cannot_read = [&](const std::string& why) {
    return EngineError::invalid_snapshot("cannot read " + path + ": " + why);
  };
  std::string text;
  auto info = fs.fstat(*fd);
  if (info.ok()) text.reserve(info->size);
  char buf[8192];
  for (;;) {
    auto n = fs.read(*fd, buf, sizeof buf);
    if (!n.ok()) {
      (void)fs.close(*fd);
      return cannot_read(os_error_text(n.error().code));
    }
    if (*n == 0) break;
    text.append(buf, *n);
  }
  (void)fs.close(*fd);
  auto snapshot = decode_snapshot(text);
  if (!snapshot.ok()) return cannot_read(snapshot.error().message);
  return std::move(snapshot).value();
}

Result<SnapshotState> state_from_snapshot(Snapshot snapshot) {
  if (snapshot.v != 1) {
    return EngineError::invalid_snapshot("unsupported snapshot version " +
                                         std::to_string(snapshot.v));
  }
  if (snapshot.format_version != 1) {
    return EngineError::invalid_snapshot("unsupported storage format version " +
                                         std::to_string(snapshot.format_version));
  }
  SnapshotState out;
  out.state = std::move(snapshot.state);
  out.state.bindings.clear();
  out.last_aof_offset = snapshot.last_aof_offset;
  return out;
}

}  // namespace quor
