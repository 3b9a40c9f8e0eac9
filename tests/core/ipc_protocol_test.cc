// The request parser, the token comparison, the replies of every command
// against a real engine, and the line-reading rules of one connection.
#include <fcntl.h>
#include <sys/socket.h>

#include <set>

#include "core/ipc/protocol.h"
#include "core/json/json.h"
#include "core/storage/aof.h"
#include "core/storage/fs.h"
#include "ipc_test_util.h"

namespace quor {
namespace {

using namespace ipc_test;

// ---- Parsing ----

TEST(IpcParse, AcceptsEveryCommandInAnyLayout) {
  struct Case {
    const char* line;
    size_t index;  // variant index
  };
  const Case cases[] = {
      {R"({"cmd":"status","name":"a"})", 1},
      {R"({"cmd":"list"})", 2},
      {R"({"cmd":"history","name":"a"})", 3},
      {R"({"cmd":"shutdown"})", 4},
      {R"({"cmd":"compact"})", 5},
      {R"({"cmd":"doctor"})", 6},
      {R"({"cmd":"runtime_status"})", 7},
      {R"({"cmd":"auth","token":"t","inner":{"cmd":"list"}})", 0},
      {"  {\n \"name\" : \"a\" ,\t\"cmd\":\"status\"}\r\n", 1},   // whitespace, key order
      {R"({"cmd":"list","extra":[1,{"x":{}}],"name":5})", 2},    // unknown keys ignored
      {R"({"inner":{"cmd":"list"},"token":"t","cmd":"auth"})", 0},
  };
  for (const Case& c : cases) {
    auto r = parse_ipc_request(c.line);
    ASSERT_TRUE(r.ok()) << c.line << ": " << r.error();
    EXPECT_EQ(r.value().v.index(), c.index) << c.line;
  }
}

TEST(IpcParse, CarriesFields) {
  auto r = parse_ipc_request(
      R"({"cmd":"auth","token":"tok\u0041","inner":{"cmd":"history","name":"n\"x","limit":7}})");
  ASSERT_TRUE(r.ok()) << r.error();
  const auto& auth = std::get<IpcAuth>(r.value().v);
  EXPECT_EQ(auth.token, "tokA");
  const auto& h = std::get<IpcHistory>(auth.inner->v);
  EXPECT_EQ(h.name, "n\"x");
  EXPECT_EQ(h.limit, std::optional<uint64_t>(7));

  for (const char* line : {R"({"cmd":"history","name":"a","limit":null})",
                           R"({"cmd":"history","name":"a"})"}) {
    auto hr = parse_ipc_request(line);
    ASSERT_TRUE(hr.ok()) << line;
    EXPECT_FALSE(std::get<IpcHistory>(hr.value().v).limit.has_value()) << line;
  }
  auto big = parse_ipc_request(R"({"cmd":"history","name":"a","limit":18446744073709551615})");
  ASSERT_TRUE(big.ok());
  EXPECT_EQ(std::get<IpcHistory>(big.value().v).limit, std::optional<uint64_t>(UINT64_MAX));

  // A nested envelope parses; running it is what fails.
  auto nested = parse_ipc_request(
      R"({"cmd":"auth","token":"a","inner":{"cmd":"auth","token":"b","inner":{"cmd":"list"}}})");
  ASSERT_TRUE(nested.ok());
  EXPECT_TRUE(std::holds_alternative<IpcAuth>(std::get<IpcAuth>(nested.value().v).inner->v));
}

