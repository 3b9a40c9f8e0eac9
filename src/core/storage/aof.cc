#include "core/storage/aof.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/storage/fs.h"
#include "core/storage/record.h"

namespace quor {

// ---- Appending ----

Aof::Aof(FileSystem& fs, std::string path, int fd, uint64_t size, bool needs_newline)
    : fs_(fs), path_(std::move(path)), fd_(fd), size_(size), needs_newline_(needs_newline) {}

Aof::~Aof() { (void)fs_.close(fd_); }

namespace {

// Whether the file behind `fd` is non-empty and its last byte is not "\n".
Result<bool> lacks_final_newline(FileSystem& fs, int fd, uint64_t size) {
  if (size == 0) return false;
  char last = 0;
  auto r = fs.pread(fd, &last, 1, size - 1);
  if (!r.ok()) return io_error(r.error());
  if (*r != 1) return EngineError::log_io("failed to fill whole buffer");
  return last != '\n';
}

}  // namespace

Result<std::unique_ptr<Aof>> open_aof(FileSystem& fs, const std::string& path) {
  std::string dir = parent_dir(path);
  QUOR_TRY(mkdirs(fs, dir));
  auto fd = fs.open(path, O_RDWR | O_APPEND);
  bool created = false;
  if (!fd.ok() && fd.error().code == ENOENT) {
    fd = fs.open(path, O_RDWR | O_APPEND | O_CREAT, 0600);
    created = true;
  }
  if (!fd.ok()) return io_error(fd.error());
  auto fail = [&](EngineError e) -> Result<std::unique_ptr<Aof>> {
    (void)fs.close(*fd);
    return e;
  };
  if (created) {
    // Without this an acknowledged append to a new log could vanish with
    // the directory entry at a crash.
    Status synced = sync_dir(fs, dir.empty() ? "." : dir);
    if (!synced.ok()) return fail(synced.error());
  }
  auto info = fs.fstat(*fd);
  if (!info.ok()) return fail(io_error(info.error()));
  auto lacks = lacks_final_newline(fs, *fd, info->size);
  if (!lacks.ok()) return fail(lacks.error());
  return std::unique_ptr<Aof>(new Aof(fs, path, *fd, info->size, *lacks));
}

Status Aof::append(const Event& event) { return append(event, Instant::now()); }

Status Aof::append(const Event& event, Instant now) {
  if (broken_) return *broken_;
  std::string buf;
  buf.reserve(128);
  if (needs_newline_) buf.push_back('\n');
  encode_log_line(LogEntry{1, now, event}, &buf);
  buf.push_back('\n');
  return write_line(buf);
}

Status Aof::write_line(const std::string& buf) {
  Status status = write_all(fs_, fd_, buf);
  if (status.ok()) {
    auto synced = fs_.sync(fd_);
    if (!synced.ok()) status = io_error(synced.error());
  }
  if (status.ok()) {
    size_ += buf.size();
    needs_newline_ = false;
    return status;
  }
  // Undo: a partial line would run into the next record, and a complete
  // but unsynced one would be replayed although the caller saw a failure.
  auto cut = fs_.truncate(fd_, size_);
  if (!cut.ok() || !fs_.sync(fd_).ok()) broken_ = status.error();
  return status;
}

Status Aof::truncate_to(uint64_t size) {
  auto cut = fs_.truncate(fd_, size);
  if (!cut.ok()) return io_error(cut.error());
  auto synced = fs_.sync(fd_);
  if (!synced.ok()) return io_error(synced.error());
  size_ = size;
  auto lacks = lacks_final_newline(fs_, fd_, size);
  if (!lacks.ok()) return lacks.error();
  needs_newline_ = *lacks;
  return ok_status();
}

// ---- Reading ----

namespace {

constexpr size_t kReadBufferSize = 8192;

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    // ASCII fast path, eight bytes at a time.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= n) return false;
    for (int i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    p += n + 1;
  }
  return true;
}

// Length of the Unicode whitespace character at the start of s (valid
// UTF-8), or 0.
size_t space_at_front(std::string_view s) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  if (s.empty()) return 0;
  unsigned char c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && s.size() >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (s.size() < 3) return 0;
  uint32_t cp = (uint32_t{c} << 16) | (uint32_t{b(1)} << 8) | b(2);
  if (cp == 0xE19A80 || cp == 0xE280A8 || cp == 0xE280A9 || cp == 0xE280AF ||
      cp == 0xE2819F || cp == 0xE38080 || (cp >= 0xE28080 && cp <= 0xE2808A)) {
    return 3;
  }
  return 0;
}

