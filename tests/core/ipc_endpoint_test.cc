// The listeners, the discovery files, the token file and the environment
// settings, exercised with real clients over TCP and the Unix socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "core/ipc/endpoint.h"
#include "core/ipc/token.h"
#include "ipc_test_util.h"

namespace quor {
namespace {

using namespace ipc_test;

// ---- Settings ----

TEST(IpcSettings, PortParsing) {
  struct Case {
    std::optional<std::string_view> text;
    uint16_t port;
  };
  const Case cases[] = {
      {std::nullopt, 0}, {"", 0},        {"0", 0},         {"8080", 8080}, {"+8080", 8080},
      {"65535", 65535},  {"65536", 0},   {"70000", 0},     {"-1", 0},      {"-0", 0},
      {"abc", 0},        {"80a", 0},     {" 80", 0},       {"80 ", 0},     {"++80", 0},
      {"+", 0},          {"0080", 80},   {"99999999999999999999", 0},      {"8\xd9\xa0", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_ipc_port(c.text), c.port) << (c.text ? std::string(*c.text) : "<unset>");
  }
}

TEST(IpcSettings, LoopbackIsExactlyThreeStrings) {
  for (const char* h : {"127.0.0.1", "localhost", "::1"}) EXPECT_TRUE(is_loopback_host(h)) << h;
  for (const char* h : {"LOCALHOST", "Localhost", "[::1]", "127.0.0.2", " 127.0.0.1",
                        "127.0.0.1 ", "", "0.0.0.0", "::", "0:0:0:0:0:0:0:1", "localhost."}) {
    EXPECT_FALSE(is_loopback_host(h)) << h;
  }
}

const std::string kRefusal = "IPC unavailable: refusing to bind IPC to non-loopback host ";
const std::string kRisk =
    "; set QUOR_UNSAFE_ALLOW_REMOTE_IPC=1 only if you understand the risk";

TEST(IpcSettings, HostFromEnvironment) {
  struct Case {
    const char* host;   // nullptr: unset
    const char* allow;  // QUOR_UNSAFE_ALLOW_REMOTE_IPC
    const char* port;
    bool refused;
    std::string expect_host;
    uint16_t expect_port;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, false, "127.0.0.1", 0},
      {"::1", nullptr, "+9000", false, "::1", 9000},
      {"localhost", nullptr, "abc", false, "localhost", 0},
      {"\xff\xfe", nullptr, nullptr, false, "127.0.0.1", 0},  // not UTF-8: as if unset
      {"0.0.0.0", "1", "70000", false, "0.0.0.0", 0},
      {"", "1", nullptr, false, "", 0},
      {"0.0.0.0", nullptr, nullptr, true, "", 0},
      {"0.0.0.0", "true", nullptr, true, "", 0},
      {"0.0.0.0", "yes", nullptr, true, "", 0},
      {"0.0.0.0", " 1", nullptr, true, "", 0},
      {"0.0.0.0", "1 ", nullptr, true, "", 0},
      {"0.0.0.0", "", nullptr, true, "", 0},
      {"", nullptr, nullptr, true, "", 0},
      {" 127.0.0.1", nullptr, nullptr, true, "", 0},
      {"LOCALHOST", nullptr, nullptr, true, "", 0},
      {"[::1]", nullptr, nullptr, true, "", 0},
      {"127.0.0.2", nullptr, nullptr, true, "", 0},
  };
  for (const Case& c : cases) {
    ScopedEnv env;
    env.set("QUOR_IPC_HOST", c.host)
        .set("QUOR_UNSAFE_ALLOW_REMOTE_IPC", c.allow)
        .set("QUOR_IPC_PORT", c.port);
    auto s = ipc_bind_settings_from_env();
    const std::string label = std::string(c.host ? c.host : "<unset>") + " / " +
                              (c.allow ? c.allow : "<unset>");
    if (c.refused) {
      ASSERT_FALSE(s.ok()) << label;
      EXPECT_EQ(s.error().kind(), ErrorKind::kIpcUnavailable);
      EXPECT_EQ(s.error().message(), kRefusal + c.host + kRisk) << label;
    } else {
      ASSERT_TRUE(s.ok()) << label << ": " << s.error().message();
      EXPECT_EQ(s.value().host, c.expect_host) << label;
      EXPECT_EQ(s.value().port, c.expect_port) << label;
    }
  }
}

// ---- Token file ----

TEST(IpcTokenFile, CreatedOnceOwnerOnlyAndReused) {
  TempDir dir;
  auto t = load_or_create_token(dir.path());
  ASSERT_TRUE(t.ok()) << t.error().message();
  ASSERT_EQ(t.value().size(), 64u);
  EXPECT_EQ(t.value().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(read_file(dir.file("quor.token")), t.value() + "\n");
  EXPECT_EQ(mode_of(dir.file("quor.token")), 0600u);

  auto again = load_or_create_token(dir.path());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), t.value());

