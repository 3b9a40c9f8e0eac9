// Control endpoint throughput: authenticated "status" requests per second
// over the Unix socket and over TCP, with 1 and with 8 concurrent clients.
// Each request is a full connection: connect, one line out, one line back,
// close. The baseline, measured in the same run, is the same exchange with
// a trivial server (blocking accept, a thread per connection, a fixed
// reply), so the ratio shows what parsing, authentication, the engine
// lookup and the accept loop cost on top of the bare socket round trip.
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/engine.h"
#include "core/ipc/endpoint.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRunTime = std::chrono::milliseconds(1000);

struct Address {
  bool tcp = false;
  sockaddr_storage addr{};
  socklen_t len = 0;
};

Address unix_address(const std::string& path) {
  Address a;
  auto* un = reinterpret_cast<sockaddr_un*>(&a.addr);
  un->sun_family = AF_UNIX;
  std::memcpy(un->sun_path, path.c_str(), path.size() + 1);
  a.len = sizeof(sockaddr_un);
  return a;
}

Address tcp_address(uint16_t port) {
  Address a;
  a.tcp = true;
  auto* in = reinterpret_cast<sockaddr_in*>(&a.addr);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  in->sin_port = htons(port);
  a.len = sizeof(sockaddr_in);
  return a;
}

// One request on a new connection; true when a complete reply line came.
bool round_trip(const Address& a, const std::string& request) {
  const int fd = socket(a.tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a.addr), a.len) == 0 &&
            send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size());
  std::string reply;
  char buf[4096];
  while (ok) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return ok && !reply.empty() && reply.back() == '\n';
}

// Requests per second with `clients` threads looping for kRunTime.
double measure(const Address& a, const std::string& request, int clients) {
  std::atomic<uint64_t> done{0}, failed{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const auto t0 = Clock::now();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        if (round_trip(a, request)) {
          done.fetch_add(1, std::memory_order_relaxed);
        } else {
          failed.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
  }
  std::this_thread::sleep_for(kRunTime);
  stop = true;
  for (auto& t : threads) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  if (failed.load() != 0) std::printf("  (%llu failed requests)\n", (unsigned long long)failed.load());
  return static_cast<double>(done.load()) / secs;
}

// The trivial server: reads up to the newline, writes a fixed line, closes.
class EchoServer {
 public:
  explicit EchoServer(bool tcp, const std::string& unix_path) {
    if (tcp) {
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int one = 1;
      setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      address_ = tcp_address(0);
      bind(fd_, reinterpret_cast<sockaddr*>(&address_.addr), address_.len);
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address_.addr), &address_.len);
    } else {
      unlink(unix_path.c_str());
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      address_ = unix_address(unix_path);
      bind(fd_, reinterpret_cast<sockaddr*>(&address_.addr), address_.len);
    }
    listen(fd_, 128);
    thread_ = std::thread([this] {
      while (true) {
        const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
          if (stopping_) return;
          continue;
        }
        std::thread([c] {
          char buf[8192];
          while (true) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0 || std::memchr(buf, '\n', static_cast<size_t>(n))) break;
          }
          static const char kReply[] = "{\"status\":\"ok\",\"data\":null}\n";
          send(c, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
          close(c);
        }).detach();
      }
    });
  }
  ~EchoServer() {
    stopping_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  const Address& address() const { return address_; }

 private:
  int fd_ = -1;
  Address address_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class NopTask : public quor::TaskFunction {
 public:
  std::string name() const override { return "job"; }
  quor::CallOutcome call(const std::string&, const std::string&) override { return std::nullopt; }
};

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  return s;
}

}  // namespace

int main() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quor-ipc-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  const std::string dir = tmpl;
  unsetenv("QUOR_IPC_HOST");
  unsetenv("QUOR_IPC_PORT");

  int rc = 0;
  {
    auto engine = quor::Engine::open(dir);
    if (!engine.ok()) {
      std::fprintf(stderr, "open: %s\n", engine.error().message().c_str());
      return 1;
    }
    (void)engine.value()->schedule("report", quor::EverySchedule{3600},
                                   std::make_shared<NopTask>());
    auto unix_thread = quor::start_control_endpoint(engine.value());
    if (!unix_thread.ok()) {
      std::fprintf(stderr, "endpoint: %s\n", unix_thread.error().message().c_str());
      return 1;
    }
    const std::string token = read_file(quor::token_path(dir));
    const std::string port_text = read_file(quor::port_path(dir));
    const uint16_t port =
        static_cast<uint16_t>(std::stoi(port_text.substr(port_text.rfind(':') + 1)));
    const std::string request = "{\"cmd\":\"auth\",\"token\":\"" + token +
                                "\",\"inner\":{\"cmd\":\"status\",\"name\":\"report\"}}\n";

    std::printf("%-28s %14s %14s %8s\n", "status requests", "endpoint/s", "baseline/s", "ratio");
    double unix_one = 0;
    for (bool tcp : {false, true}) {
      const Address endpoint = tcp ? tcp_address(port) : unix_address(quor::socket_path(dir));
      EchoServer echo(tcp, dir + "/echo.sock");
      for (int clients : {1, 8}) {
        const double base = measure(echo.address(), request, clients);
        const double got = measure(endpoint, request, clients);
        if (!tcp && clients == 1) unix_one = got;
        char label[64];
        std::snprintf(label, sizeof label, "%s, %d client%s", tcp ? "tcp" : "unix", clients,
                      clients == 1 ? "" : "s");
        std::printf("%-28s %14.0f %14.0f %8.2f\n", label, got, base, got / base);
      }
    }
    std::printf("goal: >= 5000 req/s with one client on the Unix socket: %s (%.0f)\n",
                unix_one >= 5000 ? "met" : "NOT met", unix_one);

    std::filesystem::remove(quor::socket_path(dir));
    std::filesystem::remove(quor::port_path(dir));
    unix_thread.value().join();
  }
  // Let the TCP accept thread let go of the engine before the files go.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}
