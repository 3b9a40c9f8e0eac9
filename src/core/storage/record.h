// The exact JSON text of log entries and snapshots.
//
// Log lines are compact JSON with keys in declaration order and tag keys
// first; snapshots are the same records pretty-printed. Readers accept keys
// in any order, skip unknown keys, and report errors with the JSON layer's
// position suffix and error class (an end-of-input error on the last line of
// a log is a torn write).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json/json.h"
#include "core/model.h"
#include "core/result.h"

namespace quor {

// Compact text of an entry, without a trailing newline. Appends to *out.
void encode_log_line(const LogEntry& entry, std::string* out);
std::string encode_log_line(const LogEntry& entry);

// Parses one line (surrounding whitespace already removed).
Result<LogEntry, json::ParseError> parse_log_line(std::string_view line);

// The entry as a generic JSON value with the same keys and values.
json::Value log_entry_to_json(const LogEntry& entry);

inline constexpr const char* kEngineVersion = "0.1.1";

// The persistent state at one moment plus the log offset it covers.
// `state.bindings` is never written and is empty after decoding.
struct Snapshot {
  uint8_t v = 1;
  uint8_t format_version = 1;
  std::string engine_version = kEngineVersion;
  Instant created_at;
  uint64_t last_aof_offset = 0;
  EngineState state;
  bool operator==(const Snapshot&) const = default;
};

// v = 1, format_version = 1, created_at = now, bindings left out.
Snapshot build_snapshot(const EngineState& state, uint64_t last_aof_offset);

// Pretty-printed text (two-space indent), without the trailing newline.
std::string encode_snapshot(const Snapshot& snapshot);
// Parses a whole snapshot file's text. Version fields are not checked here.
Result<Snapshot, json::ParseError> decode_snapshot(std::string_view text);

}  // namespace quor
