// The JSON layer: reading (values, numbers, strings, the error table with
// its two classes and positions) and writing (compact, pretty, sorted,
// string escapes, doubles).
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "core/json/json.h"

namespace quor::json {
namespace {

Value must_parse(std::string_view text) {
  auto r = parse(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().message);
  return r.ok() ? r.value() : Value();
}

TEST(JsonRead, ScalarsAndContainers) {
  EXPECT_EQ(must_parse("null"), Value());
  EXPECT_EQ(must_parse("true"), Value(true));
  EXPECT_EQ(must_parse(" \t\r\nfalse \n"), Value(false));
  EXPECT_EQ(must_parse("\"\""), Value(""));
  EXPECT_EQ(must_parse("[]"), Value(Array{}));
  EXPECT_EQ(must_parse("{}"), Value(Object{}));
  Value v = must_parse(R"({"b":[1,-2,3.5,"x",null,{}],"a":{"c":true}})");
  ASSERT_TRUE(v.is_object());
  // Members keep their order of appearance.
  EXPECT_EQ(v.as_object()[0].first, "b");
  EXPECT_EQ(v.as_object()[1].first, "a");
  EXPECT_EQ(*v.find("b"), Value(Array{Value(1), Value(-2), Value(3.5), Value("x"), Value(),
                                      Value(Object{})}));
  EXPECT_EQ(v.find("a")->find("c")->as_bool(), true);
  EXPECT_EQ(v.find("zz"), nullptr);
  // Duplicate keys are kept; find returns the first.
  Value d = must_parse(R"({"k":1,"k":2})");
  EXPECT_EQ(d.as_object().size(), 2u);
  EXPECT_EQ(d.find("k")->as_uint(), 1u);
}

TEST(JsonRead, NumberKinds) {
  struct Case {
    const char* text;
    Value expected;
  };
  const Case cases[] = {
      {"0", Value(uint64_t{0})},
      {"-0", Value(uint64_t{0})},
      {"18446744073709551615", Value(UINT64_MAX)},
      {"18446744073709551616", Value(18446744073709551616.0)},
      {"-1", Value(int64_t{-1})},
      {"-9223372036854775808", Value(INT64_MIN)},
      {"-9223372036854775809", Value(-9223372036854775809.0)},
      {"1.5", Value(1.5)},
      {"1.0", Value(1.0)},
      {"-2.5E+3", Value(-2500.0)},
      {"1e2", Value(100.0)},
      {"1E-2", Value(0.01)},
      {"1.7976931348623157e308", Value(DBL_MAX)},
      {"5e-324", Value(5e-324)},
      {"1e-400", Value(0.0)},  // underflow reads as zero
  };
  for (const Case& c : cases) {
    Value v = must_parse(c.text);
    EXPECT_EQ(v.type(), c.expected.type()) << c.text;
    EXPECT_EQ(v, c.expected) << c.text;
  }
  Value neg_zero = must_parse("-1e-400");
  ASSERT_TRUE(neg_zero.is_double());
  EXPECT_TRUE(std::signbit(neg_zero.as_double()));
  EXPECT_TRUE(must_parse("-0.0").is_double());
}

TEST(JsonRead, StringEscapesAndUnicode) {
  struct Case {
    const char* text;
    std::string expected;
  };
  const Case cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0000")", std::string(1, '\0')},
      {R"("\u001f\u007F")", "\x1f\x7f"},
      {R"("\u00e9\u20AC")", "\xc3\xa9\xe2\x82\xac"},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {"\"h\xc3\xa9llo w\xe2\x82\xacrld \xf0\x9f\x98\x80\"", "h\xc3\xa9llo w\xe2\x82\xacrld \xf0\x9f\x98\x80"},
      {"\"\xf4\x8f\xbf\xbf\"", "\xf4\x8f\xbf\xbf"},  // U+10FFFF
      {"\"\xef\xbf\xbf\"", "\xef\xbf\xbf"},          // U+FFFF
      {"\"a long string without escapes, longer than a word\"",
       "a long string without escapes, longer than a word"},
      {R"("escape late in a long string\n")", "escape late in a long string\n"},
  };
  for (const Case& c : cases) {
    Value v = must_parse(c.text);
    ASSERT_TRUE(v.is_string()) << c.text;
    EXPECT_EQ(v.as_string(), c.expected) << c.text;
  }
  // A key with escapes is decoded like any string.
  EXPECT_NE(must_parse(R"({"\u0074ype":1})").find("type"), nullptr);
}

