// The control endpoint: a loopback TCP listener and a Unix socket in the
// data directory, a token in "quor.token", and one accept thread per
// listener. A listener stops when its discovery file ("quor.port" or
// "quor.sock") disappears; shutdown deletes both.
#pragma once

#include <memory>
#include <string>
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

}  // namespace quor
