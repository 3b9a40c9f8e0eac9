// Aof: the append-only event log "quor.aof", one compact JSON line per
// entry. An append is durable (written and fully synced) before it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/model.h"
#include "core/result.h"

namespace quor {

class FileSystem;  // storage/fs.h

class Aof {
 public:
  ~Aof();
  Aof(const Aof&) = delete;
  Aof& operator=(const Aof&) = delete;

  const std::string& path() const { return path_; }

  // Appends LogEntry{v=1, ts=now, event} and a line feed with one write
  // loop and one full sync. When the file's last line lacks its line feed,
  // the line feed is written first.
  //
  // When the write or the sync fails, the file is cut back to its size
  // before the append (and synced), so neither a partial line nor an
  // unacknowledged entry stays behind. If that cut fails too, the handle
  // refuses every later append with the original error.
  Status append(const Event& event);
  // The same with a given "ts" (tests, benchmarks).
  Status append(const Event& event, Instant now);

  // Cuts the file back to `size` bytes and syncs (torn-tail repair).
  Status truncate_to(uint64_t size);

  // The file's size as this handle wrote it.
  uint64_t size() const { return size_; }

 private:
  friend Result<std::unique_ptr<Aof>> open_aof(FileSystem& fs, const std::string& path);
  Aof(FileSystem& fs, std::string path, int fd, uint64_t size, bool needs_newline);
  Status write_line(const std::string& buf);

  FileSystem& fs_;
  std::string path_;
  int fd_;
  uint64_t size_;
  bool needs_newline_;                 // the file ends in a line without "\n"
  std::optional<EngineError> broken_;  // set when a failed append could not be undone
};

// Creates missing parent directories, opens for appending (created 0600,
// never truncated, close-on-exec). When the file is created, its directory
// is synced so the new entry survives a crash.
Result<std::unique_ptr<Aof>> open_aof(FileSystem& fs, const std::string& path);

// What a read of a log found past the last entry it returned.
struct LogTail {
  // Set when the last non-blank line was torn and ignored: the offset
  // (from the start of the file) of the end of the last complete line.
  std::optional<uint64_t> torn_at;
  // The offset just past the last byte read.
  uint64_t end = 0;
};

// Streams the entries from `offset` to the end to `fn`, in file order,
// with the torn-tail rule. On a CorruptLogLine or LogIo error some entries
// may already have been passed to `fn`; callers discard what they built.
Result<LogTail> scan_log(FileSystem& fs, const std::string& path, uint64_t offset,
                         const std::function<void(LogEntry&&)>& fn);

Result<std::vector<LogEntry>> read_log(FileSystem& fs, const std::string& path);
Result<std::vector<LogEntry>> read_log_from(FileSystem& fs, const std::string& path,
                                            uint64_t offset);

}  // namespace quor
