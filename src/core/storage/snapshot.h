// The snapshot file "quor.snapshot": the persistent state at one moment and
// the log offset it covers. It is replaced atomically: written to
// "quor.snapshot.tmp", synced, renamed into place, and the directory synced.
#pragma once

#include <cstdint>
#include <string>

#include "core/model.h"
#include "core/result.h"
#include "core/storage/record.h"

namespace quor {

class FileSystem;  // storage/fs.h

inline constexpr const char* kSnapshotFile = "quor.snapshot";
inline constexpr const char* kSnapshotTmpFile = "quor.snapshot.tmp";

// Creates `dir` if needed and replaces its snapshot with one of `state`
// covering the log up to `last_aof_offset`. On failure "quor.snapshot" is
// the previous snapshot or, once the rename is done, the new one.
Status write_snapshot(FileSystem& fs, const std::string& dir, const EngineState& state,
                      uint64_t last_aof_offset);

// LogIo when the file cannot be opened; InvalidSnapshot "cannot read {}: {}"
// when it cannot be read or decoded.
Result<Snapshot> load_snapshot(FileSystem& fs, const std::string& path);

struct SnapshotState {
  EngineState state;
  uint64_t last_aof_offset = 0;
};
// InvalidSnapshot for an unsupported "v" (checked first) or "format_version".
Result<SnapshotState> state_from_snapshot(Snapshot snapshot);

}  // namespace quor
