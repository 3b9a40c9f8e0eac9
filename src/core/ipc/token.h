// The control token in "quor.token": created once as 64 lower-case hex
// digits of fresh entropy and reused by every later start.
#pragma once

#include <string>

#include "core/result.h"

namespace quor {

// Reads "quor.token" in `dir` when it exists: its whole text, which must be
// UTF-8, without the Unicode white space at both ends (any text, even an
// empty one, is taken as it is). Otherwise creates it exclusively with mode
// 0600, writes a new token and "\n" and syncs it; a file that could not be
// written completely is removed again.
Result<std::string> load_or_create_token(const std::string& dir);

// 64 lower-case hex digits of 32 bytes from the system's entropy source, or
// IpcUnavailable "failed to generate token: {}".
Result<std::string> generate_token();

}  // namespace quor
