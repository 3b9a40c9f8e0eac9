// Fixtures for the control endpoint tests: a temporary data directory with
// an open engine, a raw socket client, and waits with deadlines.
#pragma once

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "core/engine/engine.h"
#include "core/ipc/endpoint.h"
#include "core/model.h"

namespace quor::ipc_test {

constexpr auto kDeadline = std::chrono::seconds(20);  // only reached on failure

template <typename Pred>
bool eventually(Pred done, std::chrono::nanoseconds limit = kDeadline) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A fresh directory under $QUOR_TEST_TMP (or /tmp), removed afterwards.
using test::TempDir;

class NopTask : public TaskFunction {
 public:
  explicit NopTask(std::string name = "job") : name_(std::move(name)) {}
  std::string name() const override { return name_; }
  CallOutcome call(const std::string&, const std::string&) override { return std::nullopt; }

 private:
  std::string name_;
};

inline Instant at(const char* rfc3339) { return Instant::parse_rfc3339(rfc3339).value(); }

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline unsigned mode_of(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// ---- Client side ----

inline void set_timeouts(int fd) {
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A connected socket to the Unix listener at `path`, or -1.
inline int connect_unix(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  set_timeouts(fd);
  return fd;
}

// "127.0.0.1:1234" or "[::1]:1234" (a trailing newline is ignored).
inline int connect_tcp(std::string address) {
  while (!address.empty() && address.back() == '\n') address.pop_back();
  const size_t colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) return -1;
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int rc = connect(fd, res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (rc != 0) {
    close(fd);
    return -1;
  }
  set_timeouts(fd);
  return fd;
}

inline bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Everything the peer sends until it closes. A reset after the reply
// counts as the end too.
inline std::string read_to_end(int fd) {
  std::string out;
  char buf[65536];
  while (true) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Sends `request` on a new connection (optionally half-closing after it)
// and returns what came back before the server closed.
inline std::string exchange(int fd, std::string_view request, bool half_close = false) {
  EXPECT_GE(fd, 0);
  if (fd < 0) return "<no connection>";
  send_all(fd, request);
  if (half_close) shutdown(fd, SHUT_WR);
  std::string reply = read_to_end(fd);
  close(fd);
  return reply;
}

// JSON string literal for a plain ASCII text.
inline std::string quoted(const std::string& s) { return "\"" + s + "\""; }

inline std::string envelope(const std::string& token, const std::string& inner) {
  return "{\"cmd\":\"auth\",\"token\":" + quoted(token) + ",\"inner\":" + inner + "}\n";
}

// Sets or unsets environment variables for one scope, restoring them after.
class ScopedEnv {
 public:
  ScopedEnv& set(const char* name, const char* value) {
    if (saved_.count(name) == 0) {
      const char* old = getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
    return *this;
  }
  ~ScopedEnv() {
    for (auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace quor::ipc_test
