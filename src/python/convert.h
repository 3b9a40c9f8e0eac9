// Conversions between Python values and engine values: the `at` argument
// of schedule, and a timer's status as a Python dict. GIL held throughout.
#pragma once

#include <optional>

#include "core/instant.h"
#include "core/model.h"
#include "python/pyutil.h"

namespace quor::py {

// An aware datetime (any tzinfo with a definite offset), with microsecond
// precision, or an RFC 3339 string. Raises ValueError
// "invalid at datetime: {}" for a string that does not parse, and
// "at must be timezone-aware datetime or RFC3339 string, got {type}" for
// anything else.
std::optional<Instant> at_to_instant(Borrowed obj);

// A new dict with the keys id, state, fn_name, last_run_at,
// last_duration_ms, last_status, next_run_at, retries_last_7d, in that
// order; timestamps end in "+00:00".
PyObject* status_to_dict(const TimerStatus& status);

// A new str from UTF-8 text (invalid bytes are replaced).
PyObject* to_py_str(const std::string& text);

}  // namespace quor::py
