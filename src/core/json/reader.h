// A pull reader over JSON text: the building block of json::parse and of
// the typed record decoders, which read straight into their structs without
// an intermediate value tree.
//
// The reader walks the text once. The first error sticks: every later call
// fails at once. Errors carry only a byte offset; the line and column are
// computed when the error is taken, so the success path never counts lines.
// The column counts bytes from 1; an end-of-input error points just past the
// last byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json/json.h"

namespace quor::json {

// Objects and arrays may nest this deep; one more level is an error.
inline constexpr int kMaxDepth = 128;

// A number as read. Integers without fraction or exponent are kUint when
// non-negative and kInt when negative, if they fit in 64 bits; everything
// else is a double. A double that overflows is an error.
struct Number {
  enum class Kind : uint8_t { kUint, kInt, kDouble };
  Kind kind = Kind::kUint;
  bool integer_text = true;  // no fraction and no exponent (kDouble when too big)
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
};

class Reader {
 public:
  explicit Reader(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Byte offset of the read position.
  size_t offset() const { return static_cast<size_t>(p_ - begin_); }
  // Moves back to an earlier offset with the nesting depth it had there.
  void rewind(size_t offset, int depth) {
    p_ = begin_ + offset;
    depth_ = depth;
  }
  int depth() const { return depth_; }
  // The whole text being read.
  std::string_view text() const {
    return std::string_view(begin_, static_cast<size_t>(end_ - begin_));
  }

  // Skips whitespace; returns the next byte, or -1 at the end of the text.
  int peek() {
    while (p_ < end_) {
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c > ' ' || (c != ' ' && c != '\t' && c != '\n' && c != '\r')) return c;
      ++p_;
    }
    return -1;
  }
  // Like peek, at a place where a value must start: at the end of the text
  // this records "EOF while parsing a value" and returns -1.
  int peek_value() {
    const int c = peek();
    if (c < 0) fail_eof("a value");
    return c;
  }

  // ---- Errors ----
  bool failed() const { return failed_; }
  // Records "EOF while parsing {what}" at the end of the text. Returns false.
  bool fail_eof(const char* what);
  // Records a data error at a byte offset. Returns false.
  bool fail_at(size_t offset, std::string message);
  // The recorded error with its position suffix.
  ParseError error() const;

  // ---- Structure (the caller has peeked the opening byte) ----
  // Consume '{' / '[' and count one nesting level.
  bool enter_object();
  bool enter_array();
  // Moves to the next member of the object being read. Either sets *done
  // (the '}' is consumed) or sets *key and leaves the reader before the
  // member's value. The key view lasts until the next string is read.
  bool next_member(bool first, std::string_view* key, bool* done);
  // Offset of the last key returned by next_member (its opening quote).
  size_t key_offset() const { return key_offset_; }
  // Moves to the next element of the array being read; sets *done at ']'.
  bool next_element(bool first, bool* done);

  // ---- Scalars (the caller has peeked the first byte) ----
  // A string's decoded contents: a view of the text itself, or of an
  // internal buffer when the string has escapes. Valid until the next
  // string is read.
  bool read_string_view(std::string_view* out);
  bool read_string(std::string* out);
  bool read_number(Number* out);
  // true, false or null; sets *out to the value it read.
  bool read_literal(Value* out);

  // Reads and checks one value of any type, keeping nothing.
  bool skip_value();
  // Builds the value (used by json::parse).
  bool read_value(Value* out);
  // Only whitespace may follow; anything else is "trailing characters".
  bool finish();

 private:
  bool read_string_slow(const char* start, const char* s, std::string_view* out);

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_ = 0;
  size_t key_offset_ = 0;
  bool failed_ = false;
  bool eof_ = false;
  size_t error_offset_ = 0;
  std::string error_message_;
  std::string scratch_;  // decoded strings that had escapes
};

}  // namespace quor::json
