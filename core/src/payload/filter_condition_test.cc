#include "payload/filter_condition.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvel {
namespace {

// Filters and payloads are written as JSON text here for readability.
Payload json(const std::string& text) {
  auto p = Payload::from_text(text);
  EXPECT_TRUE(p.has_value()) << text;
  return p.has_value() ? *p : Payload();
}

constexpr const char* kOps = "one of `$eq`, `$ne`, `$in`, `$gt`, `$gte`, `$lt`, `$lte`";

TEST(FilterConditionTest, ParseErrors) {
  const std::pair<std::string, std::string> cases[] = {
      {"[]", "invalid type: sequence, expected a map"},
      {"null", "invalid type: unit value, expected a map"},
      {"5", "invalid type: integer `5`, expected a map"},
      {"{\"$and\": 3}", "invalid type: integer `3`, expected a sequence"},
      {"{\"$or\": {\"a\": 1}}", "invalid type: map, expected a sequence"},
      {"{\"$and\": [{\"a\": 5}]}", "invalid type: integer `5`, expected string or map"},
      {"{}", "FilterCondition must be $and, $or, or a single field predicate"},
      {"{\"a\": {\"$eq\": 1}, \"b\": {\"$eq\": 1}}",
       "FilterCondition must be $and, $or, or a single field predicate"},
      {"{\"age\": 5}", "invalid type: integer `5`, expected string or map"},
      {"{\"a\": -7}", "invalid type: integer `-7`, expected string or map"},
      {"{\"a\": 3.0}", "invalid type: floating point `3.0`, expected string or map"},
      {"{\"a\": 1.5e-7}", "invalid type: floating point `0.00000015`, expected string or map"},
      {"{\"a\": true}", "invalid type: boolean `true`, expected string or map"},
      {"{\"a\": null}", "invalid type: unit value, expected string or map"},
      {"{\"a\": [1]}", "invalid type: sequence, expected string or map"},
      {"{\"a\": {}}", "invalid value: map, expected map with a single key"},
      {"{\"a\": {\"$eq\": 1, \"$ne\": 2}}", "invalid value: map, expected map with a single key"},
      {"{\"a\": \"$eq\"}", "invalid type: unit variant, expected newtype variant"},
      {"{\"a\": \"x\\\"y\"}", std::string("unknown variant `x\"y`, expected ") + kOps},
      {"{\"a\": {\"$EQ\": 1}}", std::string("unknown variant `$EQ`, expected ") + kOps},
      {"{\"a\": {\"$in\": 3}}", "invalid type: integer `3`, expected a sequence"},
      {"{\"a\": {\"$in\": \"x\\n\"}}", "invalid type: string \"x\\n\", expected a sequence"},
  };
  for (const auto& [filter, message] : cases) {
    SCOPED_TRACE(filter);
    auto parsed = FilterCondition::deserialize(json(filter));
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), message);
  }
}

TEST(FilterConditionTest, ParseShapes) {
  // "$and" wins over "$or" and over any other key.
  auto both = FilterCondition::deserialize(json("{\"$or\": [], \"$and\": [], \"x\": 1}"));
  ASSERT_TRUE(both.has_value());
  EXPECT_EQ(both->kind(), FilterCondition::Kind::And);
  // A key starting with a dollar sign is an ordinary path.
  auto dollar = FilterCondition::deserialize(json("{\"$x\": {\"$gte\": 2}}"));
  ASSERT_TRUE(dollar.has_value());
  EXPECT_EQ(dollar->kind(), FilterCondition::Kind::Field);
  EXPECT_EQ(dollar->field(), "$x");
  EXPECT_EQ(dollar->op(), FilterOp::Gte);
  EXPECT_EQ(dollar->operand(), Payload::unsigned_integer(2));
  auto in = FilterCondition::deserialize(json("{\"a\": {\"$in\": [1, \"a\"]}}"));
  ASSERT_TRUE(in.has_value());
  EXPECT_EQ(in->operands().size(), 2u);
}

TEST(FilterConditionTest, DeepFilterIsRefused) {
  Payload deep = json("{\"a\": {\"$eq\": 1}}");
  for (int i = 0; i < 70; ++i) deep = Payload::object({{"$and", Payload::array({deep})}});
  auto parsed = FilterCondition::deserialize(deep);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error(), "filter nests arrays and objects deeper than 128 levels");
  auto checked = check_filter_nesting(deep);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(checked.error().display(),
            "invalid configuration: filter nests arrays and objects deeper than 128 levels");
}

struct MatchCase {
  const char* filter;
  const char* payload;  // nullptr: a hit without payload, tested as null
  bool expected;
};

