// Fuzz target for the JSON reader and the record decoders.
//
// Any input: parsing must not crash; what parses must write and read back
// to the same value in every writer's form; the record decoders must not
// crash, must tell a text cut short from other errors the same way the
// plain reader does, and what they accept must encode and decode back to
// the same record.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/json/json.h"
#include "core/storage/record.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "json_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

void check_value(std::string_view text) {
  auto parsed = quor::json::parse(text);
  if (!parsed.ok()) {
    const std::string& m = parsed.error().message;
    if (m.find(" at line ") == std::string::npos) fail("message without position", m);
    return;
  }
  const quor::json::Value& v = *parsed;
  const std::string compact = quor::json::to_compact(v);
  auto again = quor::json::parse(compact);
  if (!again.ok()) fail("compact text does not parse", again.error().message);
  if (!(*again == v)) fail("compact round trip differs", compact);
  if (quor::json::to_compact(*again) != compact) fail("compact text is not stable", compact);

  auto pretty = quor::json::parse(quor::json::to_pretty(v));
  if (!pretty.ok() || !(*pretty == v)) fail("pretty round trip differs", compact);

  const std::string sorted = quor::json::to_sorted(v);
  auto sorted_again = quor::json::parse(sorted);
  if (!sorted_again.ok() || quor::json::to_sorted(*sorted_again) != sorted) {
    fail("sorted round trip differs", sorted);
  }
}

void check_records(std::string_view text) {
  auto plain = quor::json::parse(text);

  auto entry = quor::parse_log_line(text);
  if (entry.ok()) {
    if (!plain.ok()) fail("record accepted where the reader fails", text);
    const std::string line = quor::encode_log_line(*entry);
    auto back = quor::parse_log_line(line);
    if (!back.ok()) fail("encoded line does not parse", back.error().message);
    if (!(*back == *entry)) fail("log line round trip differs", line);
    if (quor::json::to_compact(quor::log_entry_to_json(*entry)) != line) {
      fail("generic value differs from the line", line);
    }
  } else {
    // A text the reader rejects gives the reader's error class.
    if (!plain.ok() && plain.error().is_eof() != entry.error().is_eof()) {
      fail("error class differs from the reader's", entry.error().message);
    }
    if (plain.ok() && entry.error().is_eof()) fail("EOF error for complete JSON", text);
  }

  auto snap = quor::decode_snapshot(text);
  if (snap.ok()) {
    const std::string out = quor::encode_snapshot(*snap);
    auto back = quor::decode_snapshot(out);
    if (!back.ok()) fail("encoded snapshot does not parse", back.error().message);
    if (!(*back == *snap)) fail("snapshot round trip differs", out);
  } else if (!plain.ok() && plain.error().is_eof() != snap.error().is_eof()) {
    fail("snapshot error class differs from the reader's", snap.error().message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_value(text);
  check_records(text);
  return 0;
}