TEST(IpcParse, RefusesMalformedRequests) {
  const char* cases[] = {
      "",
      "\n",
      "not json",
      R"({"cmd":"list"} {"cmd":"list"})",   // text after the object
      R"({"cmd":"list"}x)",
      R"({"cmd":"list")",                   // cut short
      R"(["cmd","list"])",                  // not an object
      R"("list")",
      R"({})",                              // no "cmd"
      R"({"name":"a"})",
      R"({"cmd":null})",
      R"({"cmd":1})",
      R"({"cmd":"LIST"})",                  // unknown commands
      R"({"cmd":"stats"})",
      R"({"cmd":""})",
      R"({"cmd":"status"})",                // missing or mistyped fields
      R"({"cmd":"status","name":1})",
      R"({"cmd":"status","name":null})",
      R"({"cmd":"history"})",
      R"({"cmd":"history","name":"a","limit":-1})",
      R"({"cmd":"history","name":"a","limit":1.5})",
      R"({"cmd":"history","name":"a","limit":2.0})",
      R"({"cmd":"history","name":"a","limit":"2"})",
      R"({"cmd":"history","name":"a","limit":18446744073709551616})",
      R"({"cmd":"auth","inner":{"cmd":"list"}})",
      R"({"cmd":"auth","token":1,"inner":{"cmd":"list"}})",
      R"({"cmd":"auth","token":"t"})",
      R"({"cmd":"auth","token":"t","inner":null})",
      R"({"cmd":"auth","token":"t","inner":"list"})",
      R"({"cmd":"auth","token":"t","inner":{"cmd":"nope"}})",
      R"({"cmd":"auth","token":"t","inner":{"cmd":"status"}})",
      R"({"cmd":"list","cmd":"list"})",     // duplicated keys
      R"({"cmd":"status","name":"a","name":"b"})",
      R"({"cmd":"auth","token":"t","token":"t","inner":{"cmd":"list"}})",
      R"({"cmd":"auth","token":"t","inner":{"cmd":"list","cmd":"list"}})",
      R"({"cmd":"list","x":1,"x":2})",
      "{\"cmd\":\"status\",\"name\":\"\xff\"}",  // not UTF-8
  };
  for (const char* line : cases) {
    EXPECT_FALSE(parse_ipc_request(line).ok()) << line;
  }
}

TEST(IpcToken, EqualOnlyForSameLengthAndBytes) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"", "", true},
      {"abc", "abc", true},
      {"abc", "abd", false},
      {"abc", "xbc", false},
      {"abc", "ab", false},
      {"ab", "abc", false},
      {"", "a", false},
      {std::string_view("a\0b", 3), std::string_view("a\0c", 3), false},
      {std::string_view("a\0b", 3), "a", false},
  };
  for (const Case& c : cases) EXPECT_EQ(tokens_equal(c.a, c.b), c.equal) << c.a << " vs " << c.b;
}

// ---- Commands against a real engine ----

constexpr const char* kToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A data directory whose log already holds a short history, opened by an
// engine (every stored timer starts Orphaned).
class IpcCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    FileSystem& fs = default_fs();
    auto aof = open_aof(fs, dir_.file("quor.aof"));
    ASSERT_TRUE(aof.ok());
    const Instant t0 = at("2026-03-01T08:00:00.250Z");
    TimerSpec spec{"t1", EverySchedule{300}, RetryPolicy{3, FixedBackoff{10}}, "UTC", t0};
    TimerSpec spec2{"t2", CronSchedule{"*/5 * * * *"}, RetryPolicy::default_policy(), "UTC", t0};
    const std::pair<Event, const char*> events[] = {
        {TimerCreated{spec}, "2026-03-01T08:00:00.250Z"},
        {TimerCreated{spec2}, "2026-03-01T08:00:00.300Z"},
        {RunDue{"t1", "run_a", at("2026-03-01T08:05:00Z")}, "2026-03-01T08:05:00Z"},
        {RunStarted{"t1", "run_a", at("2026-03-01T08:05:00.001Z"), 1}, "2026-03-01T08:05:00.001Z"},
        {RunDue{"t2", "run_b", at("2026-03-01T08:05:00Z")}, "2026-03-01T08:05:00.002Z"},
        {RunSucceeded{"t1", "run_a", at("2026-03-01T08:05:01.501Z"), 1500},
         "2026-03-01T08:05:01.501Z"},
    };
    for (const auto& [event, ts] : events) ASSERT_TRUE(aof.value()->append(event, at(ts)).ok());
    aof.value().reset();
    auto engine = Engine::open(dir_.path());
    ASSERT_TRUE(engine.ok()) << engine.error().message();
    engine_ = engine.value();
  }

  std::optional<std::string> ask(const std::string& inner) {
    return respond_to_line(envelope(kToken, inner), kToken, engine_);
  }
  std::string ok(const std::string& data) { return R"({"status":"ok","data":)" + data + "}\n"; }
  std::string err(const std::string& message) {
    return R"({"status":"error","message":")" + message + "\"}\n";
  }

  TempDir dir_;
  std::shared_ptr<Engine> engine_;
};

