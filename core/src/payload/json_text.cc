#include "payload/json_text.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "encoding.h"
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofString = "EOF while parsing a string";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Most keys and strings are ASCII: test eight bytes at a time before the full UTF-8 check.
bool is_ascii(std::string_view s) {
  std::size_t i = 0;
  std::uint64_t bits = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    bits |= word;
  }
  for (; i < s.size(); ++i) bits |= static_cast<unsigned char>(s[i]);
  return (bits & 0x8080808080808080u) == 0;
}

bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned hex_value(char c) {
  if (is_digit(c)) return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

JsonFailure failure(std::string_view message, std::size_t index) {
  return {std::string(message), index};
}

// Shortest round-trip digits of a finite double: value = 0.d1d2... x 10^(exponent + 1).
struct Digits {
  bool negative = false;
  char digits[24];  // no leading zeros, except the single "0" of zero
  std::size_t count = 0;
  int exponent = 0;  // decimal exponent of the first digit
};

Digits shortest_digits(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  Digits d;
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  for (; *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.count++] = *p;
  }
  ++p;  // 'e'
  const bool exp_negative = *p == '-';
  ++p;  // sign
  int magnitude = 0;
  std::from_chars(p, r.ptr, magnitude);
  d.exponent = exp_negative ? -magnitude : magnitude;
  return d;
}

void append_plain(std::string& out, const Digits& d) {
  if (d.negative) out.push_back('-');
  if (d.exponent >= 0) {
    const auto int_len = static_cast<std::size_t>(d.exponent) + 1;
    if (d.count <= int_len) {
      out.append(d.digits, d.count);
      out.append(int_len - d.count, '0');
      out += ".0";
    } else {
      out.append(d.digits, int_len);
      out.push_back('.');
      out.append(d.digits + int_len, d.count - int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out.append(d.digits, d.count);
  }
}

// Walks the text after the last event the way a strict recursive-descent reader would, to name the
// syntax failure that stopped the SAX reader and the index to report it at. The events so far were
// well-formed, so the failure lies in the separators or the first token after `last_end`.
class SyntaxRescan {
 public:
  explicit SyntaxRescan(std::string_view text) : text_(text), n_(text.size()) {}

  JsonFailure value_at(std::size_t i) const {
    if (i >= n_) return failure(kEofValue, n_);
    switch (text_[i]) {
      case 'n':
        return ident_at(i, "null");
      case 't':
        return ident_at(i, "true");
      case 'f':
        return ident_at(i, "false");
      case '"':
        return string_at(i).value_or(failure("expected value", i + 1));
      default:
        if (text_[i] == '-' || is_digit(text_[i])) return number_at(i);
        return failure("expected value", i + 1);
    }
  }

  // The failure inside the string that opens at `i`, or nothing when it is well-formed.
  std::optional<JsonFailure> string_at(std::size_t i) const {
    std::size_t j = i + 1;
    for (;;) {
      if (j >= n_) return failure(kEofString, n_);
      const char c = text_[j];
      if (c == '"') return std::nullopt;
      if (c == '\\') {
        ++j;
        if (j >= n_) return failure(kEofString, n_);
        const char e = text_[j++];
        switch (e) {
          case '"':
          case '\\':
          case '/':
          case 'b':
          case 'f':
          case 'n':
          case 'r':
          case 't':
            continue;
          case 'u': {
            unsigned cp = 0;
            if (auto f = hex4(j, cp)) return f;
            if (cp >= 0xDC00 && cp <= 0xDFFF) {
              return failure("lone leading surrogate in hex escape", j);
            }
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              if (j >= n_) return failure(kEofString, n_);
              if (text_[j] != '\\') return failure("unexpected end of hex escape", j);
              ++j;
              if (j >= n_) return failure(kEofString, n_);
              if (text_[j] != 'u') return failure("unexpected end of hex escape", j);
              ++j;
              unsigned low = 0;
              if (auto f = hex4(j, low)) return f;
              if (low < 0xDC00 || low > 0xDFFF) {
                return failure("lone leading surrogate in hex escape", j);
              }
            }
            continue;
          }
          default:
            return failure("invalid escape", j);
        }
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return failure("control character (\\u0000-\\u001F) found while parsing a string", j + 1);
      }
      ++j;
    }
  }

  JsonFailure number_at(std::size_t i) const {
    std::size_t j = i;
    if (text_[j] == '-') ++j;
    if (j >= n_) return failure(kEofValue, n_);
    if (text_[j] == '0') {
      ++j;
      if (j < n_ && is_digit(text_[j])) return failure("invalid number", j + 1);
    } else if (is_digit(text_[j])) {
      while (j < n_ && is_digit(text_[j])) ++j;
    } else {
      return failure("invalid number", j + 1);
    }
    if (j < n_ && text_[j] == '.') {
      ++j;
      if (j >= n_) return failure(kEofValue, n_);
      if (!is_digit(text_[j])) return failure("invalid number", j + 1);
      while (j < n_ && is_digit(text_[j])) ++j;
    }
    if (j < n_ && (text_[j] == 'e' || text_[j] == 'E')) {
      ++j;
      if (j < n_ && (text_[j] == '+' || text_[j] == '-')) ++j;
      if (j >= n_) return failure(kEofValue, n_);
      if (!is_digit(text_[j])) return failure("invalid number", j + 1);
      while (j < n_ && is_digit(text_[j])) ++j;
    }
    // Well-formed: the reader stopped because the value is too large for a double.
    return failure("number out of range", j);
  }

 private:
  JsonFailure ident_at(std::size_t i, std::string_view word) const {
    for (std::size_t k = 1; k < word.size(); ++k) {
      const std::size_t j = i + k;
      if (j >= n_) return failure(kEofValue, n_);
      if (text_[j] != word[k]) return failure("expected ident", j + 1);
    }
    return failure("expected value", i + 1);
  }

  // Reads four hex digits at `j` (advancing it); a failure for a short or bad escape.
  std::optional<JsonFailure> hex4(std::size_t& j, unsigned& value) const {
    if (j + 4 > n_) return failure(kEofString, n_);
    value = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text_[j++];
      if (!is_hex(c)) return failure("invalid escape", j);
      value = value * 16 + hex_value(c);
    }
    return std::nullopt;
  }

  std::string_view text_;
  std::size_t n_;
};

