// Aof: the append-only event log "quor.aof", one compact JSON line per
// entry. An append is durable (written and fully synced) before it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
  Status append(const Event& event);

  // Cuts the file back to `size` bytes and syncs (torn-tail repair).
  Status truncate_to(uint64_t size);

 private:
  friend Result<std::unique_ptr<Aof>> open_aof(FileSystem& fs, const std::string& path);
  Aof(FileSystem& fs, std::string path, int fd, bool needs_newline);

  FileSystem& fs_;
  std::string path_;
  int fd_;
  bool needs_newline_;  // the file ends in a complete line without "\n"
};

// Creates missing parent directories, opens for appending (created 0600,
// never truncated, close-on-exec).
Result<std::unique_ptr<Aof>> open_aof(FileSystem& fs, const std::string& path);

// What a read of a log found past the last entry it returned.
struct LogTail {
  // Set when the last non-blank line was torn and ignored: the offset
  // (from the start of the file) of the end of the last complete line.
  std::optional<uint64_t> torn_at;
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