TEST_F(IpcCommands, EnvelopeIsRequiredAndChecked) {
  const std::string inner = R"({"cmd":"list"})";
  struct Case {
    std::string line;
    std::string reply;
  };
  const std::string short_token(kToken, 63);
  std::string flipped(kToken);
  flipped.back() = 'e';
  const Case cases[] = {
      {inner + "\n", err("missing IPC token")},
      {R"({"cmd":"status","name":"t1"})" "\n", err("missing IPC token")},
      {envelope(short_token, inner), err("invalid IPC token")},
      {envelope(flipped, inner), err("invalid IPC token")},
      {envelope(std::string(kToken) + "0", inner), err("invalid IPC token")},
      {envelope("", inner), err("invalid IPC token")},
      {envelope(kToken, envelope(kToken, inner).substr(0, envelope(kToken, inner).size() - 1)),
       err("IPC unavailable: nested auth request is invalid")},
      // A nested envelope with a wrong inner token is refused the same way.
      {envelope(kToken, R"({"cmd":"auth","token":"x","inner":{"cmd":"list"}})"),
       err("IPC unavailable: nested auth request is invalid")},
  };
  for (const Case& c : cases) {
    auto reply = respond_to_line(c.line, kToken, engine_);
    ASSERT_TRUE(reply.has_value()) << c.line;
    EXPECT_EQ(*reply, c.reply) << c.line;
  }
  // Garbage gets no reply at all.
  for (const char* line : {"{", "{\"cmd\":\"bogus\"}\n", "[]\n", "{\"cmd\":\"list\"}{}\n"}) {
    EXPECT_FALSE(respond_to_line(line, kToken, engine_).has_value()) << line;
  }
}

TEST_F(IpcCommands, StatusObjectHasSortedKeysCapitalisedStateAndZTimes) {
  EXPECT_EQ(ask(R"({"cmd":"status","name":"t1"})"),
            ok(R"({"fn_name":null,"id":"t1","last_duration_ms":1500,)"
               R"("last_run_at":"2026-03-01T08:05:01.501Z","last_status":"OK",)"
               R"("next_run_at":null,"retries_last_7d":0,"state":"Orphaned"})"));
  EXPECT_EQ(ask(R"({"cmd":"status","name":"nobody"})"), ok("null"));

  // Bound again: a one-shot in the past has no next run.
  ASSERT_TRUE(engine_->schedule("once \"q\" \xc3\xa9", AtSchedule{at("2020-01-01T00:00:00Z")},
                                std::make_shared<NopTask>("fn"))
                  .ok());
  EXPECT_EQ(ask("{\"cmd\":\"status\",\"name\":\"once \\\"q\\\" \xc3\xa9\"}"),
            ok("{\"fn_name\":\"fn\",\"id\":\"once \\\"q\\\" \xc3\xa9\",\"last_duration_ms\":null,"
               "\"last_run_at\":null,\"last_status\":null,\"next_run_at\":null,"
               "\"retries_last_7d\":0,\"state\":\"Scheduled\"}"));

  // A recurring timer gets a "Z" instant for its next run.
  ASSERT_TRUE(engine_->schedule("t2", CronSchedule{"*/5 * * * *"},
                                std::make_shared<NopTask>("job"))
                  .ok());
  auto reply = ask(R"({"cmd":"status","name":"t2"})");
  ASSERT_TRUE(reply);
  auto v = json::parse(*reply);
  ASSERT_TRUE(v.ok());
  const json::Value* next = v.value().find("data")->find("next_run_at");
  ASSERT_TRUE(next && next->is_string());
  EXPECT_EQ(next->as_string().back(), 'Z');
  EXPECT_EQ(v.value().find("data")->find("state")->as_string(), "Scheduled");
}