// Length of the Unicode whitespace character at the end of s, or 0.
size_t space_at_back(std::string_view s) {
  if (s.empty()) return 0;
  unsigned char c = static_cast<unsigned char>(s.back());
  if (c < 0x80) return (c == ' ' || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
  for (size_t n = 2; n <= 3 && n <= s.size(); ++n) {
    if (space_at_front(s.substr(s.size() - n)) == n) return n;
  }
  return 0;
}

std::string_view trim_space(std::string_view s) {
  while (size_t n = space_at_front(s)) s.remove_prefix(n);
  while (size_t n = space_at_back(s)) s.remove_suffix(n);
  return s;
}

// Feeds lines to the parser with the torn-tail rule: a line that fails with
// an end-of-input error is held back; it is forgiven only if no other
// non-blank line follows it. Every other failure is kept until the end of
// the file, because invalid UTF-8 anywhere outranks it.
class LineScanner {
 public:
  LineScanner(const std::string& path, uint64_t offset,
              const std::function<void(LogEntry&&)>& fn)
      : path_(path), fn_(fn), next_start_(offset) {}

  // One line without its "\n"; false on invalid UTF-8.
  bool line(std::string_view text) {
    uint64_t start = next_start_;
    next_start_ += text.size() + 1;
    ++line_no_;
    if (!valid_utf8(text)) return false;
    if (failed_) return true;
    // Trimming removes a carriage return before the line feed as well.
    std::string_view t = trim_space(text);
    if (t.empty()) return true;
    if (torn_) {
      failed_ = EngineError::corrupt_log_line(torn_->line, path_, torn_->message);
      return true;
    }
    auto parsed = parse_log_line(t);
    if (parsed.ok()) {
      fn_(std::move(parsed).value());
    } else if (parsed.error().is_eof()) {
      torn_ = Torn{line_no_, start, parsed.error().message};
    } else {
      failed_ = EngineError::corrupt_log_line(line_no_, path_, parsed.error().message);
    }
    return true;
  }

  Result<LogTail> finish(uint64_t end) {
    if (failed_) return *failed_;
    LogTail tail;
    tail.end = end;
    if (torn_) {
      std::string warning = "[quor] WARNING: ignoring truncated log tail at line " +
                            std::to_string(torn_->line) + " in " + path_ + ": " +
                            torn_->message + "\n";
      std::fwrite(warning.data(), 1, warning.size(), stderr);
      tail.torn_at = torn_->start;
    }
    return tail;
  }

 private:
  struct Torn {
    uint64_t line;
    uint64_t start;  // offset of the line's first byte
    std::string message;
  };
  const std::string& path_;
  const std::function<void(LogEntry&&)>& fn_;
  uint64_t next_start_;
  uint64_t line_no_ = 0;
  std::optional<Torn> torn_;
  std::optional<EngineError> failed_;
};

}  // namespace

Result<LogTail> scan_log(FileSystem& fs, const std::string& path, uint64_t offset,
                         const std::function<void(LogEntry&&)>& fn) {
  auto fd = fs.open(path, O_RDONLY);
  if (!fd.ok()) return io_error(fd.error());
  struct Closer {
    FileSystem& fs;
    int fd;
    ~Closer() { (void)fs.close(fd); }
  } closer{fs, *fd};
  if (offset > 0) {
    auto pos = fs.seek(*fd, static_cast<int64_t>(offset), SEEK_SET);
    if (!pos.ok()) return io_error(pos.error());
  }

  const EngineError bad_utf8 = EngineError::log_io("stream did not contain valid UTF-8");
  LineScanner scanner(path, offset, fn);
  char buf[kReadBufferSize];
  uint64_t end = offset;
  std::string carry;  // the start of a line that continues past the buffer
  for (;;) {
    auto n = fs.read(*fd, buf, sizeof buf);
    if (!n.ok()) {
      if (n.error().code == EINTR) continue;
      return io_error(n.error());
    }
    if (*n == 0) break;
    end += *n;
    const char* p = buf;
    const char* end = buf + *n;
    while (p < end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
      if (lf == nullptr) {
        carry.append(p, end);
        break;
      }
      bool ok;
      if (carry.empty()) {
        ok = scanner.line(std::string_view(p, lf - p));
      } else {
        carry.append(p, lf);
        ok = scanner.line(carry);
        carry.clear();
      }
      if (!ok) return bad_utf8;
      p = lf + 1;
    }
  }
  if (!carry.empty() && !scanner.line(carry)) return bad_utf8;
  return scanner.finish(end);
}

Result<std::vector<LogEntry>> read_log_from(FileSystem& fs, const std::string& path,
                                            uint64_t offset) {
  std::vector<LogEntry> entries;
  auto tail = scan_log(fs, path, offset, [&](LogEntry&& e) { entries.push_back(std::move(e)); });
  if (!tail.ok()) return std::move(tail).error();
  return entries;
}

Result<std::vector<LogEntry>> read_log(FileSystem& fs, const std::string& path) {
  return read_log_from(fs, path, 0);
}

}  // namespace quor