  TempDir other;
  auto fresh = load_or_create_token(other.path());
  ASSERT_TRUE(fresh.ok());
  EXPECT_NE(fresh.value(), t.value());
}

TEST(IpcTokenFile, ExistingFileIsTakenAsItIs) {
  struct Case {
    std::string content;
    std::string token;
  };
  const Case cases[] = {
      {"  abc \n", "abc"},
      {"abc", "abc"},
      {"", ""},
      {" \t\r\n", ""},
      {"\xc2\xa0x y\xe3\x80\x80\n", "x y"},  // Unicode spaces around, one inside
      {"not-hex!", "not-hex!"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir.file("quor.token"), c.content);
    ::chmod(dir.file("quor.token").c_str(), 0644);
    auto t = load_or_create_token(dir.path());
    ASSERT_TRUE(t.ok()) << c.content;
    EXPECT_EQ(t.value(), c.token);
    EXPECT_EQ(read_file(dir.file("quor.token")), c.content);  // never rewritten
    EXPECT_EQ(mode_of(dir.file("quor.token")), 0644u);         // nor re-permissioned
  }
}

TEST(IpcTokenFile, NonUtf8IsAnIoError) {
  TempDir dir;
  write_file(dir.file("quor.token"), "ab\xff\n");
  auto t = load_or_create_token(dir.path());
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind(), ErrorKind::kLogIo);
  EXPECT_EQ(t.error().message(), "log I/O error: stream did not contain valid UTF-8");
}

TEST(IpcTokenFile, UnreadableTokenPathIsAnIoError) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("quor.token").c_str(), 0700), 0);  // exists, but not a file
  auto t = load_or_create_token(dir.path());
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind(), ErrorKind::kLogIo);
}

// ---- The running endpoint ----

// An engine on a fresh directory with its control endpoint.
class IpcEndpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("QUOR_IPC_HOST", nullptr)
        .set("QUOR_IPC_PORT", nullptr)
        .set("QUOR_UNSAFE_ALLOW_REMOTE_IPC", nullptr);
  }
  void TearDown() override {
    stop();
    engine_.reset();
  }

  // Opens the engine and starts the endpoint; false (with a failure
  // recorded) when either fails.
  bool start(const std::string& dir) {
    auto e = Engine::open(dir);
    EXPECT_TRUE(e.ok()) << e.error().message();
    if (!e.ok()) return false;
    engine_ = e.value();
    auto t = start_control_endpoint(engine_);
    EXPECT_TRUE(t.ok()) << t.error().message();
    if (!t.ok()) return false;
    unix_thread_ = std::move(t).value();
    token_ = read_file(token_path(dir));
    while (!token_.empty() && token_.back() == '\n') token_.pop_back();
    dir_path_ = dir;
    return true;
  }

  // What the module's shutdown does: delete the discovery files and join
  // the Unix accept thread; then wait until every endpoint thread has let
  // go of the engine.
  void stop() {
    if (!unix_thread_.joinable()) return;
    ::unlink(socket_path(dir_path_).c_str());
    ::unlink(port_path(dir_path_).c_str());
    unix_thread_.join();
    std::weak_ptr<Engine> weak = engine_;
    engine_.reset();
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
  }

  int connect_to(bool tcp) {
    return tcp ? connect_tcp(read_file(port_path(dir_path_))) : connect_unix(socket_path(dir_path_));
  }
  std::string request(bool tcp, const std::string& inner) {
    return exchange(connect_to(tcp), envelope(token_, inner));
  }

  ScopedEnv env_;
  TempDir dir_;
  std::string dir_path_;
  std::shared_ptr<Engine> engine_;
  std::thread unix_thread_;
  std::string token_;
};