TEST_F(IpcCommands, ListReturnsEveryTimer) {
  auto reply = ask(R"({"cmd":"list"})");
  ASSERT_TRUE(reply);
  const std::string t1 =
      R"({"fn_name":null,"id":"t1","last_duration_ms":1500,"last_run_at":"2026-03-01T08:05:01.501Z",)"
      R"("last_status":"OK","next_run_at":null,"retries_last_7d":0,"state":"Orphaned"})";
  const std::string t2 =
      R"({"fn_name":null,"id":"t2","last_duration_ms":null,"last_run_at":null,)"
      R"("last_status":null,"next_run_at":null,"retries_last_7d":0,"state":"Orphaned"})";
  // The order of list is not defined.
  EXPECT_TRUE(*reply == ok("[" + t1 + "," + t2 + "]") || *reply == ok("[" + t2 + "," + t1 + "]"))
      << *reply;

  TempDir empty("ipc-empty");
  auto e = Engine::open(empty.path());
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(respond_to_line(envelope(kToken, R"({"cmd":"list"})"), kToken, e.value()), ok("[]"));
}

TEST_F(IpcCommands, HistoryFiltersByTimerAndKeepsTheLastEntries) {
  const std::string created =
      R"({"event":{"spec":{"created_at":"2026-03-01T08:00:00.250Z","id":"t1",)"
      R"("retry":{"backoff":{"kind":"fixed","seconds":10},"max_attempts":3},)"
      R"("schedule":{"kind":"every","seconds":300},"timezone":"UTC"},"type":"TIMER_CREATED"},)"
      R"("ts":"2026-03-01T08:00:00.250Z","v":1})";
  const std::string due =
      R"({"event":{"run_id":"run_a","scheduled_at":"2026-03-01T08:05:00Z","timer_id":"t1",)"
      R"("type":"RUN_DUE"},"ts":"2026-03-01T08:05:00Z","v":1})";
  const std::string started =
      R"({"event":{"attempt":1,"run_id":"run_a","started_at":"2026-03-01T08:05:00.001Z",)"
      R"("timer_id":"t1","type":"RUN_STARTED"},"ts":"2026-03-01T08:05:00.001Z","v":1})";
  const std::string succeeded =
      R"({"event":{"duration_ms":1500,"finished_at":"2026-03-01T08:05:01.501Z","run_id":"run_a",)"
      R"("timer_id":"t1","type":"RUN_SUCCEEDED"},"ts":"2026-03-01T08:05:01.501Z","v":1})";

  struct Case {
    std::string request;
    std::string data;
  };
  const Case cases[] = {
      {R"({"cmd":"history","name":"t1"})",
       "[" + created + "," + due + "," + started + "," + succeeded + "]"},
      {R"({"cmd":"history","name":"t1","limit":null})",
       "[" + created + "," + due + "," + started + "," + succeeded + "]"},
      {R"({"cmd":"history","name":"t1","limit":2})", "[" + started + "," + succeeded + "]"},
      {R"({"cmd":"history","name":"t1","limit":1})", "[" + succeeded + "]"},
      {R"({"cmd":"history","name":"t1","limit":4})",
       "[" + created + "," + due + "," + started + "," + succeeded + "]"},
      {R"({"cmd":"history","name":"t1","limit":99})",
       "[" + created + "," + due + "," + started + "," + succeeded + "]"},
      {R"({"cmd":"history","name":"t1","limit":0})", "[]"},
      {R"({"cmd":"history","name":"never"})", "[]"},
      {R"({"cmd":"history","name":"run_a"})", "[]"},
  };
  for (const Case& c : cases) EXPECT_EQ(ask(c.request), ok(c.data)) << c.request;

  auto t2 = ask(R"({"cmd":"history","name":"t2"})");
  ASSERT_TRUE(t2);
  auto v = json::parse(*t2);
  ASSERT_TRUE(v.ok());
  const auto& entries = v.value().find("data")->as_array();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].find("event")->find("type")->as_string(), "TIMER_CREATED");
  EXPECT_EQ(entries[1].find("event")->find("type")->as_string(), "RUN_DUE");
}

