#include "python/http_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

namespace quor::remote {
namespace {

std::string os_error(int err) { return std::strerror(err); }

// Decodes the UTF-8 sequence at s[i] if it is valid; returns its length
// (0 when invalid) and stores the code point.
size_t decode_utf8(std::string_view s, size_t i, uint32_t* cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const size_t left = s.size() - i;
  const unsigned char c = b(0);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t len;
  uint32_t min;
  uint32_t v;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, min = 0x80, v = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, min = 0x800, v = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, min = 0x10000, v = c & 0x07;
  } else {
    return 0;
  }
  if (left < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(k) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t cp;
    const size_t n = decode_utf8(s, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_unicode_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Length of the whitespace character starting at s[i], or 0.
size_t space_at(std::string_view s, size_t i) {
  uint32_t cp;
  const size_t n = decode_utf8(s, i, &cp);
  return (n != 0 && is_unicode_space(cp)) ? n : 0;
}

std::string_view trim_unicode_space(std::string_view s) {
  size_t start = 0;
  while (start < s.size()) {
    const size_t n = space_at(s, start);
    if (n == 0) break;
    start += n;
  }
  s.remove_prefix(start);
  // Scan forward, remembering where the last non-space character ends.
  size_t end = 0;
  for (size_t i = 0; i < s.size();) {
    const size_t n = space_at(s, i);
    if (n != 0) {
      i += n;
      continue;
    }
    uint32_t cp;
    const size_t m = decode_utf8(s, i, &cp);
    i += (m == 0 ? 1 : m);
    end = i;
  }
  return s.substr(0, end);
}

// The second whitespace-separated word of `line`, if any.
std::optional<std::string_view> second_word(std::string_view line) {
  int word = 0;
  size_t i = 0;
  while (i < line.size()) {
    size_t n;
    while (i < line.size() && (n = space_at(line, i)) != 0) i += n;
    if (i >= line.size()) break;
    const size_t begin = i;
    while (i < line.size() && space_at(line, i) == 0) ++i;
    if (++word == 2) return line.substr(begin, i - begin);
  }
  return std::nullopt;
}

// Unsigned 16-bit decimal with one optional leading "+".
std::optional<uint16_t> parse_u16(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > 0xFFFF) return std::nullopt;
  }
  return static_cast<uint16_t>(v);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Resolved {
  sockaddr_storage addr{};
  socklen_t len = 0;
};

// Accepts "a.b.c.d:port" and "[v6]:port" directly; otherwise splits at the
// last ":" and asks the system resolver for the host. Only the first
// address it returns is used.
Result<Resolved, std::string> resolve(const std::string& address) {
  Resolved r;
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return std::string("invalid socket address");
  const auto port = parse_u16(std::string_view(address).substr(colon + 1));
  if (!port) return std::string("invalid port value");
  const std::string host = address.substr(0, colon);

  sockaddr_in v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(*port);
    std::memcpy(&r.addr, &v4, sizeof v4);
    r.len = sizeof v4;
    return r;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    sockaddr_in6 v6{};
    const std::string inner = host.substr(1, host.size() - 2);
    if (inet_pton(AF_INET6, inner.c_str(), &v6.sin6_addr) == 1) {
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(*port);
      std::memcpy(&r.addr, &v6, sizeof v6);
      r.len = sizeof v6;
      return r;
    }
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    std::string msg = "failed to lookup address information: ";
    msg += (rc == EAI_SYSTEM) ? os_error(errno) : std::string(gai_strerror(rc));
    return msg;
  }
  if (list == nullptr) return "could not resolve server " + address;
  const addrinfo* first = list;
  bool usable = first->ai_addrlen <= sizeof r.addr &&
                (first->ai_family == AF_INET || first->ai_family == AF_INET6);
  if (usable) {
    std::memcpy(&r.addr, first->ai_addr, first->ai_addrlen);
    r.len = static_cast<socklen_t>(first->ai_addrlen);
    if (first->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&r.addr)->sin_port = htons(*port);
    } else {
      reinterpret_cast<sockaddr_in6*>(&r.addr)->sin6_port = htons(*port);
    }
  }
  ::freeaddrinfo(list);
  if (!usable) return "could not resolve server " + address;
  return r;
}

timespec to_timespec(std::chrono::nanoseconds d) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  timespec ts;
  ts.tv_sec = static_cast<time_t>(secs.count());
  ts.tv_nsec = static_cast<long>((d - secs).count());
  return ts;
}

// A socket timeout; rounded up to one microsecond so that a tiny non-zero
// duration never turns into "no timeout".
timeval to_timeval(std::chrono::nanoseconds d) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  timeval tv;
  tv.tv_sec = static_cast<time_t>(secs.count());
  tv.tv_usec = static_cast<suseconds_t>((d - secs).count() / 1000);
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  return tv;
}

// Connects `fd` (non-blocking) within `timeout`, then makes it blocking
// with read and write timeouts of the same length. Returns an OS error text
// on failure.
constexpr const char* kInterrupted = "request interrupted";

// On EINTR: true when the caller wants the request abandoned.
bool abandon(const InterruptCheck& interrupted) { return interrupted && interrupted(); }