TEST_F(IpcEndpoint, DiscoveryFilesAndPermissions) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_TRUE(start(dir_.path()));
  EXPECT_EQ(mode_of(dir_.path()), 0700u);

  const std::string port = read_file(dir_.file("quor.port"));
  const std::string prefix = "127.0.0.1:";
  ASSERT_EQ(port.substr(0, prefix.size()), prefix) << port;
  ASSERT_EQ(port.back(), '\n');
  const std::string digits = port.substr(prefix.size(), port.size() - prefix.size() - 1);
  ASSERT_FALSE(digits.empty());
  EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_GT(std::stoi(digits), 0);
  EXPECT_EQ(mode_of(dir_.file("quor.port")), 0600u);

  struct stat st{};
  ASSERT_EQ(::stat(dir_.file("quor.sock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_EQ(token_.size(), 64u);
  EXPECT_EQ(mode_of(dir_.file("quor.token")), 0600u);
}

TEST_F(IpcEndpoint, EveryCommandOverBothListeners) {
  ASSERT_TRUE(start(dir_.path()));
  ASSERT_TRUE(engine_->schedule("a", AtSchedule{at("2020-01-01T00:00:00Z")},
                                std::make_shared<NopTask>("fa"))
                  .ok());
  const std::string status_a =
      R"({"fn_name":"fa","id":"a","last_duration_ms":null,"last_run_at":null,)"
      R"("last_status":null,"next_run_at":null,"retries_last_7d":0,"state":"Scheduled"})";
  const std::string doctor = "{\"data_dir\":\"" + dir_.path() + "\",\"lock_path\":\"" +
                             dir_.file("quor.lock") + "\",\"socket_path\":\"" +
                             dir_.file("quor.sock") + "\",\"timers\":1}";
  for (bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "tcp" : "unix");
    struct Case {
      std::string inner;
      std::string reply;
    };
    const Case cases[] = {
        {R"({"cmd":"status","name":"a"})", R"({"status":"ok","data":)" + status_a + "}\n"},
        {R"({"cmd":"status","name":"zz"})", "{\"status\":\"ok\",\"data\":null}\n"},
        {R"({"cmd":"list"})", R"({"status":"ok","data":[)" + status_a + "]}\n"},
        {R"({"cmd":"history","name":"a","limit":0})", "{\"status\":\"ok\",\"data\":[]}\n"},
        {R"({"cmd":"doctor"})", R"({"status":"ok","data":)" + doctor + "}\n"},
        {R"({"cmd":"runtime_status"})", R"({"status":"ok","data":)" + doctor + "}\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(request(tcp, c.inner), c.reply) << c.inner;

    const std::string history = request(tcp, R"({"cmd":"history","name":"a"})");
    EXPECT_NE(history.find("\"type\":\"TIMER_CREATED\""), std::string::npos) << history;

    // Refusals: the envelope, a wrong token, garbage.
    EXPECT_EQ(exchange(connect_to(tcp), "{\"cmd\":\"list\"}\n"),
              "{\"status\":\"error\",\"message\":\"missing IPC token\"}\n");
    EXPECT_EQ(exchange(connect_to(tcp), envelope(token_.substr(1), R"({"cmd":"list"})")),
              "{\"status\":\"error\",\"message\":\"invalid IPC token\"}\n");
    std::string nested = envelope(token_, R"({"cmd":"list"})");
    nested.pop_back();
    EXPECT_EQ(exchange(connect_to(tcp), envelope(token_, nested)),
              "{\"status\":\"error\",\"message\":"
              "\"IPC unavailable: nested auth request is invalid\"}\n");
    EXPECT_EQ(exchange(connect_to(tcp), "{]\n"), "");
    EXPECT_EQ(exchange(connect_to(tcp), envelope(token_, R"({"cmd":"nope"})")), "");
    EXPECT_EQ(exchange(connect_to(tcp), envelope(token_, R"({"cmd":"list"})").substr(0, 20), true),
              "");
  }
  EXPECT_EQ(request(false, R"({"cmd":"compact"})"),
            "{\"status\":\"ok\",\"data\":{\"compacted\":true}}\n");
}

TEST_F(IpcEndpoint, ShutdownRequestLeavesTheEndpointServing) {
  ASSERT_TRUE(start(dir_.path()));
  ASSERT_TRUE(engine_->start().ok());
  for (bool tcp : {false, true}) {
    EXPECT_EQ(request(tcp, R"({"cmd":"shutdown"})"),
              "{\"status\":\"ok\",\"data\":{\"shutdown\":\"requested\"}}\n");
    EXPECT_EQ(request(tcp, R"({"cmd":"status","name":"x"})"), "{\"status\":\"ok\",\"data\":null}\n");
  }
  EXPECT_TRUE(eventually([&] {
    return !engine_->schedule("late", EverySchedule{60}, std::make_shared<NopTask>()).ok();
  }));
  EXPECT_TRUE(exists(dir_.file("quor.port")));
  EXPECT_TRUE(exists(dir_.file("quor.sock")));
}

TEST_F(IpcEndpoint, ConcurrentClients) {
  ASSERT_TRUE(start(dir_.path()));
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      for (int k = 0; k < 25; ++k) {
        if (request(i % 2 == 0, R"({"cmd":"status","name":"x"})") ==
            "{\"status\":\"ok\",\"data\":null}\n") {
          ++good;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), 200);
}

TEST_F(IpcEndpoint, IPv6PortFile) {
  env_.set("QUOR_IPC_HOST", "::1");
  int probe = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool has_v6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (probe >= 0) close(probe);
  if (!has_v6) GTEST_SKIP() << "no IPv6 loopback here";

  ASSERT_TRUE(start(dir_.path()));
  const std::string port = read_file(dir_.file("quor.port"));
  EXPECT_EQ(port.substr(0, 6), "[::1]:") << port;
  EXPECT_EQ(port.back(), '\n');
  EXPECT_EQ(request(true, R"({"cmd":"status","name":"x"})"), "{\"status\":\"ok\",\"data\":null}\n");
}

TEST_F(IpcEndpoint, ChosenPortWithPlusSign) {
  // Find a port that is free right now.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  close(probe);

  env_.set("QUOR_IPC_PORT", ("+" + std::to_string(port)).c_str());
  ASSERT_TRUE(start(dir_.path()));
  EXPECT_EQ(read_file(dir_.file("quor.port")), "127.0.0.1:" + std::to_string(port) + "\n");
}

TEST_F(IpcEndpoint, RemoteHostOnlyWithTheExactOptIn) {
  env_.set("QUOR_IPC_HOST", "0.0.0.0").set("QUOR_UNSAFE_ALLOW_REMOTE_IPC", "true");
  auto e = Engine::open(dir_.path());
  ASSERT_TRUE(e.ok());
  auto refused = start_control_endpoint(e.value());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), kRefusal + "0.0.0.0" + kRisk);
  EXPECT_FALSE(exists(dir_.file("quor.port")));
  EXPECT_FALSE(exists(dir_.file("quor.sock")));
  std::weak_ptr<Engine> weak = e.value();
  e.value().reset();
  EXPECT_TRUE(weak.expired());

  env_.set("QUOR_UNSAFE_ALLOW_REMOTE_IPC", "1");
  ASSERT_TRUE(start(dir_.path()));
  const std::string port = read_file(dir_.file("quor.port"));
  EXPECT_EQ(port.substr(0, 8), "0.0.0.0:") << port;
}

TEST_F(IpcEndpoint, UnresolvableHostFails) {
  env_.set("QUOR_IPC_HOST", "no-such-host.invalid").set("QUOR_UNSAFE_ALLOW_REMOTE_IPC", "1");
  auto e = Engine::open(dir_.path());
  ASSERT_TRUE(e.ok());
  auto r = start_control_endpoint(e.value());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kLogIo);
  EXPECT_FALSE(exists(dir_.file("quor.port")));
}

