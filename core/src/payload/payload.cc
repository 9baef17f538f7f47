#include "payload/payload.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "check.h"
#include "payload/json_text.h"
#include "str_cat.h"

namespace sorvel {

namespace {

bool key_less(const Payload::Member& a, const Payload::Member& b) { return a.first < b.first; }

template <class T>
void append_integer(std::string& out, T value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

// Builds a Payload from the events of one JSON text with explicit stacks, so that building never
// recurses (the event source bounds the depth).
class PayloadBuilder final : public JsonEventSink {
 public:
  bool null_value(std::size_t, std::size_t) override { return put(Payload()); }
  bool bool_value(bool value, std::size_t, std::size_t) override {
    return put(Payload::boolean(value));
  }
  bool number_value(std::string_view raw, std::size_t, std::size_t end) override {
    const std::optional<JsonNumber> n = classify_json_number(raw);
    if (!n) {
      fail("number out of range", end);
      return false;
    }
    switch (n->form) {
      case JsonNumber::Form::Unsigned:
        return put(Payload::unsigned_integer(n->u));
      case JsonNumber::Form::Negative:
        return put(Payload::integer(n->i));
      case JsonNumber::Form::Float:
        return put(Payload::floating(n->f));
    }
    return false;
  }
  bool string_value(std::string_view value, std::size_t) override {
    return put(Payload::string(std::string(value)));
  }
  bool key(std::string_view name, std::size_t) override {
    keys_.emplace_back(name);
    return true;
  }
  bool start_object(std::size_t) override {
    open_.push_back(values_.size());
    return true;
  }
  bool start_array(std::size_t) override {
    open_.push_back(values_.size());
    return true;
  }
  bool end_object(std::size_t) override {
    const std::size_t start = open_.back();
    open_.pop_back();
    const std::size_t n = values_.size() - start;
    // Exactly the container's members, moved once into storage of their final size.
    Payload::Object members;
    members.reserve(n);
    const std::size_t key_start = keys_.size() - n;
    for (std::size_t i = 0; i < n; ++i) {
      members.emplace_back(std::move(keys_[key_start + i]), std::move(values_[start + i]));
    }
    keys_.resize(key_start);
    values_.resize(start);
    return put(Payload::object(std::move(members)));
  }
  bool end_array(std::size_t) override {
    const std::size_t start = open_.back();
    open_.pop_back();
    Payload::Array elements(std::make_move_iterator(values_.begin() + start),
                            std::make_move_iterator(values_.end()));
    values_.resize(start);
    return put(Payload::array(std::move(elements)));
  }

  Payload take() { return std::move(root_); }

 private:
  bool put(Payload value) {
    if (open_.empty()) {
      root_ = std::move(value);
    } else {
      values_.push_back(std::move(value));
    }
    return true;
  }

  // The values of every open container, outermost first; open_ holds where each one's begin, and
  // keys_ the keys of the open objects' values in the same order.
  std::vector<std::size_t> open_;
  std::vector<Payload> values_;
  std::vector<std::string> keys_;
  Payload root_;
};

}  // namespace

Payload Payload::boolean(bool value) { return Payload(Value(std::in_place_index<1>, value)); }

Payload Payload::unsigned_integer(std::uint64_t value) {
  return Payload(Value(std::in_place_index<2>, value));
}

Payload Payload::integer(std::int64_t value) {
  if (value >= 0) return unsigned_integer(static_cast<std::uint64_t>(value));
  return Payload(Value(std::in_place_index<3>, value));
}

Payload Payload::floating(double value) {
  SORVEL_CHECK(std::isfinite(value), "payload floats are finite");
  return Payload(Value(std::in_place_index<4>, value));
}

Payload Payload::string(std::string value) {
  return Payload(Value(std::in_place_index<5>, std::move(value)));
}

Payload Payload::array(Array elements) {
  return Payload(Value(std::in_place_index<6>, std::move(elements)));
}

Payload Payload::object(Object members) {
  // Members read back from compact text arrive sorted and unique: keep them as they are.
  const bool strictly_sorted =
      std::adjacent_find(members.begin(), members.end(), [](const Member& a, const Member& b) {
        return !(a.first < b.first);
      }) == members.end();
  if (strictly_sorted) return Payload(Value(std::in_place_index<7>, std::move(members)));
  std::stable_sort(members.begin(), members.end(), key_less);
  // The sort is stable, so the last member of a run of equal keys is the one given last.
  Object unique;
  unique.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    unique.push_back(std::move(members[i]));
  }
  return Payload(Value(std::in_place_index<7>, std::move(unique)));
}

bool Payload::as_bool() const {
  SORVEL_CHECK(kind() == Kind::Bool, "payload is not a bool");
  return std::get<1>(value_);
}

std::uint64_t Payload::as_unsigned() const {
  SORVEL_CHECK(kind() == Kind::Unsigned, "payload is not a non-negative integer");
  return std::get<2>(value_);
}

std::int64_t Payload::as_negative() const {
  SORVEL_CHECK(kind() == Kind::Negative, "payload is not a negative integer");
  return std::get<3>(value_);
}

double Payload::as_float() const {
  SORVEL_CHECK(kind() == Kind::Float, "payload is not a float");
  return std::get<4>(value_);
}

const std::string& Payload::as_string() const {
  SORVEL_CHECK(kind() == Kind::String, "payload is not a string");
  return std::get<5>(value_);
}

const Payload::Array& Payload::as_array() const {
  SORVEL_CHECK(kind() == Kind::Array, "payload is not an array");
  return std::get<6>(value_);
}

const Payload::Object& Payload::as_object() const {
  SORVEL_CHECK(kind() == Kind::Object, "payload is not an object");
  return std::get<7>(value_);
}

double Payload::number_as_f64() const {
  switch (kind()) {
    case Kind::Unsigned:
      return static_cast<double>(std::get<2>(value_));
    case Kind::Negative:
      return static_cast<double>(std::get<3>(value_));
    case Kind::Float:
      return std::get<4>(value_);
    default:
      invariant_failure("payload is not a number");
  }
}

const Payload* Payload::find(std::string_view key) const {
  if (kind() != Kind::Object) return nullptr;
  const Object& members = std::get<7>(value_);
  const auto it = std::lower_bound(
      members.begin(), members.end(), key,
      [](const Member& m, std::string_view k) { return std::string_view(m.first) < k; });
  if (it == members.end() || it->first != key) return nullptr;
  return &it->second;
}

void Payload::set(std::string key, Payload value) {
  SORVEL_CHECK(kind() == Kind::Object, "payload is not an object");
  Object& members = std::get<7>(value_);
  const auto it =
      std::lower_bound(members.begin(), members.end(), key,
                       [](const Member& m, const std::string& k) { return m.first < k; });
  if (it != members.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members.emplace(it, std::move(key), std::move(value));
  }
}

bool operator==(const Payload& a, const Payload& b) { return a.value_ == b.value_; }

std::string Payload::to_compact_text() const {
  std::string out;
  append_compact_text(out);
  return out;
}

void Payload::append_compact_text(std::string& out) const { append_at_depth(out); }

void Payload::append_at_depth(std::string& out) const {
  switch (kind()) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Bool:
      out += std::get<1>(value_) ? "true" : "false";
      return;
    case Kind::Unsigned:
      append_integer(out, std::get<2>(value_));
      return;
    case Kind::Negative:
      append_integer(out, std::get<3>(value_));
      return;
    case Kind::Float:
      append_float_compact_text(out, std::get<4>(value_));
      return;
    case Kind::String:
      append_json_string(out, std::get<5>(value_));
      return;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Payload& element : std::get<6>(value_)) {
        if (!first) out.push_back(',');
        first = false;
        element.append_at_depth(out);
      }
      out.push_back(']');
      return;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, value] : std::get<7>(value_)) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, key);
        out.push_back(':');
        value.append_at_depth(out);
      }
      out.push_back('}');
      return;
    }
  }
}

Result<Payload> Payload::from_text(std::string_view text) {
  PayloadBuilder builder;
  if (std::optional<JsonFailure> f = parse_json_events(text, builder)) {
    return json_failure_error(text, *f);
  }
  return builder.take();
}

bool nests_deeper_than(const Payload& value, std::size_t limit) {
  switch (value.kind()) {
    case Payload::Kind::Array:
      if (limit == 0) return true;
      for (const Payload& element : value.as_array()) {
        if (nests_deeper_than(element, limit - 1)) return true;
      }
      return false;
    case Payload::Kind::Object:
      if (limit == 0) return true;
      for (const auto& member : value.as_object()) {
        if (nests_deeper_than(member.second, limit - 1)) return true;
      }
      return false;
    default:
      return false;
  }
}

DbError payload_nesting_error() {
  return DbError::invalid_config(
      str_cat("payload nests arrays and objects deeper than ", kMaxJsonDepth, " levels"));
}

Result<> check_payload_nesting(const Payload& value) {
  if (nests_deeper_than(value, kMaxJsonDepth)) return payload_nesting_error();
  return ok();
}

}  // namespace sorvel
