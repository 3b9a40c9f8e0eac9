// Internal to the remote classes: the pieces remote_client.cc and
// remote_worker.cc share, and the type constructors remote.cc calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json/json.h"
#include "python/pyutil.h"

namespace quor::py::remote_detail {

// Timeout of every request except the worker's poll.
inline constexpr std::chrono::nanoseconds kRequestTimeout = std::chrono::seconds(30);

// One request to the service with the GIL held. On failure raises
// RuntimeError with the transport's message and returns false.
bool request(const std::string& server, const std::string& token, std::string_view method,
             const std::string& path, const json::Value& body, json::Value* out);

// A parameter that may be None or a str; None leaves *out null.
bool optional_str_arg(Borrowed obj, const char* param, json::Value* out);

// Creates the heap types; nullptr with an exception set on failure.
PyObject* create_client_type();
PyObject* create_worker_type();

}  // namespace quor::py::remote_detail
