#include "core/ipc/endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "core/engine/engine.h"
#include "core/ipc/protocol.h"
#include "core/ipc/token.h"
#include "core/storage/fs.h"
#include "core/storage/store.h"

namespace quor {

namespace {

constexpr int kIdlePollMs = 50;
constexpr int kTcpBacklog = 128;
constexpr int kUnixBacklog = -1;  // the system maximum

EngineError last_errno() { return EngineError::from_errno(errno); }

// What one accept thread owns.
struct ListenerContext {
  int fd = -1;
  std::shared_ptr<const std::string> token;
  std::shared_ptr<Engine> engine;
  std::string liveness_path;  // the listener stops once this is gone
};

bool liveness_file_exists(const std::string& path) { return default_fs().stat(path).ok(); }

// Errors of one pending connection (reset before it was accepted, or a
// network error Linux hands over through accept): skip it, keep serving.
bool is_connection_error(int err) {
  switch (err) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
      return true;
    default:
      return false;
  }
}

// Out of descriptors or memory: wait for the pressure to go, keep serving.
bool is_resource_error(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void accept_loop(ListenerContext ctx) {
  while (true) {
    const int conn = ::accept4(ctx.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn >= 0) {
      // Connections are served in blocking mode, whatever the listener's.
      const int flags = ::fcntl(conn, F_GETFL);
      if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(conn, F_SETFL, flags & ~O_NONBLOCK);
      try {
        std::thread(serve_control_connection, conn, ctx.token, ctx.engine, kRequestDeadline)
            .detach();
      } catch (const std::system_error&) {
        std::fputs("failed to spawn thread\n", stderr);
        ::close(conn);
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePollMs));
      }
      continue;
    }
    const int err = errno;
    if (err == EINTR || is_connection_error(err)) continue;
    if (err == EAGAIN || err == EWOULDBLOCK || is_resource_error(err)) {
      if (!liveness_file_exists(ctx.liveness_path)) break;
      if (is_resource_error(err)) {
        // The connection is still pending: poll would return at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePollMs));
      } else {
        // Wakes at once for a new connection, else after the idle interval.
        pollfd p{ctx.fd, POLLIN, 0};
        ::poll(&p, 1, kIdlePollMs);
      }
      continue;
    }
    break;  // the listener itself is broken
  }
  ::close(ctx.fd);
  ctx.engine.reset();
}

Status set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return last_errno();
  return ok_status();
}

// "127.0.0.1:8080" or "[::1]:8080" ("[fe80::1%2]:8080" with a scope).
std::string format_address(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
  }
  const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
  ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
  std::string out = "[" + std::string(text);
  if (a.sin6_scope_id != 0) out += "%" + std::to_string(a.sin6_scope_id);
  return out + "]:" + std::to_string(ntohs(a.sin6_port));
}

struct BoundListener {
  int fd = -1;
  std::string address;  // as written to "quor.port"
};

// Resolves (host, port), binds the first address that takes it, and
// leaves the listener non-blocking.
Result<BoundListener> bind_tcp(const IpcBindSettings& settings) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(settings.port);
  const int rc = ::getaddrinfo(settings.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return last_errno();
    return EngineError::log_io(std::string("failed to lookup address information: ") +
                               ::gai_strerror(rc));
  }
  if (found == nullptr) return EngineError::log_io("could not resolve to any addresses");

  int fd = -1;
  int last_error = 0;
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        ::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, kTcpBacklog) == 0) {
      break;
    }
    last_error = errno;
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(found);
  if (fd < 0) return EngineError::from_errno(last_error);

  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    EngineError e = last_errno();
    ::close(fd);
    return e;
  }
  if (Status s = set_nonblocking(fd); !s.ok()) {
    ::close(fd);
    return s.error();
  }
  return BoundListener{fd, format_address(addr)};
}

Status write_port_file(const std::string& path, const std::string& address) {
  FileSystem& fs = default_fs();
  auto fd = fs.open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (!fd.ok()) return io_error(fd.error());
  Status s = write_all(fs, fd.value(), address + "\n");
  auto closed = fs.close(fd.value());
  if (s.ok() && !closed.ok()) s = io_error(closed.error());
  if (!s.ok()) return s;
  if (auto r = fs.chmod(path, 0600); !r.ok()) return io_error(r.error());
  return ok_status();
}