std::optional<std::string> connect_with_timeout(int fd, const Resolved& to,
                                                std::chrono::nanoseconds timeout,
                                                const InterruptCheck& interrupted) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to.addr), to.len) != 0) {
    if (errno != EINPROGRESS) return os_error(errno);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds::zero()) return os_error(ETIMEDOUT);
      pollfd p{fd, POLLOUT, 0};
      const timespec ts = to_timespec(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
      const int rc = ::ppoll(&p, 1, &ts, nullptr);
      if (rc < 0) {
        if (errno == EINTR) {
          if (abandon(interrupted)) return std::string(kInterrupted);
          continue;
        }
        return os_error(errno);
      }
      if (rc == 0) return os_error(ETIMEDOUT);
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return os_error(errno);
      if (err != 0) return os_error(err);
      break;
    }
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return os_error(errno);
  const timeval tv = to_timeval(timeout);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return os_error(errno);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return os_error(errno);
  return std::nullopt;
}

std::optional<std::string> write_all(int fd, std::string_view data,
                                     const InterruptCheck& interrupted) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        if (abandon(interrupted)) return std::string(kInterrupted);
        continue;
      }
      return os_error(errno);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return std::nullopt;
}

// Reads until the peer closes. Refuses more than kMaxResponseBytes.
std::optional<std::string> read_to_end(int fd, std::string* out,
                                       const InterruptCheck& interrupted) {
  char buf[16384];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) {
        if (abandon(interrupted)) return std::string(kInterrupted);
        continue;
      }
      return os_error(errno);
    }
    if (n == 0) return std::nullopt;
    if (out->size() + static_cast<size_t>(n) > kMaxResponseBytes) {
      return std::string("HTTP response larger than 64 MiB");
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

// The reason of an error response: "error" when present (if it is a
// string), else a string "message", else the default text.
std::string error_reason(const json::Value& v) {
  if (const json::Value* e = v.find("error")) {
    return e->is_string() ? e->as_string() : std::string(kDefaultHttpError);
  }
  if (const json::Value* m = v.find("message"); m != nullptr && m->is_string()) {
    return m->as_string();
  }
  return std::string(kDefaultHttpError);
}

}  // namespace

std::string normalize_server(std::string_view server) {
  std::string_view s = trim_unicode_space(server);
  constexpr std::string_view kScheme = "http://";
  while (s.substr(0, kScheme.size()) == kScheme) s.remove_prefix(kScheme.size());
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return std::string(s);
}

Result<json::Value, std::string> http_json_request(const std::string& server,
                                                   const std::string& token,
                                                   std::string_view method,
                                                   const std::string& path,
                                                   const json::Value& body,
                                                   std::chrono::nanoseconds timeout,
                                                   const InterruptCheck& interrupted) {
  // A line break in the path or the token would end the request line or
  // the header early and let the rest pass as headers of its own.
  if (path.find_first_of("\r\n") != std::string::npos) {
    return std::string("request path must not contain a line break");
  }
  if (token.find_first_of("\r\n") != std::string::npos) {
    return std::string("bearer token must not contain a line break");
  }
  const std::string address = normalize_server(server);
  const std::string body_text = body.is_null() ? std::string() : json::to_sorted(body);

  auto resolved = resolve(address);
  if (!resolved.ok()) return std::move(resolved).error();
  if (timeout <= std::chrono::nanoseconds::zero()) {
    return std::string("cannot set a 0 duration timeout");
  }

  std::string request;
  request.reserve(160 + address.size() + token.size() + path.size() + body_text.size());
  request.append(method).append(" ").append(path).append(" HTTP/1.1\r\nHost: ");
  request.append(address).append("\r\nAuthorization: Bearer ").append(token);
  request.append("\r\nContent-Type: application/json\r\nContent-Length: ");
  request.append(std::to_string(body_text.size()));
  request.append("\r\nConnection: close\r\n\r\n").append(body_text);

  const int fd = ::socket(resolved->addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return os_error(errno);
  Fd sock(fd);  // closed on every path
  if (auto err = connect_with_timeout(fd, *resolved, timeout, interrupted)) return std::move(*err);
  if (auto err = write_all(fd, request, interrupted)) return std::move(*err);
  std::string response;
  if (auto err = read_to_end(fd, &response, interrupted)) return std::move(*err);
  if (!valid_utf8(response)) return std::string("stream did not contain valid UTF-8");

  const size_t blank = response.find("\r\n\r\n");
  if (blank == std::string::npos) return std::string("invalid HTTP response");
  const std::string_view head = std::string_view(response).substr(0, blank);
  const std::string_view body_view = std::string_view(response).substr(blank + 4);

  std::string_view status_line = head.substr(0, head.find('\n'));
  if (!status_line.empty() && status_line.back() == '\r') status_line.remove_suffix(1);
  std::optional<uint16_t> status;
  if (auto word = second_word(status_line)) status = parse_u16(*word);
  if (!status) return std::string("invalid HTTP status line");

  auto parsed = json::parse(body_view);
  if (!parsed.ok()) return std::move(parsed).error().message;
  if (*status >= 200 && *status <= 299) return std::move(parsed).value();
  return "HTTP " + std::to_string(*status) + " from " + address + ": " + error_reason(*parsed);
}

}  // namespace quor::remote
