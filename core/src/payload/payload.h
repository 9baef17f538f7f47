#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "result.h"

namespace sorvel {

// A JSON value attached to a vector: null, bool, a number in one of three forms, a UTF-8 string, an
// array, or an object whose keys are unique and kept in ascending byte order.
//
// The number forms are distinct values: the unsigned integer 1 and the float 1.0 differ, and stay
// different through the compact text and back. Every integer has one form: the non-negative ones
// are Unsigned, the negative ones Negative (always below 0). Floats are finite.
//
// A value owns everything in it. Values are not thread-safe for concurrent mutation; const access
// from several threads is fine.
class Payload {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Unsigned, Negative, Float, String, Array, Object };
  using Array = std::vector<Payload>;
  using Member = std::pair<std::string, Payload>;
  using Object = std::vector<Member>;

  Payload() = default;  // null
  static Payload boolean(bool value);
  static Payload unsigned_integer(std::uint64_t value);
  // A non-negative value takes the Unsigned form, a negative one the Negative form.
  static Payload integer(std::int64_t value);
  // `value` must be finite (an invariant failure otherwise): callers map NaN and infinities first.
  static Payload floating(double value);
  static Payload string(std::string value);
  static Payload array(Array elements);
  // Sorts the members by key bytes; of two members with the same key the later one stays.
  static Payload object(Object members);

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  // Where an object's members or an array's elements lie (null for the other kinds), for a caller
  // that asks memory for them ahead of reading them.
  const void* elements() const {
    if (const auto* members = std::get_if<Object>(&value_)) return members->data();
    if (const auto* items = std::get_if<Array>(&value_)) return items->data();
    return nullptr;
  }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_number() const {
    return kind() == Kind::Unsigned || kind() == Kind::Negative || kind() == Kind::Float;
  }
  bool is_object() const { return kind() == Kind::Object; }

  // Accessors of one kind each; calling one for another kind is an invariant failure.
  bool as_bool() const;
  std::uint64_t as_unsigned() const;
  std::int64_t as_negative() const;
  double as_float() const;
  const std::string& as_string() const;
  const Array& as_array() const;
  const Object& as_object() const;
  // Any number form as the nearest double.
  double number_as_f64() const;

  // Object only: the value under `key` (exact bytes), or null when absent or not an object.
  const Payload* find(std::string_view key) const;
  // Object only: inserts or replaces `key`, keeping the order.
  void set(std::string key, Payload value);

  // Same kind and same value: numbers of the same form, floats compared as doubles, strings by
  // bytes, arrays element by element, objects key by key and value by value.
  friend bool operator==(const Payload& a, const Payload& b);

  // The compact text: no whitespace, keys in their (sorted) order, floats in their shortest
  // round-trip digits, strings with the JSON escapes for the quote, the backslash and bytes below
  // 0x20 and everything else as raw UTF-8. [1,2.5,true,null] is 17 bytes. Cannot fail.
  std::string to_compact_text() const;
  void append_compact_text(std::string& out) const;

  // Reads one JSON value followed by nothing but whitespace. A number without point and exponent
  // reads as an integer form (beyond both integer ranges: a float), any other as a float. A key
  // that occurs twice keeps the later value. Failure: Serialization "{message} at line {} column
  // {}"; containers nested deeper than kMaxJsonDepth fail with "recursion limit exceeded". Reads
  // back every payload that check_payload_nesting accepts.
  static Result<Payload> from_text(std::string_view text);

 private:
  // The alternatives in the order of Kind, so that kind() is the index.
  using Value = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string,
                             Array, Object>;
  explicit Payload(Value value) : value_(std::move(value)) {}
  void append_at_depth(std::string& out) const;

  Value value_;
};

// Whether `value` has containers nested deeper than `limit` levels ([[1]] has two). Recurses at
// most limit + 1 levels, whatever the depth of the value.
bool nests_deeper_than(const Payload& value, std::size_t limit);

// InvalidConfig "payload nests arrays and objects deeper than 128 levels" for a value nested deeper
// than kMaxJsonDepth; every payload from a caller passes here before it is stored or logged.
Result<> check_payload_nesting(const Payload& value);
// The text of that refusal, for converters that count the depth while they build a value.
DbError payload_nesting_error();

}  // namespace sorvel
