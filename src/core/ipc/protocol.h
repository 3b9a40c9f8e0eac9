// The control protocol: one JSON request line in, one JSON reply line out,
// per connection.
//
// A request is an object tagged by "cmd". Every request must come wrapped
// in {"cmd":"auth","token":T,"inner":{...}}; the token is compared in time
// independent of where the first difference lies. A reply is
//   {"status":"ok","data":D}  or  {"status":"error","message":M}
// in compact form with the keys of D sorted at every depth, followed by
// "\n". Anything that does not parse as a request (bad JSON, unknown or
// missing "cmd", a missing or mistyped key, a duplicated key), an empty
// read, a line over 1,048,576 bytes or a stream ending before "\n" closes
// the connection without a reply.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/result.h"

namespace quor {

class Engine;

struct IpcRequest;

struct IpcAuth {
  std::string token;
  std::unique_ptr<IpcRequest> inner;  // never null after parsing
};
struct IpcStatus {
  std::string name;
};
struct IpcList {};
struct IpcHistory {
  std::string name;
  std::optional<uint64_t> limit;  // keep only the last `limit` entries
};
struct IpcShutdown {};
struct IpcCompact {};
struct IpcDoctor {};
struct IpcRuntimeStatus {};

struct IpcRequest {
  std::variant<IpcAuth, IpcStatus, IpcList, IpcHistory, IpcShutdown, IpcCompact, IpcDoctor,
               IpcRuntimeStatus>
      v;
};

// The longest request line accepted, its "\n" included.
inline constexpr size_t kMaxRequestLine = 1048576;
// How long a connection may take to deliver its request line.
inline constexpr std::chrono::milliseconds kRequestDeadline{10000};
// How long a "shutdown" request lets runs in flight finish.
inline constexpr std::chrono::seconds kShutdownRequestTimeout{5};

// Parses one request line (its trailing "\n" may be included). The error
// text says what was wrong; it is never sent to the peer.
Result<IpcRequest, std::string> parse_ipc_request(std::string_view line);

// True when the two tokens have the same length and the same bytes. Every
// byte is looked at, whatever the position of the first difference.
bool tokens_equal(std::string_view a, std::string_view b);

// The reply line (with its "\n") for one request line, or nothing when the
// connection must be closed without a reply. Runs the command against
// `engine`; "shutdown" starts the engine's shutdown on a detached thread.
std::optional<std::string> respond_to_line(std::string_view line, const std::string& token,
                                           const std::shared_ptr<Engine>& engine);

// Serves one connection (a connected stream socket in blocking mode): reads
// the request line, writes the reply, closes `fd`. A peer that has not sent
// its line within `deadline` is dropped without a reply.
void serve_control_connection(int fd, std::shared_ptr<const std::string> token,
                              std::shared_ptr<Engine> engine,
                              std::chrono::milliseconds deadline = kRequestDeadline);

// Whether `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

}  // namespace quor