TEST_F(IpcCommands, HistoryCreatesAnAbsentLogAndReportsACorruptOne) {
  const std::string log = dir_.file("quor.aof");
  ASSERT_EQ(::unlink(log.c_str()), 0);
  EXPECT_EQ(ask(R"({"cmd":"history","name":"t1"})"), ok("[]"));
  EXPECT_TRUE(exists(log));
  EXPECT_EQ(mode_of(log), 0600u);

  write_file(log, "{\"v\":1\nnot json\n");
  auto reply = ask(R"({"cmd":"history","name":"t1"})");
  ASSERT_TRUE(reply);
  const std::string prefix = R"({"status":"error","message":"corrupt log line 1 in )" + log + ": ";
  EXPECT_EQ(reply->substr(0, prefix.size()), prefix) << *reply;
}

TEST_F(IpcCommands, DoctorAndRuntimeStatusReportPathsAndCount) {
  const std::string data = "{\"data_dir\":\"" + dir_.path() + "\",\"lock_path\":\"" +
                           dir_.file("quor.lock") + "\",\"socket_path\":\"" +
                           dir_.file("quor.sock") + "\",\"timers\":2}";
  EXPECT_EQ(ask(R"({"cmd":"doctor"})"), ok(data));
  EXPECT_EQ(ask(R"({"cmd":"runtime_status"})"), ok(data));
}

TEST_F(IpcCommands, CompactMovesTheLogIntoTheSnapshot) {
  EXPECT_EQ(ask(R"({"cmd":"compact"})"), ok(R"({"compacted":true})"));
  EXPECT_TRUE(exists(dir_.file("quor.snapshot")));
  // History reads only the current log, which compaction emptied.
  EXPECT_EQ(ask(R"({"cmd":"history","name":"t1"})"), ok("[]"));
  // The state itself is kept.
  auto status = ask(R"({"cmd":"status","name":"t1"})");
  ASSERT_TRUE(status);
  EXPECT_NE(status->find("\"last_status\":\"OK\""), std::string::npos);
}

TEST_F(IpcCommands, CompactFailureIsAnErrorReply) {
  // A directory where the snapshot's temporary file must go.
  ASSERT_EQ(::mkdir(dir_.file("quor.snapshot.tmp").c_str(), 0700), 0);
  auto reply = ask(R"({"cmd":"compact"})");
  ASSERT_TRUE(reply);
  const std::string prefix = R"({"status":"error","message":"log I/O error: )";
  EXPECT_EQ(reply->substr(0, prefix.size()), prefix) << *reply;
}

TEST_F(IpcCommands, ShutdownRepliesAtOnceAndStopsTheEngine) {
  ASSERT_TRUE(engine_->start().ok());
  EXPECT_EQ(ask(R"({"cmd":"shutdown"})"), ok(R"({"shutdown":"requested"})"));
  EXPECT_TRUE(eventually([&] {
    return !engine_->schedule("late", EverySchedule{60}, std::make_shared<NopTask>()).ok();
  }));
  Status s = engine_->schedule("late", EverySchedule{60}, std::make_shared<NopTask>());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "engine has already been shut down");
  // Queries keep working.
  EXPECT_EQ(ask(R"({"cmd":"status","name":"nobody"})"), ok("null"));
}