// Bridges RapidJSON's SAX callbacks to a JsonEventSink, keeping what a failure report needs: the
// end of the last event, what the grammar expects next, and the open containers.
class Bridge : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Bridge> {
 public:
  enum class Expect : std::uint8_t {
    RootValue,
    FirstKey,      // after '{'
    Colon,         // after a key
    AfterMember,   // after a member's value
    FirstElement,  // after '['
    AfterElement,  // after an element
    Done,
  };

  Bridge(std::string_view text, JsonEventSink& sink, const rapidjson::MemoryStream& stream)
      : text_(text), sink_(sink), stream_(stream) {
    open_.reserve(16);
  }

  bool Null() {
    const std::size_t end = tell();
    if (!sink_.null_value(end - 4, end)) return false;
    return value_done(end);
  }
  bool Bool(bool b) {
    const std::size_t end = tell();
    if (!sink_.bool_value(b, end - (b ? 4 : 5), end)) return false;
    return value_done(end);
  }
  bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
    const std::size_t end = tell();
    const std::string_view raw(str, length);
    // The SAX reader stops a number at a digit after a leading zero; such a text is malformed.
    if ((raw == "0" || raw == "-0") && end < text_.size() && is_digit(text_[end])) {
      sink_.fail("invalid number", end + 1);
      return false;
    }
    if (!sink_.number_value(raw, end - length, end)) return false;
    return value_done(end);
  }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    const std::size_t end = tell();
    const std::string_view value(str, length);
    if (!valid_utf8(value, end)) return false;
    if (!sink_.string_value(value, end)) return false;
    return value_done(end);
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    const std::size_t end = tell();
    const std::string_view name(str, length);
    if (!valid_utf8(name, end)) return false;
    if (!sink_.key(name, end)) return false;
    last_end_ = end;
    expect_ = Expect::Colon;
    return true;
  }
  bool StartObject() { return open(true); }
  bool StartArray() { return open(false); }
  bool EndObject(rapidjson::SizeType) {
    const std::size_t end = tell();
    open_.pop_back();
    if (!sink_.end_object(end)) return false;
    return value_done(end);
  }
  bool EndArray(rapidjson::SizeType) {
    const std::size_t end = tell();
    open_.pop_back();
    if (!sink_.end_array(end)) return false;
    return value_done(end);
  }

  JsonFailure syntax_failure() const {
    const SyntaxRescan scan(text_);
    const std::size_t n = text_.size();
    std::size_t i = skip_json_whitespace(text_, last_end_);
    switch (expect_) {
      case Expect::RootValue:
        return scan.value_at(i);
      case Expect::FirstKey:
        if (i >= n) return failure(kEofObject, n);
        if (text_[i] == '"') {
          return scan.string_at(i).value_or(failure("key must be a string", i + 1));
        }
        return failure("key must be a string", i + 1);
      case Expect::Colon:
        if (i >= n) return failure(kEofObject, n);
        if (text_[i] != ':') return failure("expected `:`", i + 1);
        return scan.value_at(skip_json_whitespace(text_, i + 1));
      case Expect::AfterMember:
        if (i >= n) return failure(kEofObject, n);
        if (text_[i] != ',') return failure("expected `,` or `}`", i + 1);
        i = skip_json_whitespace(text_, i + 1);
        if (i >= n) return failure(kEofValue, n);
        if (text_[i] == '}') return failure("trailing comma", i + 1);
        if (text_[i] == '"') {
          return scan.string_at(i).value_or(failure("key must be a string", i + 1));
        }
        return failure("key must be a string", i + 1);
      case Expect::FirstElement:
        if (i >= n) return failure(kEofList, n);
        return scan.value_at(i);
      case Expect::AfterElement:
        if (i >= n) return failure(kEofList, n);
        if (text_[i] != ',') return failure("expected `,` or `]`", i + 1);
        i = skip_json_whitespace(text_, i + 1);
        if (i >= n) return failure(kEofValue, n);
        if (text_[i] == ']') return failure("trailing comma", i + 1);
        return scan.value_at(i);
      case Expect::Done:
        break;
    }
    return failure("trailing characters", i + 1);
  }

 private:
  std::size_t tell() const { return stream_.Tell(); }

  // Strings must be UTF-8 once unescaped. The SAX reader passes raw bytes through and encodes a
  // lone low surrogate escape as if it were a character; either way the string's own text decides
  // what is reported.
  bool valid_utf8(std::string_view value, std::size_t end) {
    if (is_ascii(value) || utf8_error(value).empty()) return true;
    std::size_t start = last_end_;
    while (start < end && text_[start] != '"') ++start;
    if (auto f = SyntaxRescan(text_).string_at(start)) {
      sink_.fail(std::move(f->message), f->index);
    } else {
      sink_.fail("invalid unicode code point", end);
    }
    return false;
  }

  bool open(bool object) {
    const std::size_t begin = tell() - 1;
    if (!(object ? sink_.start_object(begin) : sink_.start_array(begin))) return false;
    if (open_.size() >= kMaxJsonDepth) {
      sink_.fail("recursion limit exceeded", begin + 1);
      return false;
    }
    open_.push_back(object);
    last_end_ = begin + 1;
    expect_ = object ? Expect::FirstKey : Expect::FirstElement;
    return true;
  }

  bool value_done(std::size_t end) {
    last_end_ = end;
    if (open_.empty()) {
      expect_ = Expect::Done;
    } else {
      expect_ = open_.back() ? Expect::AfterMember : Expect::AfterElement;
    }
    return true;
  }

  std::string_view text_;
  JsonEventSink& sink_;
  const rapidjson::MemoryStream& stream_;
  std::vector<bool> open_;  // true: object
  std::size_t last_end_ = 0;
  Expect expect_ = Expect::RootValue;
};

}  // namespace

