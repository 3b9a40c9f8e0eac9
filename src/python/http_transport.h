// One JSON request over plain HTTP/1.1 to the remote scheduling service.
//
// Each call opens its own TCP connection ("Connection: close"), sends a
// bearer token and an optional JSON body, reads the response until the
// server closes, and parses the whole body as JSON before it looks at the
// status code. There is no TLS, no connection reuse, no redirect and no
// retry. The function touches no Python state and shares nothing between
// calls, so it may run on any thread with the interpreter lock released.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "core/json/json.h"
#include "core/result.h"

namespace quor::remote {

// Responses longer than this are refused instead of growing memory.
inline constexpr size_t kMaxResponseBytes = size_t{64} << 20;

// Reason used when an error response names none.
inline constexpr std::string_view kDefaultHttpError = "HTTP request failed";

// Strips surrounding Unicode whitespace, every leading "http://" and every
// trailing "/". The result is the connect address, the Host header and the
// "from" part of error messages.
std::string normalize_server(std::string_view server);

// Called when a blocking step was interrupted by a signal; returning true
// abandons the request with the message "request interrupted", false
// resumes the step.
using InterruptCheck = std::function<bool()>;

// Sends `method path` to `server` with `body` (JSON null: no body) and
// returns the parsed response body when the status is 2xx. `timeout` is
// the connect, write and read timeout. On any failure returns the message
// that the caller raises as RuntimeError.
Result<json::Value, std::string> http_json_request(const std::string& server,
                                                   const std::string& token,
                                                   std::string_view method,
                                                   const std::string& path,
                                                   const json::Value& body,
                                                   std::chrono::nanoseconds timeout,
                                                   const InterruptCheck& interrupted = {});

}  // namespace quor::remote
