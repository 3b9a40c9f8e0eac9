// The control endpoint: a loopback TCP listener and a Unix socket in the
// data directory, a token in "quor.token", and one accept thread per
// listener. A listener stops when its discovery file ("quor.port" or
// "quor.sock") disappears; shutdown deletes both.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/result.h"

namespace quor {

class Engine;

std::string token_path(const std::string& dir);
std::string port_path(const std::string& dir);
std::string socket_path(const std::string& dir);

// Starts both listeners for `engine`'s data directory. Returns the Unix
// accept thread, which the caller joins after deleting the discovery files.
// Reads QUOR_IPC_HOST, QUOR_IPC_PORT and QUOR_UNSAFE_ALLOW_REMOTE_IPC.
Result<std::thread> start_control_endpoint(std::shared_ptr<Engine> engine);

// The TCP listener's address as taken from the environment.
struct IpcBindSettings {
  std::string host;  // QUOR_IPC_HOST, "127.0.0.1" when unset or not UTF-8
  uint16_t port = 0;  // QUOR_IPC_PORT, 0 (system-chosen) when unset or invalid
};

// Reads QUOR_IPC_HOST and QUOR_IPC_PORT and refuses a non-loopback host
// unless QUOR_UNSAFE_ALLOW_REMOTE_IPC is exactly "1" (IpcUnavailable).
Result<IpcBindSettings> ipc_bind_settings_from_env();

// Exactly "127.0.0.1", "localhost" or "::1".
bool is_loopback_host(std::string_view host);

// Decimal 0..65535 with at most one leading "+"; anything else gives 0.
uint16_t parse_ipc_port(std::optional<std::string_view> text);

}  // namespace quor