TEST_F(IpcEndpoint, TokenKeptAcrossRestartsAndReadBackTrimmed) {
  ASSERT_TRUE(start(dir_.path()));
  const std::string first = token_;
  stop();
  EXPECT_FALSE(exists(dir_.file("quor.port")));
  EXPECT_FALSE(exists(dir_.file("quor.sock")));
  EXPECT_TRUE(exists(dir_.file("quor.token")));

  ASSERT_TRUE(start(dir_.path()));
  EXPECT_EQ(token_, first);
  stop();

  write_file(dir_.file("quor.token"), "  abc \n");
  ASSERT_TRUE(start(dir_.path()));
  EXPECT_EQ(exchange(connect_to(false), envelope("abc", R"({"cmd":"status","name":"x"})")),
            "{\"status\":\"ok\",\"data\":null}\n");
  EXPECT_EQ(exchange(connect_to(true), envelope("  abc ", R"({"cmd":"status","name":"x"})")),
            "{\"status\":\"error\",\"message\":\"invalid IPC token\"}\n");
}

TEST_F(IpcEndpoint, LeftoverSocketFileIsReplaced) {
  // A socket file left by a killed process: bound, then its owner gone.
  int old = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir_.file("quor.sock");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(old, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(old);
  write_file(dir_.file("quor.port"), "127.0.0.1:1\n");

  ASSERT_TRUE(start(dir_.path()));
  EXPECT_EQ(request(false, R"({"cmd":"status","name":"x"})"), "{\"status\":\"ok\",\"data\":null}\n");
  EXPECT_NE(read_file(dir_.file("quor.port")), "127.0.0.1:1\n");
}

TEST_F(IpcEndpoint, ListenersCloseSoonAfterTheirFilesGo) {
  ASSERT_TRUE(start(dir_.path()));
  const std::string port = read_file(dir_.file("quor.port"));
  std::weak_ptr<Engine> weak = engine_;

  // Only the socket file: the Unix listener stops, TCP keeps serving.
  ::unlink(dir_.file("quor.sock").c_str());
  unix_thread_.join();
  EXPECT_EQ(exchange(connect_tcp(port), envelope(token_, R"({"cmd":"status","name":"x"})")),
            "{\"status\":\"ok\",\"data\":null}\n");

  // Idle now: the TCP accept thread notices at its next poll and lets go
  // of its engine reference as it closes the listener.
  engine_.reset();
  const auto t0 = std::chrono::steady_clock::now();
  ::unlink(dir_.file("quor.port").c_str());
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
  const auto took = std::chrono::steady_clock::now() - t0;
  const int fd = connect_tcp(port);
  EXPECT_LT(fd, 0) << "listener still accepting";
  if (fd >= 0) close(fd);
  // About one idle poll of 50 ms; the bound is generous for loaded machines.
  EXPECT_LT(took, std::chrono::seconds(2));
  std::printf("TCP listener closed %lld ms after its file went\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST_F(IpcEndpoint, TooLongSocketPathFailsAndLeavesNothingRunning) {
  std::string deep = dir_.path() + "/";
  while (deep.size() < 110) deep += "d";
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  auto e = Engine::open(deep);
  ASSERT_TRUE(e.ok()) << e.error().message();
  std::shared_ptr<Engine> engine = std::move(e).value();
  auto r = start_control_endpoint(engine);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kLogIo);
  EXPECT_EQ(r.error().message(), "log I/O error: path must be shorter than SUN_LEN");
  // The TCP side that was already up is gone again, with its engine reference.
  EXPECT_FALSE(exists(port_path(deep)));
  EXPECT_FALSE(exists(socket_path(deep)));
  EXPECT_EQ(engine.use_count(), 1);
}

}  // namespace
}  // namespace quor