TEST(JsonRead, NestingLimitIs128) {
  const std::string ok = std::string(128, '[') + std::string(128, ']');
  EXPECT_TRUE(parse(ok).ok());
  const std::string deep = std::string(129, '[') + std::string(129, ']');
  auto r = parse(deep);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "recursion limit exceeded at line 1 column 129");
  EXPECT_FALSE(r.error().is_eof());
  std::string objects;
  for (int i = 0; i < 129; ++i) objects += "{\"a\":";
  auto o = parse(objects);
  ASSERT_FALSE(o.ok());
  EXPECT_EQ(o.error().message, "recursion limit exceeded at line 1 column 641");
}

struct ErrorCase {
  std::string text;
  ParseError::Class error_class;
  std::string message;  // with the position suffix
  uint64_t line;
  uint64_t column;
};

constexpr auto kEof = ParseError::Class::kEof;
constexpr auto kData = ParseError::Class::kData;

void check_errors(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    auto r = parse(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    const ParseError& e = r.error();
    EXPECT_EQ(e.message, c.message) << c.text;
    EXPECT_EQ(e.error_class, c.error_class) << c.text;
    EXPECT_EQ(e.line, c.line) << c.text;
    EXPECT_EQ(e.column, c.column) << c.text;
  }
}

TEST(JsonRead, EndOfInputErrors) {
  check_errors({
      {"", kEof, "EOF while parsing a value at line 1 column 1", 1, 1},
      {"   ", kEof, "EOF while parsing a value at line 1 column 4", 1, 4},
      {"[", kEof, "EOF while parsing a list at line 1 column 2", 1, 2},
      {"[1", kEof, "EOF while parsing a list at line 1 column 3", 1, 3},
      {"[1,", kEof, "EOF while parsing a value at line 1 column 4", 1, 4},
      {"{", kEof, "EOF while parsing an object at line 1 column 2", 1, 2},
      {"{\"a\"", kEof, "EOF while parsing an object at line 1 column 5", 1, 5},
      {"{\"a\":", kEof, "EOF while parsing a value at line 1 column 6", 1, 6},
      {"{\"a\":1", kEof, "EOF while parsing an object at line 1 column 7", 1, 7},
      {"{\"a\":1,", kEof, "EOF while parsing an object at line 1 column 8", 1, 8},
      {"\"ab", kEof, "EOF while parsing a string at line 1 column 4", 1, 4},
      {"{\"ab", kEof, "EOF while parsing a string at line 1 column 5", 1, 5},
      {"\"a\\", kEof, "EOF while parsing a string at line 1 column 4", 1, 4},
      {"\"\\u12", kEof, "EOF while parsing a string at line 1 column 6", 1, 6},
      {"\"\\ud800", kEof, "EOF while parsing a string at line 1 column 8", 1, 8},
      {"\"\\ud800\\", kEof, "EOF while parsing a string at line 1 column 9", 1, 9},
      {"\"\xe2\x82", kEof, "EOF while parsing a string at line 1 column 4", 1, 4},
      {"-", kEof, "EOF while parsing a value at line 1 column 2", 1, 2},
      {"1.", kEof, "EOF while parsing a value at line 1 column 3", 1, 3},
      {"1e", kEof, "EOF while parsing a value at line 1 column 3", 1, 3},
      {"1e+", kEof, "EOF while parsing a value at line 1 column 4", 1, 4},
      {"tr", kEof, "EOF while parsing a value at line 1 column 3", 1, 3},
      {"nul", kEof, "EOF while parsing a value at line 1 column 4", 1, 4},
  });
}

