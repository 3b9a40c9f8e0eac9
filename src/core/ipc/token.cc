#include "core/ipc/token.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "core/ipc/endpoint.h"
#include "core/ipc/protocol.h"
#include "core/schedule/duration.h"
#include "core/storage/fs.h"

namespace quor {

namespace {

constexpr size_t kTokenBytes = 32;
constexpr size_t kMaxEntropyRequest = 256;  // getentropy's limit per call

Result<std::string> read_token(FileSystem& fs, const std::string& path) {
  auto fd = fs.open(path, O_RDONLY | O_CLOEXEC);
  if (!fd.ok()) return io_error(fd.error());
  std::string text;
  char buf[4096];
  while (true) {
    auto n = fs.read(fd.value(), buf, sizeof buf);
    if (!n.ok()) {
      (void)fs.close(fd.value());
      return io_error(n.error());
    }
    if (n.value() == 0) break;
    text.append(buf, n.value());
  }
  (void)fs.close(fd.value());
  if (!is_valid_utf8(text)) return EngineError::log_io("stream did not contain valid UTF-8");
  return std::string(trim_unicode_space(text));
}

Status write_new_token(FileSystem& fs, const std::string& path, const std::string& token) {
  // Exclusive and owner-only from the first moment: the token is never
  // readable by anyone else, not even while it is being written.
  auto fd = fs.open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (!fd.ok()) return io_error(fd.error());
  Status s = write_all(fs, fd.value(), token + "\n");
  if (s.ok()) {
    if (auto r = fs.sync(fd.value()); !r.ok()) s = io_error(r.error());
  }
  auto closed = fs.close(fd.value());
  if (s.ok() && !closed.ok()) s = io_error(closed.error());
  if (!s.ok()) {
    // A partial (or empty) token would be read back as the token by the
    // next start; leave no file rather than a guessable one.
    (void)fs.unlink(path);
    return s;
  }
  if (auto r = fs.chmod(path, 0600); !r.ok()) return io_error(r.error());
  return ok_status();
}

}  // namespace

Result<std::string> generate_token() {
  unsigned char bytes[kTokenBytes];
  for (size_t done = 0; done < kTokenBytes;) {
    const size_t n = std::min(kMaxEntropyRequest, kTokenBytes - done);
    if (::getentropy(bytes + done, n) != 0) {
      return EngineError::ipc_unavailable("failed to generate token: " + os_error_text(errno));
    }
    done += n;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  token.reserve(2 * kTokenBytes);
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 0x0F]);
  }
  return token;
}

Result<std::string> load_or_create_token(const std::string& dir) {
  FileSystem& fs = default_fs();
  const std::string path = token_path(dir);
  if (fs.stat(path).ok()) return read_token(fs, path);
  auto token = generate_token();
  if (!token.ok()) return token.error();
  QUOR_TRY(write_new_token(fs, path, token.value()));
  return token;
}

}  // namespace quor