TEST(FilterConditionTest, Evaluation) {
  const MatchCase cases[] = {
      {"{\"$and\": []}", "{\"a\": 1}", true},
      {"{\"$and\": []}", nullptr, true},
      {"{\"$or\": []}", "{\"a\": 1}", false},
      {"{\"$or\": []}", nullptr, false},
      {"{\"price\": {\"$eq\": 1}}", "{\"price\": 1.0}", false},
      {"{\"price\": {\"$eq\": 1}}", "{\"price\": 1}", true},
      {"{\"price\": {\"$gte\": 1}}", "{\"price\": 1.0}", true},
      {"{\"price\": {\"$lte\": 1}}", "{\"price\": 1.0}", true},
      {"{\"price\": {\"$gt\": -1}}", "{\"price\": 0}", true},
      {"{\"price\": {\"$lt\": 2.5}}", "{\"price\": 18446744073709551615}", false},
      {"{\"a\": {\"$in\": [1, \"a\"]}}", "{\"a\": 1}", true},
      {"{\"a\": {\"$in\": [1, \"a\"]}}", "{\"a\": \"a\"}", true},
      {"{\"a\": {\"$in\": [1, \"a\"]}}", "{\"a\": 1.0}", false},
      {"{\"a\": {\"$in\": [1, \"a\"]}}", "{\"a\": \"b\"}", false},
      {"{\"a\": {\"$in\": []}}", "{\"a\": 1}", false},
      {"{\"color\": {\"$ne\": \"red\"}}", "{\"color\": \"blue\"}", true},
      {"{\"color\": {\"$ne\": \"red\"}}", "{\"color\": \"red\"}", false},
      {"{\"color\": {\"$ne\": \"red\"}}", "{\"size\": 1}", false},
      {"{\"color\": {\"$ne\": \"red\"}}", nullptr, false},
      {"{\"a.b\": {\"$eq\": 1}}", "{\"a\": {\"b\": 1}}", true},
      {"{\"a.b\": {\"$eq\": 1}}", "{\"a.b\": 1}", false},
      {"{\"a.0\": {\"$eq\": 1}}", "{\"a\": [1]}", false},
      {"{\"a..b\": {\"$eq\": 1}}", "{\"a\": {\"\": {\"b\": 1}}}", true},
      {"{\"\": {\"$eq\": 1}}", "{\"\": 1}", true},
      {"{\"name\": {\"$gt\": \"B\"}}", "{\"name\": \"Bob\"}", true},
      {"{\"name\": {\"$gt\": \"B\"}}", "{\"name\": \"b\"}", true},
      {"{\"name\": {\"$gt\": \"B\"}}", "{\"name\": \"Alice\"}", false},
      {"{\"name\": {\"$gt\": \"B\"}}", "{\"name\": \"B\"}", false},
      {"{\"name\": {\"$gte\": \"B\"}}", "{\"name\": \"B\"}", true},
      {"{\"name\": {\"$lt\": \"\\u00e9\"}}", "{\"name\": \"z\"}", true},
      {"{\"name\": {\"$gt\": 1}}", "{\"name\": \"Bob\"}", false},
      {"{\"n\": {\"$gte\": 9007199254740993}}", "{\"n\": 9007199254740992}", true},
      {"{\"n\": {\"$lte\": 9007199254740993}}", "{\"n\": 9007199254740992}", true},
      {"{\"n\": {\"$eq\": 9007199254740993}}", "{\"n\": 9007199254740992}", false},
      {"{\"x\": {\"$eq\": null}}", "{\"x\": null}", true},
      {"{\"x\": {\"$eq\": null}}", "{\"y\": null}", false},
      {"{\"x\": {\"$eq\": {\"b\": [1, {\"c\": 2}]}}}", "{\"x\": {\"b\": [1, {\"c\": 2}]}}", true},
      {"{\"x\": {\"$eq\": [1, 2]}}", "{\"x\": [1, 2, 3]}", false},
      {"{\"$and\": [{\"a\": {\"$eq\": 1}}, {\"b\": {\"$eq\": 2}}]}", "{\"a\": 1, \"b\": 2}", true},
      {"{\"$and\": [{\"a\": {\"$eq\": 1}}, {\"b\": {\"$eq\": 2}}]}", "{\"a\": 1, \"b\": 3}", false},
      {"{\"$or\": [{\"a\": {\"$eq\": 9}}, {\"b\": {\"$eq\": 2}}]}", "{\"a\": 1, \"b\": 2}", true},
      {"{\"$or\": [{\"$and\": []}], \"a\": {\"$eq\": 5}}", "{}", true},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(std::string(c.filter) + " on " + (c.payload ? c.payload : "no payload"));
    auto parsed = FilterCondition::deserialize(json(c.filter));
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    const Payload payload = c.payload ? json(c.payload) : Payload();
    EXPECT_EQ(parsed->matches(payload), c.expected);
  }
}

}  // namespace
}  // namespace sorvel