// Replaces any socket left at `path` and listens on it, non-blocking,
// with the socket file restricted to the owner.
Result<int> bind_unix(const std::string& path) {
  (void)::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_errno();
  auto fail = [fd](EngineError e) -> Result<int> {
    ::close(fd);
    return e;
  };
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.find('\0') != std::string::npos) {
    return fail(EngineError::log_io("paths must not contain interior null bytes"));
  }
  if (path.size() >= sizeof addr.sun_path) {
    return fail(EngineError::log_io("path must be shorter than SUN_LEN"));
  }
  path.copy(addr.sun_path, path.size());
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) return fail(last_errno());
  if (::listen(fd, kUnixBacklog) != 0 || ::chmod(path.c_str(), 0600) != 0) {
    EngineError e = last_errno();
    (void)::unlink(path.c_str());
    return fail(e);
  }
  if (Status s = set_nonblocking(fd); !s.ok()) {
    (void)::unlink(path.c_str());
    return fail(s.error());
  }
  return fd;
}

std::optional<std::string_view> utf8_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || !is_valid_utf8(v)) return std::nullopt;
  return std::string_view(v);
}

}  // namespace

std::string token_path(const std::string& dir) { return join_path(dir, "quor.token"); }
std::string port_path(const std::string& dir) { return join_path(dir, "quor.port"); }
std::string socket_path(const std::string& dir) { return join_path(dir, "quor.sock"); }

bool is_loopback_host(std::string_view host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

uint16_t parse_ipc_port(std::optional<std::string_view> text) {
  if (!text) return 0;
  std::string_view s = *text;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return 0;
  uint32_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) return 0;
  }
  return static_cast<uint16_t>(value);
}

Result<IpcBindSettings> ipc_bind_settings_from_env() {
  IpcBindSettings settings;
  settings.host = std::string(utf8_env("QUOR_IPC_HOST").value_or("127.0.0.1"));
  if (!is_loopback_host(settings.host)) {
    const char* allow = std::getenv("QUOR_UNSAFE_ALLOW_REMOTE_IPC");
    if (allow == nullptr || std::string_view(allow) != "1") {
      return EngineError::ipc_unavailable(
          "refusing to bind IPC to non-loopback host " + settings.host +
          "; set QUOR_UNSAFE_ALLOW_REMOTE_IPC=1 only if you understand the risk");
    }
  }
  settings.port = parse_ipc_port(utf8_env("QUOR_IPC_PORT"));
  return settings;
}

Result<std::thread> start_control_endpoint(std::shared_ptr<Engine> engine) {
  const std::string& dir = engine->data_dir();
  QUOR_TRY(prepare_data_dir(default_fs(), dir));
  auto token_text = load_or_create_token(dir);
  if (!token_text.ok()) return token_text.error();
  auto token = std::make_shared<const std::string>(std::move(token_text).value());
  auto settings = ipc_bind_settings_from_env();
  if (!settings.ok()) return settings.error();

  auto tcp = bind_tcp(settings.value());
  if (!tcp.ok()) return tcp.error();
  const std::string port_file = port_path(dir);
  if (Status s = write_port_file(port_file, tcp->address); !s.ok()) {
    ::close(tcp->fd);
    return s.error();
  }

  std::thread tcp_thread;
  try {
    tcp_thread = std::thread(accept_loop, ListenerContext{tcp->fd, token, engine, port_file});
  } catch (const std::system_error&) {
    ::close(tcp->fd);
    (void)::unlink(port_file.c_str());
    return EngineError::ipc_unavailable("failed to spawn thread");
  }

  // From here on a failure must also stop the TCP accept thread, so that a
  // failed start leaves no listener and no engine reference behind: remove
  // its liveness file and wait the one idle poll it takes to notice.
  auto abandon_tcp = [&](EngineError e) -> Result<std::thread> {
    if (::unlink(port_file.c_str()) == 0 || errno == ENOENT) {
      tcp_thread.join();
    } else {
      tcp_thread.detach();
    }
    return e;
  };

  const std::string sock_file = socket_path(dir);
  auto unix_fd = bind_unix(sock_file);
  if (!unix_fd.ok()) return abandon_tcp(unix_fd.error());

  // The Unix accept thread owns its listener and the TCP thread's handle,
  // which it lets go of, without waiting, when it stops.
  struct UnixAcceptState {
    ListenerContext ctx;
    std::thread tcp;
  };
  auto state = std::make_unique<UnixAcceptState>(
      UnixAcceptState{ListenerContext{unix_fd.value(), token, std::move(engine), sock_file},
                      std::move(tcp_thread)});
  UnixAcceptState* raw = state.get();
  try {
    std::thread unix_thread([raw] {
      std::unique_ptr<UnixAcceptState> owned(raw);
      accept_loop(std::move(owned->ctx));
      owned->tcp.detach();
    });
    (void)state.release();
    return unix_thread;
  } catch (const std::system_error&) {
    tcp_thread = std::move(state->tcp);
    state.reset();
    ::close(unix_fd.value());
    (void)::unlink(sock_file.c_str());
    return abandon_tcp(EngineError::ipc_unavailable("failed to spawn thread"));
  }
}

}  // namespace quor