JsonPosition json_position(std::string_view text, std::size_t index) {
  index = std::min(index, text.size());
  const std::string_view before = text.substr(0, index);
  const std::size_t last_lf = before.rfind('\n');
  const std::size_t line_start = last_lf == std::string_view::npos ? 0 : last_lf + 1;
  JsonPosition p;
  p.line =
      1 + static_cast<std::uint64_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
  p.column = index - line_start;
  return p;
}

DbError json_failure_error(std::string_view text, const JsonFailure& f) {
  const JsonPosition p = json_position(text, f.index);
  return DbError::serialization(str_cat(f.message, " at line ", p.line, " column ", p.column));
}

std::optional<JsonNumber> classify_json_number(std::string_view raw) {
  JsonNumber n;
  const bool integer = raw.find_first_of(".eE") == std::string_view::npos;
  if (integer) {
    const bool negative = raw.front() == '-';
    const std::string_view digits = negative ? raw.substr(1) : raw;
    std::uint64_t magnitude = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (r.ec == std::errc()) {
      if (!negative || magnitude == 0) {
        n.form = JsonNumber::Form::Unsigned;
        n.u = magnitude;
        return n;
      }
      if (magnitude <= (std::uint64_t{1} << 63)) {
        n.form = JsonNumber::Form::Negative;
        n.i = static_cast<std::int64_t>(~magnitude + 1);
        return n;
      }
    }
    // Beyond both integer ranges: read as a double below.
  }
  n.form = JsonNumber::Form::Float;
  const auto r = std::from_chars(raw.data(), raw.data() + raw.size(), n.f);
  if (r.ec == std::errc::result_out_of_range) {
    // Either overflow or underflow: tell them apart by the decimal exponent of the first
    // significant digit.
    std::size_t p = raw.front() == '-' ? 1 : 0;
    long lead = 0;  // exponent contribution of the digits before the first significant one
    const std::size_t epos = raw.find_first_of("eE");
    const std::string_view mantissa =
        raw.substr(p, epos == std::string_view::npos ? raw.npos : epos - p);
    const std::size_t point = mantissa.find('.');
    const std::size_t int_len = point == std::string_view::npos ? mantissa.size() : point;
    const std::size_t first_nonzero = mantissa.find_first_not_of("0.");
    if (first_nonzero == std::string_view::npos) {
      n.f = raw.front() == '-' ? -0.0 : 0.0;
      return n;
    }
    lead = first_nonzero < int_len ? static_cast<long>(int_len - first_nonzero) - 1
                                   : -static_cast<long>(first_nonzero - int_len);
    long exp = 0;
    if (epos != std::string_view::npos) {
      std::string_view e = raw.substr(epos + 1);
      bool eneg = false;
      if (!e.empty() && (e.front() == '+' || e.front() == '-')) {
        eneg = e.front() == '-';
        e.remove_prefix(1);
      }
      // Saturate: any exponent beyond a few thousand decides the outcome alone.
      for (const char c : e) exp = std::min<long>(exp * 10 + (c - '0'), 100000);
      if (eneg) exp = -exp;
    }
    if (lead + exp > 0) return std::nullopt;
    n.f = raw.front() == '-' ? -0.0 : 0.0;
    return n;
  }
  return n;
}