TEST(JsonRead, DataErrors) {
  check_errors({
      {"[1] x", kData, "trailing characters at line 1 column 5", 1, 5},
      {"{}{}", kData, "trailing characters at line 1 column 3", 1, 3},
      {"1 2", kData, "trailing characters at line 1 column 3", 1, 3},
      {"01", kData, "leading zeros are not allowed at line 1 column 1", 1, 1},
      {"[-012]", kData, "leading zeros are not allowed at line 1 column 3", 1, 3},
      {"NaN", kData, "expected value at line 1 column 1", 1, 1},
      {"[Infinity]", kData, "expected value at line 1 column 2", 1, 2},
      {"-Infinity", kData, "invalid number at line 1 column 1", 1, 1},
      {"+1", kData, "expected value at line 1 column 1", 1, 1},
      {".5", kData, "expected value at line 1 column 1", 1, 1},
      {"1.e5", kData, "invalid number at line 1 column 3", 1, 3},
      {"1e+x", kData, "invalid number at line 1 column 4", 1, 4},
      {"1e999", kData, "number out of range at line 1 column 1", 1, 1},
      {"[-1.5e400]", kData, "number out of range at line 1 column 2", 1, 2},
      {"\"a\x01\"", kData,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3", 1, 3},
      {"\"a\tb\"", kData,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3", 1, 3},
      {"\"a\nb\"", kData,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3", 1, 3},
      {"\"\xff\"", kData, "invalid UTF-8 in string at line 1 column 2", 1, 2},
      {"\"\x80\"", kData, "invalid UTF-8 in string at line 1 column 2", 1, 2},
      {"\"\xc0\xaf\"", kData, "invalid UTF-8 in string at line 1 column 2", 1, 2},
      {"\"\xe0\x80\xaf\"", kData, "invalid UTF-8 in string at line 1 column 2", 1, 2},
      {"\"\xed\xa0\x80\"", kData, "invalid UTF-8 in string at line 1 column 2", 1, 2},
      {"\"\xf4\x90\x80\x80\"", kData, "invalid UTF-8 in string at line 1 column 2", 1, 2},
      {"\"ab\xc3(\"", kData, "invalid UTF-8 in string at line 1 column 4", 1, 4},
      {"\"\\ud800\"", kData, "lone surrogate in unicode escape at line 1 column 2", 1, 2},
      {"\"\\udc00\"", kData, "lone surrogate in unicode escape at line 1 column 2", 1, 2},
      {"\"\\ud800\\u0041\"", kData, "lone surrogate in unicode escape at line 1 column 2", 1, 2},
      {"\"\\ud800\\n\"", kData, "lone surrogate in unicode escape at line 1 column 2", 1, 2},
      {"\"\\x\"", kData, "invalid escape at line 1 column 2", 1, 2},
      {"\"\\u12g4\"", kData, "invalid escape at line 1 column 2", 1, 2},
      {"{1:2}", kData, "key must be a string at line 1 column 2", 1, 2},
      {"{\"a\" 1}", kData, "expected `:` at line 1 column 6", 1, 6},
      {"{\"a\":1 \"b\":2}", kData, "expected `,` or `}` at line 1 column 8", 1, 8},
      {"[1 2]", kData, "expected `,` or `]` at line 1 column 4", 1, 4},
      {"[1,]", kData, "trailing comma at line 1 column 4", 1, 4},
      {"{\"a\":1,}", kData, "trailing comma at line 1 column 8", 1, 8},
      {"]", kData, "expected value at line 1 column 1", 1, 1},
      {"{\"a\":}", kData, "expected value at line 1 column 6", 1, 6},
      {"trUe", kData, "expected `true` at line 1 column 1", 1, 1},
      {"[nulL]", kData, "expected `null` at line 1 column 2", 1, 2},
      {"falsy", kData, "expected `false` at line 1 column 1", 1, 1},
      {std::string("\0", 1), kData, "expected value at line 1 column 1", 1, 1},
      {"\xef\xbb\xbf{}", kData, "expected value at line 1 column 1", 1, 1},
  });
}

TEST(JsonRead, PositionsOnLaterLinesOfPrettyText) {
  const std::string text = "{\n  \"a\": [\n    1,\n    x\n  ]\n}";
  const std::string torn = "{\n  \"a\": [\n    1,";
  const std::string torn_string = "{\n  \"a\": \"abc";
  check_errors({
      {text, kData, "expected value at line 4 column 5", 4, 5},
      {torn, kEof, "EOF while parsing a value at line 3 column 7", 3, 7},
      {torn_string, kEof, "EOF while parsing a string at line 2 column 12", 2, 12},
      {"{\n  \"a\": 1\n}\n\n  x", kData, "trailing characters at line 5 column 3", 5, 3},
      {"[\n\n", kEof, "EOF while parsing a list at line 3 column 1", 3, 1},
  });
}

TEST(JsonWrite, StringEscapes) {
  // Every control character, then the two characters that must be escaped.
  for (int c = 0; c < 0x20; ++c) {
    std::string expected;
    switch (c) {
      case '\b': expected = "\\b"; break;
      case '\f': expected = "\\f"; break;
      case '\n': expected = "\\n"; break;
      case '\r': expected = "\\r"; break;
      case '\t': expected = "\\t"; break;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        expected = buf;
      }
    }
    std::string out;
    write_string(std::string(1, static_cast<char>(c)), &out);
    EXPECT_EQ(out, "\"" + expected + "\"") << "char " << c;
  }
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"/", R"("/")"},
      {"\x7f", "\"\x7f\""},
      {"\x1b[0m", R"("\u001b[0m")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"a\"b\\c\nd\te", R"("a\"b\\c\nd\te")"},
      {std::string("x\0y", 3), R"("x\u0000y")"},
  };
  for (const Case& c : cases) {
    std::string out;
    write_string(c.in, &out);
    EXPECT_EQ(out, c.out);
    // And it reads back.
    EXPECT_EQ(must_parse(out), Value(c.in));
  }
}

TEST(JsonWrite, Doubles) {
  struct Case {
    double d;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.5, "0.5"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {100.0, "100.0"},
      {123456.789, "123456.789"},
      {1e300, "1e300"},
      {1e21, "1e21"},
      {1.5e-7, "1.5e-7"},
      {1e-300, "1e-300"},
      {5e-324, "5e-324"},
      {DBL_MAX, "1.7976931348623157e308"},
      {18446744073709551616.0, "18446744073709551616.0"},
      {1.8446744073709552e25, "1.8446744073709552e25"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
  };
  for (const Case& c : cases) {
    std::string out;
    write_double(c.d, &out);
    EXPECT_EQ(out, c.text);
  }
}

TEST(JsonWrite, DoublesReadBackExactlyAndStayFloats) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    std::string text;
    write_double(d, &text);
    Value v = must_parse(text);
    ASSERT_TRUE(v.is_double()) << text;
    uint64_t back;
    const double b = v.as_double();
    std::memcpy(&back, &b, sizeof back);
    EXPECT_EQ(back, bits) << text;
  }
  // Whole numbers too, which must not read back as integers.
  for (double d : {1.0, 2.0, 1e15, 1e16, 9007199254740993.0, 1e22, -3.0}) {
    std::string text;
    write_double(d, &text);
    Value v = must_parse(text);
    ASSERT_TRUE(v.is_double()) << text;
    EXPECT_EQ(v.as_double(), d);
  }
}

