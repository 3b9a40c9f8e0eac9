#include "core/ipc/protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

#include "core/engine/engine.h"
#include "core/ipc/endpoint.h"
#include "core/json/json.h"
#include "core/model.h"
#include "core/storage/aof.h"
#include "core/storage/fs.h"
#include "core/storage/record.h"
#include "core/storage/store.h"

namespace quor {

namespace {

using json::Value;

// ---- Request parsing ----

using ParseResult = Result<IpcRequest, std::string>;

// The members of a request object, with duplicates refused.
Result<const json::Object*, std::string> request_members(const Value& v) {
  if (!v.is_object()) return std::string("request is not an object");
  const json::Object& members = v.as_object();
  for (size_t i = 0; i < members.size(); ++i) {
    for (size_t j = i + 1; j < members.size(); ++j) {
      if (members[i].first == members[j].first) {
        return "duplicate key \"" + members[i].first + "\"";
      }
    }
  }
  return &members;
}

// Copies the string under `key` to *out; the error text when it is
// missing or not a string.
std::optional<std::string> take_string(const Value& req, std::string_view key, std::string* out) {
  const Value* v = req.find(key);
  if (v == nullptr) return "missing key \"" + std::string(key) + "\"";
  if (!v->is_string()) return "key \"" + std::string(key) + "\" is not a string";
  *out = v->as_string();
  return std::nullopt;
}

ParseResult parse_request_value(const Value& req) {
  auto members = request_members(req);
  if (!members.ok()) return members.error();
  const Value* cmd_value = req.find("cmd");
  if (cmd_value == nullptr) return std::string("missing key \"cmd\"");
  if (!cmd_value->is_string()) return std::string("key \"cmd\" is not a string");
  const std::string& cmd = cmd_value->as_string();

  if (cmd == "auth") {
    std::string token;
    if (auto err = take_string(req, "token", &token)) return *err;
    const Value* inner = req.find("inner");
    if (inner == nullptr) return std::string("missing key \"inner\"");
    ParseResult parsed = parse_request_value(*inner);
    if (!parsed.ok()) return "inner: " + parsed.error();
    auto inner_request = std::make_unique<IpcRequest>(std::move(parsed).value());
    return IpcRequest{IpcAuth{std::move(token), std::move(inner_request)}};
  }
  if (cmd == "status") {
    std::string name;
    if (auto err = take_string(req, "name", &name)) return *err;
    return IpcRequest{IpcStatus{std::move(name)}};
  }
  if (cmd == "history") {
    std::string name;
    if (auto err = take_string(req, "name", &name)) return *err;
    std::optional<uint64_t> limit;
    if (const Value* l = req.find("limit"); l != nullptr && !l->is_null()) {
      if (!l->is_uint()) return std::string("key \"limit\" is not a non-negative integer");
      limit = l->as_uint();
    }
    return IpcRequest{IpcHistory{std::move(name), limit}};
  }
  if (cmd == "list") return IpcRequest{IpcList{}};
  if (cmd == "shutdown") return IpcRequest{IpcShutdown{}};
  if (cmd == "compact") return IpcRequest{IpcCompact{}};
  if (cmd == "doctor") return IpcRequest{IpcDoctor{}};
  if (cmd == "runtime_status") return IpcRequest{IpcRuntimeStatus{}};
  return "unknown command \"" + cmd + "\"";
}

// ---- Replies ----

// Replaces ill-formed UTF-8 by U+FFFD so that a reply is always valid
// JSON text, whatever bytes an error message picked up (a path, say).
std::string lossy_utf8(std::string_view s) {
  if (is_valid_utf8(s)) return std::string(s);
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t len = 1;
    while (len <= 4 && i + len <= s.size() && !is_valid_utf8(s.substr(i, len))) ++len;
    if (len <= 4 && i + len <= s.size()) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::string ok_reply(const Value& data) {
  std::string out = "{\"status\":\"ok\",\"data\":";
  out += json::to_sorted(data);
  out += "}\n";
  return out;
}

std::string error_reply(std::string_view message) {
  std::string out = "{\"status\":\"error\",\"message\":";
  json::write_string(lossy_utf8(message), &out);
  out += "}\n";
  return out;
}

Value optional_instant(const std::optional<Instant>& t) {
  return t ? Value(t->to_rfc3339_z()) : Value();
}

Value status_to_json(const TimerStatus& s) {
  Value o{json::Object{}};
  o.set("fn_name", s.fn_name ? Value(*s.fn_name) : Value());
  o.set("id", Value(s.id));
  o.set("last_duration_ms", s.last_duration_ms ? Value(*s.last_duration_ms) : Value());
  o.set("last_run_at", optional_instant(s.last_run_at));
  o.set("last_status", s.last_status ? Value(*s.last_status) : Value());
  o.set("next_run_at", optional_instant(s.next_run_at));
  o.set("retries_last_7d", Value(s.retries_last_7d));
  o.set("state", Value(timer_state_name(s.state)));
  return o;
}

Result<Value> history(const Engine& engine, const IpcHistory& req) {
  FileSystem& fs = default_fs();
  const std::string path = join_path(engine.data_dir(), "quor.aof");
  // Opening creates an absent log, as the engine itself would; nothing is
  // written through this handle.
  auto handle = open_aof(fs, path);
  if (!handle.ok()) return handle.error();
  auto entries = read_log(fs, path);
  if (!entries.ok()) return entries.error();

  std::vector<const LogEntry*> kept;
  for (const LogEntry& e : entries.value()) {
    if (event_timer_id(e.event) == req.name) kept.push_back(&e);
  }
  size_t first = 0;
  if (req.limit && *req.limit < kept.size()) first = kept.size() - static_cast<size_t>(*req.limit);
  json::Array out;
  out.reserve(kept.size() - first);
  for (size_t i = first; i < kept.size(); ++i) out.push_back(log_entry_to_json(*kept[i]));
  return Value(std::move(out));
}

// Outcome of running the inner command: a data value, an error message, or
// the instruction to close without a reply.
struct CommandOutcome {
  enum Kind { kData, kError, kNoReply } kind = kData;
  Value data;
  std::string message;
};

CommandOutcome from_result(Result<Value> r) {
  if (r.ok()) return {CommandOutcome::kData, std::move(r).value(), {}};
  return {CommandOutcome::kError, Value(), r.error().message()};
}

// "doctor" and "runtime_status": the paths as text and the timer count.
CommandOutcome doctor(const Engine& engine) {
  const std::string sock = socket_path(engine.data_dir());
  for (const std::string* p : {&engine.data_dir(), &engine.lock_path(), &sock}) {
    if (!is_valid_utf8(*p)) {
      return {CommandOutcome::kError, Value(), "path contains invalid UTF-8 characters"};
    }
  }
  Value o{json::Object{}};
  o.set("data_dir", Value(engine.data_dir()));
  o.set("lock_path", Value(engine.lock_path()));
  o.set("socket_path", Value(sock));
  o.set("timers", Value(static_cast<uint64_t>(engine.list().size())));
  return {CommandOutcome::kData, std::move(o), {}};
}

CommandOutcome run_command(const IpcRequest& req, const std::shared_ptr<Engine>& engine) {
  struct Visitor {
    const std::shared_ptr<Engine>& engine;

    CommandOutcome operator()(const IpcAuth&) const {
      return from_result(EngineError::ipc_unavailable("nested auth request is invalid"));
    }
    CommandOutcome operator()(const IpcStatus& r) const {
      auto s = engine->status(r.name);
      return {CommandOutcome::kData, s ? status_to_json(*s) : Value(), {}};
    }
    CommandOutcome operator()(const IpcList&) const {
      json::Array out;
      for (const TimerStatus& s : engine->list()) out.push_back(status_to_json(s));
      return {CommandOutcome::kData, Value(std::move(out)), {}};
    }
    CommandOutcome operator()(const IpcHistory& r) const { return from_result(history(*engine, r)); }
    CommandOutcome operator()(const IpcShutdown&) const {
      // The reply goes out at once; the engine stops on its own thread.
      try {
        std::thread([e = engine] { (void)e->shutdown(kShutdownRequestTimeout); }).detach();
      } catch (const std::system_error&) {
        std::fputs("failed to spawn thread\n", stderr);
        return {CommandOutcome::kNoReply, Value(), {}};
      }
      Value o{json::Object{}};
      o.set("shutdown", Value("requested"));
      return {CommandOutcome::kData, std::move(o), {}};
    }
    CommandOutcome operator()(const IpcCompact&) const {
      Status s = engine->compact();
      if (!s.ok()) return {CommandOutcome::kError, Value(), s.error().message()};
      Value o{json::Object{}};
      o.set("compacted", Value(true));
      return {CommandOutcome::kData, std::move(o), {}};
    }
    CommandOutcome operator()(const IpcDoctor&) const { return doctor(*engine); }
    CommandOutcome operator()(const IpcRuntimeStatus&) const { return doctor(*engine); }
  };
  return std::visit(Visitor{engine}, req.v);
}

// ---- The connection ----

constexpr size_t kReadBuffer = 8192;

// Reads up to and including the first "\n", at most kMaxRequestLine + 1
// bytes, within `deadline`. Bytes after the newline are dropped. Nothing
// when the line is unusable: read error, timeout, end of stream before the
// newline, or too long.
std::optional<std::string> read_request_line(int fd, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  std::string line;
  char buf[kReadBuffer];
  while (line.size() < kMaxRequestLine + 1) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return std::nullopt;
    // Rounded up, so that the wait never ends before the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (ready == 0) return std::nullopt;  // deadline passed

    const size_t want = std::min(kReadBuffer, kMaxRequestLine + 1 - line.size());
    const ssize_t n = ::recv(fd, buf, want, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return std::nullopt;
    }
    if (n == 0) return std::nullopt;  // end of stream before the newline
    const std::string_view got(buf, static_cast<size_t>(n));
    const size_t nl = got.find('\n');
    if (nl != std::string_view::npos) {
      line.append(got.substr(0, nl + 1));
      if (line.size() > kMaxRequestLine) return std::nullopt;
      return line;
    }
    line.append(got);
  }
  return std::nullopt;  // the limit came before a newline
}

void write_reply(int fd, std::string_view reply) {
  while (!reply.empty()) {
    const ssize_t n = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    reply.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

Result<IpcRequest, std::string> parse_ipc_request(std::string_view line) {
  auto value = json::parse(line);
  if (!value.ok()) return value.error().message;
  return parse_request_value(value.value());
}

bool tokens_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Accumulate every difference; the volatile keeps the compiler from
  // turning the loop into an early-exit comparison.
  volatile unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    diff = diff | static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

std::optional<std::string> respond_to_line(std::string_view line, const std::string& token,
                                           const std::shared_ptr<Engine>& engine) {
  auto parsed = parse_ipc_request(line);
  if (!parsed.ok()) return std::nullopt;
  const auto* auth = std::get_if<IpcAuth>(&parsed.value().v);
  if (auth == nullptr) return error_reply("missing IPC token");
  if (!tokens_equal(auth->token, token)) return error_reply("invalid IPC token");

  CommandOutcome out = run_command(*auth->inner, engine);
  switch (out.kind) {
    case CommandOutcome::kData: return ok_reply(out.data);
    case CommandOutcome::kError: return error_reply(out.message);
    case CommandOutcome::kNoReply: break;
  }
  return std::nullopt;
}

void serve_control_connection(int fd, std::shared_ptr<const std::string> token,
                              std::shared_ptr<Engine> engine,
                              std::chrono::milliseconds deadline) {
  // A peer that stops reading must not hold this thread forever either.
  timeval send_timeout{static_cast<time_t>(kRequestDeadline.count() / 1000), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);

  if (auto line = read_request_line(fd, deadline)) {
    if (auto reply = respond_to_line(*line, *token, engine)) write_reply(fd, *reply);
  }
  ::close(fd);
}

}  // namespace quor
