#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "payload/payload.h"

namespace sorvel {

// The operators of a field predicate, in the order their names are listed in messages.
enum class FilterOp : std::uint8_t { Eq, Ne, In, Gt, Gte, Lt, Lte };

// "$eq", "$ne", "$in", "$gt", "$gte", "$lt", "$lte".
std::string_view filter_op_name(FilterOp op);

// A filter over payloads: a field predicate, or an "$and" / "$or" of child conditions. Owns its
// field text, operands and children. Immutable once parsed; matches() may run on many threads.
class FilterCondition {
 public:
  enum class Kind : std::uint8_t { Field, And, Or };

  // Parses a condition from a caller's value. Errors (the text only), in the order met:
  //   not an object: invalid type: {description}, expected a map
  //   "$and" / "$or" (checked in this order; other keys are then ignored) not an array:
  //     invalid type: {description}, expected a sequence
  //   otherwise not exactly one key: FilterCondition must be $and, $or, or a single field predicate
  //   the field's value an object without exactly one key:
  //     invalid value: map, expected map with a single key
  //   the field's value an operator name as a string:
  //     invalid type: unit variant, expected newtype variant
  //   an unknown operator name (as a string or as the key): unknown variant `{name}`, expected one
  //     of `$eq`, `$ne`, `$in`, `$gt`, `$gte`, `$lt`, `$lte`
  //   the field's value neither string nor object: invalid type: {description}, expected string or
  //     map
  //   an "$in" operand that is not an array: invalid type: {description}, expected a sequence
  //   nested deeper than kMaxJsonDepth: filter nests arrays and objects deeper than 128 levels
  // A description reads "unit value", "boolean `true`", "integer `5`", "floating point `3.0`",
  // "string \"x\"", "sequence" or "map".
  static std::expected<FilterCondition, std::string> deserialize(const Payload& value);

  // Evaluates the condition against `payload` (a hit's payload, or null when it has none). "$and"
  // holds when every child holds (true when empty), "$or" when some child holds (false when empty),
  // both stopping at the first child that decides. A field predicate walks its path, split at
  // every '.', through objects only; a missing step makes it false whatever the operator. "$eq",
  // "$ne" and "$in" use payload equality; "$gt", "$gte", "$lt", "$lte" compare two numbers as
  // doubles or two strings bytewise, and are false for any other pair.
  bool matches(const Payload& payload) const;

  Kind kind() const { return kind_; }
  // Field predicates.
  const std::string& field() const { return field_; }
  FilterOp op() const { return op_; }
  // The operand of every operator but "$in".
  const Payload& operand() const { return operand_; }
  // The operand list of "$in".
  const std::vector<Payload>& operands() const { return operands_; }
  // "$and" / "$or".
  const std::vector<FilterCondition>& children() const { return children_; }

 private:
  FilterCondition() = default;
  static std::expected<FilterCondition, std::string> parse(const Payload& value);
  bool field_matches(const Payload& value) const;

  Kind kind_ = Kind::And;
  std::string field_;
  FilterOp op_ = FilterOp::Eq;
  Payload operand_;
  std::vector<Payload> operands_;
  std::vector<FilterCondition> children_;
};

// The description of a value in type and value errors ("integer `5`", "map").
std::string describe_payload(const Payload& value);

// InvalidConfig "filter nests arrays and objects deeper than 128 levels", for a filter value nested
// deeper than kMaxJsonDepth; converters that count the depth while they build the value use the
// error directly.
Result<> check_filter_nesting(const Payload& value);
DbError filter_nesting_error();

}  // namespace sorvel