TEST(JsonWrite, CompactPrettySorted) {
  Value v(Object{
      {"b", Value(Array{Value(1), Value(int64_t{-2}), Value(2.5), Value(), Value(true)})},
      {"a", Value(Object{{"z", Value("s")}, {"y", Value(Object{})}, {"x", Value(Array{})}})},
      {"B", Value(false)},
  });
  EXPECT_EQ(to_compact(v), R"({"b":[1,-2,2.5,null,true],"a":{"z":"s","y":{},"x":[]},"B":false})");
  EXPECT_EQ(to_sorted(v), R"({"B":false,"a":{"x":[],"y":{},"z":"s"},"b":[1,-2,2.5,null,true]})");
  EXPECT_EQ(to_pretty(v),
            "{\n"
            "  \"b\": [\n"
            "    1,\n"
            "    -2,\n"
            "    2.5,\n"
            "    null,\n"
            "    true\n"
            "  ],\n"
            "  \"a\": {\n"
            "    \"z\": \"s\",\n"
            "    \"y\": {},\n"
            "    \"x\": []\n"
            "  },\n"
            "  \"B\": false\n"
            "}");
  EXPECT_EQ(to_pretty(Value(Object{})), "{}");
  EXPECT_EQ(to_pretty(Value(Array{})), "[]");
  EXPECT_EQ(to_pretty(Value(7)), "7");
  // Sorting is by bytes and reaches objects inside arrays.
  Value nested(Array{Value(Object{{"\xc3\xa9", Value(1)}, {"z", Value(2)}, {"Z", Value(3)}})});
  EXPECT_EQ(to_sorted(nested), "[{\"Z\":3,\"z\":2,\"\xc3\xa9\":1}]");
  // Every writer's output reads back to the value (sorted: to the sorted value).
  EXPECT_EQ(must_parse(to_compact(v)), v);
  EXPECT_EQ(must_parse(to_pretty(v)), v);
  EXPECT_EQ(to_sorted(must_parse(to_sorted(v))), to_sorted(v));
}

TEST(JsonValue, IntegerConstructorsNormalise) {
  EXPECT_TRUE(Value(5).is_uint());
  EXPECT_TRUE(Value(int64_t{0}).is_uint());
  EXPECT_TRUE(Value(-5).is_int());
  EXPECT_EQ(Value(5), Value(uint64_t{5}));
  Value o(Object{});
  o.set("k", Value("v"));
  EXPECT_EQ(to_compact(o), R"({"k":"v"})");
  EXPECT_EQ(Value(3).find("k"), nullptr);
}

}  // namespace
}  // namespace quor::json
