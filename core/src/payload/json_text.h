#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db_error.h"

// The JSON text layer shared by the payload reader and the "meta.json" reader: a pull of events out
// of RapidJSON's SAX reader with the byte offsets of every token, our own failure texts and
// positions for syntax errors, number classification, and the string writer.

namespace sorvel {

// Containers (arrays and objects) nested deeper than this are refused wherever JSON values come in:
// payloads and filters from callers, payload text at log replay, "meta.json". One bound for all,
// so that every payload accepted from a caller reads back at replay.
inline constexpr std::size_t kMaxJsonDepth = 128;

// A failure with its text and the byte index it is reported at. The position shown to users is
// the line and column of that index: the line counts the line feeds before it, the column the bytes
// between the last line feed before it and the index.
struct JsonFailure {
  std::string message;
  std::size_t index = 0;
};

struct JsonPosition {
  std::uint64_t line = 1;
  std::uint64_t column = 0;
};
JsonPosition json_position(std::string_view text, std::size_t index);

// Serialization "{message} at line {} column {}".
DbError json_failure_error(std::string_view text, const JsonFailure& failure);

// A JSON number in one of three forms, as its text decides: no point and no exponent reads as an
// integer (non-negative as u64, negative as i64 when it fits; "-0" is the integer 0), anything
// else, and integers beyond both ranges, as a double.
struct JsonNumber {
  enum class Form : std::uint8_t { Unsigned, Negative, Float };
  Form form = Form::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;
};
// Classifies a syntactically valid number text. Empty when its magnitude exceeds the double range
// ("number out of range"); magnitudes below the smallest subnormal read as a signed zero.
std::optional<JsonNumber> classify_json_number(std::string_view raw);

// Receives the events of one JSON text in document order. `begin` is the index of a token's first
// byte and `end` one past its last byte. A method returns false to stop the parse; it must then
// have called fail(). Strings and keys arrive unescaped and valid UTF-8 (a string that is not fails
// with "invalid unicode code point" at its closing quote); numbers arrive as their source text,
// already checked against the grammar but not against the range of any type.
class JsonEventSink {
 public:
  virtual ~JsonEventSink() = default;

  virtual bool null_value(std::size_t begin, std::size_t end) = 0;
  virtual bool bool_value(bool value, std::size_t begin, std::size_t end) = 0;
  virtual bool number_value(std::string_view raw, std::size_t begin, std::size_t end) = 0;
  virtual bool string_value(std::string_view value, std::size_t end) = 0;
  virtual bool key(std::string_view name, std::size_t end) = 0;
  virtual bool start_object(std::size_t begin) = 0;
  virtual bool end_object(std::size_t end) = 0;
  virtual bool start_array(std::size_t begin) = 0;
  virtual bool end_array(std::size_t end) = 0;

  void fail(std::string message, std::size_t index) { failure_ = {std::move(message), index}; }
  std::optional<JsonFailure>& failure() { return failure_; }

 private:
  std::optional<JsonFailure> failure_;
};

// Parses `text` as exactly one JSON value followed by nothing but whitespace, feeding `sink`.
// Returns the first failure: the sink's, or a syntax failure ("expected value", "EOF while parsing
// an object", "trailing characters", ...), or "recursion limit exceeded" at the container that
// would be the (kMaxJsonDepth + 1)-th level. Recursion is bounded by that depth.
std::optional<JsonFailure> parse_json_events(std::string_view text, JsonEventSink& sink);

// Index of the first byte at or after `i` that is not JSON whitespace (space, tab, LF, CR).
std::size_t skip_json_whitespace(std::string_view text, std::size_t i);

// Appends `value` as a JSON string: the quote and the backslash behind a backslash, U+0008,
// U+0009, U+000A, U+000C and U+000D as \b \t \n \f \r, other bytes below 0x20 as \u00xx (lower-case
// hex), every other byte as it is.
void append_json_string(std::string& out, std::string_view value);

// The descriptions of a value in type and value failures.
std::string describe_float(double value);             // "floating point `3.0`"
std::string describe_number(const JsonNumber& n);     // "integer `5`", or as describe_float
std::string describe_string(std::string_view value);  // "string \"a\\\"b\""
// Plain decimal notation of the shortest round-trip digits, ".0" added when there is no point:
// 1e300 is a one and 300 zeros then ".0", 1.5e-7 is 0.00000015.
std::string float_plain_text(double value);
// The payload text of a finite double: the plain form when the decimal exponent of the first digit
// lies in [-5, 15] (2.5, 100.0, 0.001234), otherwise d[.ddd]e{+|-}x (1e+16, 1.5e-7, 1.2345e+300).
std::string float_compact_text(double value);
void append_float_compact_text(std::string& out, double value);

}  // namespace sorvel
