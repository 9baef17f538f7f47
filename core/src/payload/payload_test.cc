#include "payload/payload.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "payload/json_text.h"

namespace sorvel {
namespace {

Payload num(double v) { return Payload::floating(v); }
Payload str(std::string s) { return Payload::string(std::move(s)); }

Payload nested_arrays(std::size_t depth) {
  Payload p = Payload::unsigned_integer(1);
  for (std::size_t i = 0; i < depth; ++i) p = Payload::array({std::move(p)});
  return p;
}

struct TextCase {
  const char* name;
  Payload value;
  std::string text;
};

TEST(PayloadTest, CompactTextForms) {
  const TextCase cases[] = {
      {"null", Payload(), "null"},
      {"true", Payload::boolean(true), "true"},
      {"false", Payload::boolean(false), "false"},
      {"zero", Payload::unsigned_integer(0), "0"},
      {"u64 max", Payload::unsigned_integer(std::numeric_limits<std::uint64_t>::max()),
       "18446744073709551615"},
      {"i64 min", Payload::integer(std::numeric_limits<std::int64_t>::min()),
       "-9223372036854775808"},
      {"float 2.5", num(2.5), "2.5"},
      {"float 1.0", num(1.0), "1.0"},
      {"float 100.0", num(100.0), "100.0"},
      {"float 0.001234", num(0.001234), "0.001234"},
      {"float 1e15 stays fixed", num(1e15), "1000000000000000.0"},
      {"float 1e16", num(1e16), "1e+16"},
      {"float 1e-5 stays fixed", num(1e-5), "0.00001"},
      {"float 1e-6", num(1e-6), "1e-6"},
      {"float 1.5e-7", num(1.5e-7), "1.5e-7"},
      {"float 1.2345e300", num(1.2345e300), "1.2345e+300"},
      {"float max", num(std::numeric_limits<double>::max()), "1.7976931348623157e+308"},
      {"float min subnormal", num(5e-324), "5e-324"},
      {"float 0.1 shortest", num(0.1), "0.1"},
      {"float zero", num(0.0), "0.0"},
      {"float negative zero", num(-0.0), "-0.0"},
      {"float negative", num(-2.5e20), "-2.5e+20"},
      {"string escapes", str("q\"b\\\b\t\n\f\r\x01\x1f\x7f\xc3\xa9/"),
       "\"q\\\"b\\\\\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xc3\xa9/\""},
      {"array of 17 bytes",
       Payload::array({Payload::unsigned_integer(1), num(2.5), Payload::boolean(true), Payload()}),
       "[1,2.5,true,null]"},
      {"keys sorted by bytes",
       Payload::object({{"b", Payload::unsigned_integer(1)},
                        {"a", Payload::unsigned_integer(2)},
                        {"\xc3\xa9", Payload()},
                        {"B", Payload()}}),
       "{\"B\":null,\"a\":2,\"b\":1,\"\xc3\xa9\":null}"},
      {"later duplicate key wins",
       Payload::object({{"k", Payload::unsigned_integer(1)}, {"k", Payload::unsigned_integer(2)}}),
       "{\"k\":2}"},
      {"nested empty containers",
       Payload::object({{"x", Payload::array({})}, {"y", Payload::object({})}}),
       "{\"x\":[],\"y\":{}}"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value.to_compact_text(), c.text);
    // The text reads back to the same value, number forms included.
    auto back = Payload::from_text(c.text);
    ASSERT_TRUE(back.has_value()) << back.error().display();
    EXPECT_EQ(*back, c.value);
    EXPECT_EQ(back->kind(), c.value.kind());
  }
}

TEST(PayloadTest, NegativeZeroKeepsItsSignThroughText) {
  auto back = Payload::from_text(num(-0.0).to_compact_text());
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(std::signbit(back->as_float()));
}

struct ReadCase {
  const char* text;
  Payload expected;
};

TEST(PayloadTest, ReaderNumberFormsAndWhitespace) {
  const ReadCase cases[] = {
      {"1", Payload::unsigned_integer(1)},
      {"1.0", num(1.0)},
      {"1e0", num(1.0)},
      {"-1", Payload::integer(-1)},
      {"-0", Payload::unsigned_integer(0)},
      {"18446744073709551616", num(18446744073709551616.0)},
      {"-9223372036854775808", Payload::integer(std::numeric_limits<std::int64_t>::min())},
      {"-9223372036854775809", num(-9223372036854775809.0)},
      {"1e-400", num(0.0)},
      {"-1E+2", num(-100.0)},
      {" \t\r\n[1 , 2]\n ",
       Payload::array({Payload::unsigned_integer(1), Payload::unsigned_integer(2)})},
      {"\"\\u00e9\\ud83d\\ude00\\/\"", str("\xc3\xa9\xf0\x9f\x98\x80/")},
      {"\"a\\u0000b\"", str(std::string("a\0b", 3))},
      {"{\"b\":1,\"a\":{\"c\":[]}}",
       Payload::object({{"a", Payload::object({{"c", Payload::array({})}})},
                        {"b", Payload::unsigned_integer(1)}})},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = Payload::from_text(c.text);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(*got, c.expected);
    EXPECT_EQ(got->kind(), c.expected.kind());
  }
}

struct FailCase {
  std::string text;
  std::string message;
};

TEST(PayloadTest, ReaderFailureTextsAndPositions) {
  const FailCase cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":\n  x}", "expected value at line 2 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nux", "expected ident at line 1 column 3"},
      {"[tru]", "expected ident at line 1 column 5"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"01", "invalid number at line 1 column 2"},
      {"[-01]", "invalid number at line 1 column 4"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"[1e400]", "number out of range at line 1 column 6"},
      {"\"ab", "EOF while parsing a string at line 1 column 3"},
      {"\"\\q\"", "invalid escape at line 1 column 3"},
      {"\"\\u12x4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"a\x01\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 3"},
      {std::string("[\"a\0\"]", 5),
       "control character (\\u0000-\\u001F) found while parsing a "
       "string at line 1 column 4"},
      {std::string("[1]\0", 4), "trailing characters at line 1 column 4"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 7"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
      {"{\"\xc3\"", "invalid unicode code point at line 1 column 4"},
      {std::string(129, '[') + std::string(129, ']'),
       "recursion limit exceeded at line 1 column 129"},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = Payload::from_text(c.text);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(got.error().display(), "serialization error: " + c.message);
  }
}

TEST(PayloadTest, DeepestAcceptedPayloadReadsBack) {
  const Payload deepest = nested_arrays(kMaxJsonDepth);
  EXPECT_TRUE(check_payload_nesting(deepest).has_value());
  auto back = Payload::from_text(deepest.to_compact_text());
  ASSERT_TRUE(back.has_value()) << back.error().display();
  EXPECT_EQ(*back, deepest);

  // Objects count as levels too.
  Payload objects = Payload::unsigned_integer(1);
  for (std::size_t i = 0; i < kMaxJsonDepth; ++i) objects = Payload::object({{"k", objects}});
  EXPECT_TRUE(Payload::from_text(objects.to_compact_text()).has_value());
}

TEST(PayloadTest, NestingBeyondTheLimitIsRefused) {
  const auto refused = check_payload_nesting(nested_arrays(kMaxJsonDepth + 1));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(),
            "invalid configuration: payload nests arrays and objects deeper than 128 levels");
  EXPECT_FALSE(nests_deeper_than(Payload::unsigned_integer(1), 0));
  EXPECT_TRUE(nests_deeper_than(Payload::array({}), 0));
}

TEST(PayloadTest, EqualityKeepsNumberFormsApart) {
  EXPECT_FALSE(Payload::unsigned_integer(1) == num(1.0));
  EXPECT_TRUE(num(0.0) == num(-0.0));
  EXPECT_FALSE(Payload() == Payload::boolean(false));
  EXPECT_FALSE(Payload::array({Payload()}) == Payload::array({}));
  EXPECT_FALSE(Payload::object({{"a", Payload()}}) == Payload::object({{"b", Payload()}}));
}

TEST(PayloadTest, FindAndSetKeepKeysSorted) {
  Payload p = Payload::object({});
  p.set("m", Payload::unsigned_integer(1));
  p.set("a", Payload::unsigned_integer(2));
  p.set("m", Payload::unsigned_integer(3));
  EXPECT_EQ(p.to_compact_text(), "{\"a\":2,\"m\":3}");
  ASSERT_NE(p.find("a"), nullptr);
  EXPECT_EQ(p.find("a")->as_unsigned(), 2u);
  EXPECT_EQ(p.find("z"), nullptr);
  EXPECT_EQ(Payload::unsigned_integer(1).find("a"), nullptr);
}

TEST(JsonTextTest, FloatPlainText) {
  const std::pair<double, const char*> cases[] = {
      {3.0, "3.0"}, {1e300, nullptr}, {1.5e-7, "0.00000015"}, {-0.0, "-0.0"}, {123.25, "123.25"},
  };
  for (const auto& [value, text] : cases) {
    if (text == nullptr) {
      const std::string s = float_plain_text(value);
      EXPECT_EQ(s, "1" + std::string(300, '0') + ".0");
    } else {
      EXPECT_EQ(float_plain_text(value), text);
    }
  }
}

// The "found" part of the type and value failures, from the number's text as the reader sees it.
TEST(JsonTextTest, DescribeNumberNamesTheForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"5", "integer `5`"},
      {"-7", "integer `-7`"},
      {"-0", "integer `0`"},
      {"-9223372036854775808", "integer `-9223372036854775808`"},
      {"1e3", "floating point `1000.0`"},
      {"18446744073709551616", "floating point `18446744073709552000.0`"},
  };
  for (const auto& [raw, text] : cases) {
    const std::optional<JsonNumber> n = classify_json_number(raw);
    ASSERT_TRUE(n.has_value()) << raw;
    EXPECT_EQ(describe_number(*n), text) << raw;
  }
}

}  // namespace
}  // namespace sorvel
