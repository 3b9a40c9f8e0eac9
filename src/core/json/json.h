// A small, strict JSON layer: a value type, a reader that reports its
// position and tells end-of-input errors from the rest, and writers for
// the compact, pretty and key-sorted forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/result.h"

namespace quor::json {

class Value;
using Array = std::vector<Value>;
// Members in insertion order; lookups are linear (objects are small).
using Object = std::vector<std::pair<std::string, Value>>;

class Value {
 public:
  enum class Type : uint8_t { kNull, kBool, kUint, kInt, kDouble, kString, kArray, kObject };

  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(uint64_t u) : v_(u) {}
  Value(int64_t i);  // non-negative values are stored as kUint
  Value(int i) : Value(static_cast<int64_t>(i)) {}
  Value(unsigned u) : v_(static_cast<uint64_t>(u)) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool is_null() const { return type() == Type::kNull; }
  bool is_bool() const { return type() == Type::kBool; }
  bool is_uint() const { return type() == Type::kUint; }
  bool is_int() const { return type() == Type::kInt; }  // negative integers only
  bool is_double() const { return type() == Type::kDouble; }
  bool is_number() const { return is_uint() || is_int() || is_double(); }
  bool is_string() const { return type() == Type::kString; }
  bool is_array() const { return type() == Type::kArray; }
  bool is_object() const { return type() == Type::kObject; }

  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_uint() const { return std::get<uint64_t>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // Object member lookup (first match); nullptr when absent or not an object.
  const Value* find(std::string_view key) const;
  // Appends a member to an object value (no duplicate check).
  void set(std::string key, Value v);

  bool operator==(const Value&) const = default;

 private:
  std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

// A reader error. `message` is the full text, ending with
// " at line {} column {}" (1-based; the column counts bytes, and an
// end-of-input error points just past the last byte).
struct ParseError {
  enum class Class : uint8_t { kEof, kData };
  Class error_class = Class::kData;
  std::string message;
  uint64_t line = 0;
  uint64_t column = 0;
  bool is_eof() const { return error_class == Class::kEof; }
};

// Strict RFC 8259: exactly one value, only whitespace around it, nesting at
// most 128 deep, valid UTF-8, no lone surrogates.
Result<Value, ParseError> parse(std::string_view text);

// Compact: no spaces or newlines. Appends to *out.
void write_compact(const Value& v, std::string* out);
std::string to_compact(const Value& v);
// Pretty with a two-space indent; an empty object or array is "{}" / "[]".
std::string to_pretty(const Value& v);
// Compact with object keys in ascending byte order at every depth.
std::string to_sorted(const Value& v);

// Appends s as a JSON string literal (quotes included) with the log's
// escaping rules: only the quotation mark, the backslash and U+0000 to
// U+001F are escaped; everything else is copied as it is.
void write_string(std::string_view s, std::string* out);

// Number texts. A double is written in the shortest form that reads back as
// the same value and still reads as a floating-point number ("1.0", "1e300",
// "-0.0"); non-finite values, which JSON cannot hold, are written as null.
void write_uint(uint64_t u, std::string* out);
void write_int(int64_t i, std::string* out);
void write_double(double d, std::string* out);

}  // namespace quor::json