// ---- One connection ----

// Runs the handler on one end of a socket pair; the test is the client.
class IpcConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    auto e = Engine::open(dir_.path());
    ASSERT_TRUE(e.ok());
    engine_ = e.value();
  }
  void TearDown() override {
    if (server_.joinable()) server_.join();
  }

  int serve(std::chrono::milliseconds deadline = kRequestDeadline) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    set_timeouts(fds[0]);
    server_ = std::thread(serve_control_connection, fds[1],
                          std::make_shared<const std::string>(kToken), engine_, deadline);
    return fds[0];
  }

  // A status request padded with spaces to exactly `size` bytes, "\n" included.
  static std::string padded_request(size_t size) {
    std::string line = envelope(kToken, R"({"cmd":"status","name":"x"})");
    line.pop_back();
    line.append(size - line.size() - 1, ' ');
    line.push_back('\n');
    return line;
  }

  TempDir dir_;
  std::shared_ptr<Engine> engine_;
  std::thread server_;
};

constexpr const char* kNullReply = "{\"status\":\"ok\",\"data\":null}\n";

TEST_F(IpcConnection, AnswersOneLine) {
  EXPECT_EQ(exchange(serve(), padded_request(200)), kNullReply);
}

TEST_F(IpcConnection, LineLimitIsExact) {
  EXPECT_EQ(exchange(serve(), padded_request(kMaxRequestLine)), kNullReply);
  server_.join();
  EXPECT_EQ(exchange(serve(), padded_request(kMaxRequestLine + 1)), "");
  server_.join();
  // Far beyond the limit without any newline.
  EXPECT_EQ(exchange(serve(), std::string(3 * kMaxRequestLine, ' '), true), "");
}

TEST_F(IpcConnection, ClosesSilentlyWithoutACompleteLine) {
  const std::string line = envelope(kToken, R"({"cmd":"list"})");
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"nothing", ""},
      {"no newline", line.substr(0, line.size() - 1)},
      {"invalid JSON", "{\"cmd\":\n"},
      {"unknown command", envelope(kToken, R"({"cmd":"reboot"})")},
      {"blank line", "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exchange(serve(), c.bytes, true), "") << c.what;
    server_.join();
  }
}

TEST_F(IpcConnection, OnlyTheFirstOfTwoLinesIsAnswered) {
  const std::string status = envelope(kToken, R"({"cmd":"status","name":"x"})");
  const std::string list = envelope(kToken, R"({"cmd":"list"})");
  EXPECT_EQ(exchange(serve(), status + list), kNullReply);
  server_.join();
  // A first line that is refused is not rescued by a good second one.
  EXPECT_EQ(exchange(serve(), "{\n" + status), "");
}

TEST_F(IpcConnection, LineMayArriveInPieces) {
  const int fd = serve();
  const std::string line = envelope(kToken, R"({"cmd":"status","name":"x"})");
  for (char c : line) {
    ASSERT_TRUE(send_all(fd, std::string_view(&c, 1)));
  }
  EXPECT_EQ(read_to_end(fd), kNullReply);
  close(fd);
}

TEST_F(IpcConnection, SlowPeerIsDroppedAfterTheDeadline) {
  const auto t0 = std::chrono::steady_clock::now();
  const int fd = serve(std::chrono::milliseconds(200));
  ASSERT_TRUE(send_all(fd, "{\"cmd\":\"auth\""));  // and then nothing
  EXPECT_EQ(read_to_end(fd), "");                  // closed by the server
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  close(fd);
}

}  // namespace
}  // namespace quor
