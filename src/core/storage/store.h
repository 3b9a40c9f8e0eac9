// The data directory: preparing and locking it, recovering EngineState from
// "quor.snapshot" and the log, and compacting the log into a new snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/model.h"
#include "core/result.h"

namespace quor {

class FileSystem;  // storage/fs.h

std::string join_path(const std::string& dir, const std::string& name);

// Creates the directory and its parents, then sets its mode to 0700.
Status prepare_data_dir(FileSystem& fs, const std::string& dir);

// Holds the exclusive flock on "quor.lock" until destroyed.
class DirLock {
 public:
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  const std::string& path() const { return path_; }

 private:
  friend Result<std::unique_ptr<DirLock>> lock_data_dir(FileSystem& fs, const std::string& dir);
  DirLock(FileSystem& fs, std::string path, int fd) : fs_(fs), path_(std::move(path)), fd_(fd) {}
  FileSystem& fs_;
  std::string path_;
  int fd_;
};

// DataDirLocked when another open handle (this process included) holds it.
Result<std::unique_ptr<DirLock>> lock_data_dir(FileSystem& fs, const std::string& dir);

struct Recovered {
  EngineState state;
  // Set when the last line of "quor.aof" was torn: the size to cut the file
  // back to before the next append.
  std::optional<uint64_t> aof_torn_at;
};

Result<Recovered> recover(FileSystem& fs, const std::string& dir);

// Where a failed compaction stopped, so the engine knows which log is safe
// to keep appending to.
enum class CompactStage : uint8_t {
  kBeforeRename,  // "quor.aof" is untouched: keep appending to it
  kAfterRename,   // the log was rotated: appending to either file may lose entries
};
struct CompactError {
  EngineError error;
  CompactStage stage;
};

// Writes the snapshot (offset = log size), rotates "quor.aof" to
// "quor.aof.old", creates an empty synced log, writes the snapshot again
// with offset 0 and syncs the directory.
Result<void, CompactError> compact_store(FileSystem& fs, const std::string& dir,
                                         const EngineState& state);

}  // namespace quor