std::optional<JsonFailure> parse_json_events(std::string_view text, JsonEventSink& sink) {
  rapidjson::MemoryStream stream(text.data(), text.size());
  Bridge bridge(text, sink, stream);
  rapidjson::Reader reader;
  constexpr unsigned kFlags =
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, bridge);
  if (sink.failure()) return sink.failure();
  if (result.IsError()) return bridge.syntax_failure();
  const std::size_t i = skip_json_whitespace(text, stream.Tell());
  if (i < text.size()) return failure("trailing characters", i + 1);
  return std::nullopt;
}

std::size_t skip_json_whitespace(std::string_view text, std::size_t i) {
  while (i < text.size()) {
    const char c = text[i];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    ++i;
  }
  return i;
}

void append_json_string(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of bytes copied as they are
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(value.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(value.data() + run, value.size() - run);
  out.push_back('"');
}

std::string float_plain_text(double value) {
  std::string out;
  append_plain(out, shortest_digits(value));
  return out;
}

std::string describe_float(double value) {
  return str_cat("floating point `", float_plain_text(value), "`");
}

std::string describe_number(const JsonNumber& n) {
  switch (n.form) {
    case JsonNumber::Form::Unsigned:
      return str_cat("integer `", n.u, "`");
    case JsonNumber::Form::Negative:
      return str_cat("integer `", n.i, "`");
    case JsonNumber::Form::Float:
      return describe_float(n.f);
  }
  return {};
}

std::string describe_string(std::string_view value) { return "string " + debug_quote(value); }

void append_float_compact_text(std::string& out, double value) {
  const Digits d = shortest_digits(value);
  if (d.exponent >= -5 && d.exponent <= 15) {
    append_plain(out, d);
    return;
  }
  if (d.negative) out.push_back('-');
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.digits + 1, d.count - 1);
  }
  out.push_back('e');
  out.push_back(d.exponent < 0 ? '-' : '+');
  char buf[8];
  const auto r = std::to_chars(buf, buf + sizeof buf, d.exponent < 0 ? -d.exponent : d.exponent);
  out.append(buf, r.ptr);
}

std::string float_compact_text(double value) {
  std::string out;
  append_float_compact_text(out, value);
  return out;
}

}  // namespace sorvel
