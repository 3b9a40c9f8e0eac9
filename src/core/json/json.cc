#include "core/json/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/json/reader.h"

namespace quor::json {

Value::Value(int64_t i) {
  if (i >= 0) v_ = static_cast<uint64_t>(i);
  else v_ = i;
}

const Value* Value::find(std::string_view key) const {
  if (!is_object()) return nullptr;
  for (const auto& [k, v] : as_object()) {
    if (k == key) return &v;
  }
  return nullptr;
}

void Value::set(std::string key, Value v) {
  as_object().emplace_back(std::move(key), std::move(v));
}

Result<Value, ParseError> parse(std::string_view text) {
  Reader reader(text);
  Value v;
  if (!reader.read_value(&v) || !reader.finish()) return reader.error();
  return v;
}

// ---- Writing ----

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Escape for each byte below 0x20: 0 means \u00XX.
constexpr char kShortEscape[32] = {0, 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0,   'f', 'r', 0, 0,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0,   0,   0,   0,   0,   0,   0, 0};

void write_value(const Value& v, std::string* out, bool sorted);

void write_members(const Object& obj, std::string* out, bool sorted) {
  out->push_back('{');
  if (!sorted) {
    bool first = true;
    for (const auto& [k, val] : obj) {
      if (!first) out->push_back(',');
      first = false;
      write_string(k, out);
      out->push_back(':');
      write_value(val, out, false);
    }
  } else {
    std::vector<const std::pair<std::string, Value>*> members;
    members.reserve(obj.size());
    for (const auto& m : obj) members.push_back(&m);
    std::stable_sort(members.begin(), members.end(),
                     [](const auto* a, const auto* b) { return a->first < b->first; });
    bool first = true;
    for (const auto* m : members) {
      if (!first) out->push_back(',');
      first = false;
      write_string(m->first, out);
      out->push_back(':');
      write_value(m->second, out, true);
    }
  }
  out->push_back('}');
}

void write_value(const Value& v, std::string* out, bool sorted) {
  switch (v.type()) {
    case Value::Type::kNull: out->append("null"); return;
    case Value::Type::kBool: out->append(v.as_bool() ? "true" : "false"); return;
    case Value::Type::kUint: write_uint(v.as_uint(), out); return;
    case Value::Type::kInt: write_int(v.as_int(), out); return;
    case Value::Type::kDouble: write_double(v.as_double(), out); return;
    case Value::Type::kString: write_string(v.as_string(), out); return;
    case Value::Type::kArray: {
      out->push_back('[');
      bool first = true;
      for (const Value& e : v.as_array()) {
        if (!first) out->push_back(',');
        first = false;
        write_value(e, out, sorted);
      }
      out->push_back(']');
      return;
    }
    case Value::Type::kObject: write_members(v.as_object(), out, sorted); return;
  }
}

void indent(int level, std::string* out) { out->append(static_cast<size_t>(level) * 2, ' '); }

void write_pretty(const Value& v, int level, std::string* out) {
  if (v.is_array() && !v.as_array().empty()) {
    out->append("[\n");
    bool first = true;
    for (const Value& e : v.as_array()) {
      if (!first) out->append(",\n");
      first = false;
      indent(level + 1, out);
      write_pretty(e, level + 1, out);
    }
    out->push_back('\n');
    indent(level, out);
    out->push_back(']');
  } else if (v.is_object() && !v.as_object().empty()) {
    out->append("{\n");
    bool first = true;
    for (const auto& [k, val] : v.as_object()) {
      if (!first) out->append(",\n");
      first = false;
      indent(level + 1, out);
      write_string(k, out);
      out->append(": ");
      write_pretty(val, level + 1, out);
    }
    out->push_back('\n');
    indent(level, out);
    out->push_back('}');
  } else {
    write_value(v, out, false);
  }
}

}  // namespace

void write_string(std::string_view s, std::string* out) {
  out->push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->append(run, static_cast<size_t>(p - run));
    run = p + 1;
    out->push_back('\\');
    if (c == '"' || c == '\\') {
      out->push_back(static_cast<char>(c));
    } else if (kShortEscape[c] != 0) {
      out->push_back(kShortEscape[c]);
    } else {
      out->append("u00");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xF]);
    }
  }
  out->append(run, static_cast<size_t>(end - run));
  out->push_back('"');
}

void write_uint(uint64_t u, std::string* out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, u);
  out->append(buf, static_cast<size_t>(r.ptr - buf));
}

void write_int(int64_t i, std::string* out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, i);
  out->append(buf, static_cast<size_t>(r.ptr - buf));
}

void write_double(double d, std::string* out) {
  if (!std::isfinite(d)) {
    out->append("null");
    return;
  }
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  const char* begin = buf;
  const char* end = r.ptr;
  const char* e = std::find(begin, end, 'e');
  if (e == end) {
    out->append(begin, end);
    if (std::find(begin, end, '.') == end) out->append(".0");
    return;
  }
  // "1e+300" -> "1e300", "1.5e-07" -> "1.5e-7".
  out->append(begin, e + 1);
  const char* q = e + 1;
  if (*q == '+') {
    ++q;
  } else if (*q == '-') {
    out->push_back('-');
    ++q;
  }
  while (q + 1 < end && *q == '0') ++q;
  out->append(q, end);
}

void write_compact(const Value& v, std::string* out) { write_value(v, out, false); }

std::string to_compact(const Value& v) {
  std::string out;
  write_value(v, &out, false);
  return out;
}

std::string to_pretty(const Value& v) {
  std::string out;
  write_pretty(v, 0, &out);
  return out;
}

std::string to_sorted(const Value& v) {
  std::string out;
  write_value(v, &out, true);
  return out;
}

}  // namespace quor::json
