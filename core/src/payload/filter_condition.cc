#include "payload/filter_condition.h"

#include <array>

#include "payload/json_text.h"
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::array<std::string_view, 7> kOpNames = {"$eq",  "$ne", "$in", "$gt",
                                                      "$gte", "$lt", "$lte"};

std::optional<FilterOp> op_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kOpNames.size(); ++i) {
    if (kOpNames[i] == name) return static_cast<FilterOp>(i);
  }
  return std::nullopt;
}

std::string invalid_type(const Payload& value, std::string_view expected) {
  return str_cat("invalid type: ", describe_payload(value), ", expected ", expected);
}

std::string unknown_operator(std::string_view name) {
  std::string text = str_cat("unknown variant `", name, "`, expected one of ");
  for (std::size_t i = 0; i < kOpNames.size(); ++i) {
    if (i > 0) text += ", ";
    text += str_cat("`", kOpNames[i], "`");
  }
  return text;
}

// Compares two numbers or two strings; `order` receives <0, 0 or >0. False for any other pair.
bool compare(const Payload& a, const Payload& b, int& order) {
  if (a.is_number() && b.is_number()) {
    const double x = a.number_as_f64();
    const double y = b.number_as_f64();
    order = x < y ? -1 : (x > y ? 1 : 0);
    // Payload floats are finite, so one of the three holds.
    return true;
  }
  if (a.kind() == Payload::Kind::String && b.kind() == Payload::Kind::String) {
    const int c =
        a.as_string().compare(b.as_string());  // bytewise: char_traits<char> compares unsigned
    order = c < 0 ? -1 : (c > 0 ? 1 : 0);
    return true;
  }
  return false;
}

std::string nesting_text() {
  return str_cat("filter nests arrays and objects deeper than ", kMaxJsonDepth, " levels");
}

}  // namespace

DbError filter_nesting_error() { return DbError::invalid_config(nesting_text()); }

Result<> check_filter_nesting(const Payload& value) {
  if (nests_deeper_than(value, kMaxJsonDepth)) return filter_nesting_error();
  return ok();
}

std::string_view filter_op_name(FilterOp op) { return kOpNames[static_cast<std::size_t>(op)]; }

std::string describe_payload(const Payload& value) {
  switch (value.kind()) {
    case Payload::Kind::Null:
      return "unit value";
    case Payload::Kind::Bool:
      return str_cat("boolean `", value.as_bool() ? "true" : "false", "`");
    case Payload::Kind::Unsigned:
      return str_cat("integer `", value.as_unsigned(), "`");
    case Payload::Kind::Negative:
      return str_cat("integer `", value.as_negative(), "`");
    case Payload::Kind::Float:
      return describe_float(value.as_float());
    case Payload::Kind::String:
      return describe_string(value.as_string());
    case Payload::Kind::Array:
      return "sequence";
    case Payload::Kind::Object:
      return "map";
  }
  return {};
}

std::expected<FilterCondition, std::string> FilterCondition::deserialize(const Payload& value) {
  // Parsing and evaluation recurse through "$and" / "$or": bound the depth first.
  if (nests_deeper_than(value, kMaxJsonDepth)) return std::unexpected(nesting_text());
  return parse(value);
}

std::expected<FilterCondition, std::string> FilterCondition::parse(const Payload& value) {
  if (!value.is_object()) return std::unexpected(invalid_type(value, "a map"));
  for (const auto& [name, kind] : {std::pair{"$and", Kind::And}, std::pair{"$or", Kind::Or}}) {
    const Payload* list = value.find(name);
    if (list == nullptr) continue;
    if (list->kind() != Payload::Kind::Array) {
      return std::unexpected(invalid_type(*list, "a sequence"));
    }
    FilterCondition node;
    node.kind_ = kind;
    node.children_.reserve(list->as_array().size());
    for (const Payload& child : list->as_array()) {
      auto parsed = parse(child);
      if (!parsed) return std::unexpected(std::move(parsed).error());
      node.children_.push_back(std::move(*parsed));
    }
    return node;
  }
  const Payload::Object& members = value.as_object();
  if (members.size() != 1) {
    return std::unexpected(
        std::string("FilterCondition must be $and, $or, or a single field predicate"));
  }
  const auto& [field, spec] = members.front();
  const Payload* operand = nullptr;
  std::string_view name;
  switch (spec.kind()) {
    case Payload::Kind::Object: {
      const Payload::Object& op = spec.as_object();
      if (op.size() != 1) {
        return std::unexpected(std::string("invalid value: map, expected map with a single key"));
      }
      name = op.front().first;
      operand = &op.front().second;
      break;
    }
    case Payload::Kind::String:
      if (op_from_name(spec.as_string())) {
        return std::unexpected(std::string("invalid type: unit variant, expected newtype variant"));
      }
      return std::unexpected(unknown_operator(spec.as_string()));
    default:
      return std::unexpected(invalid_type(spec, "string or map"));
  }
  const std::optional<FilterOp> op = op_from_name(name);
  if (!op) return std::unexpected(unknown_operator(name));
  FilterCondition node;
  node.kind_ = Kind::Field;
  node.field_ = field;
  node.op_ = *op;
  if (*op == FilterOp::In) {
    if (operand->kind() != Payload::Kind::Array) {
      return std::unexpected(invalid_type(*operand, "a sequence"));
    }
    node.operands_ = operand->as_array();
  } else {
    node.operand_ = *operand;
  }
  return node;
}

bool FilterCondition::matches(const Payload& payload) const {
  switch (kind_) {
    case Kind::And:
      for (const FilterCondition& child : children_) {
        if (!child.matches(payload)) return false;
      }
      return true;
    case Kind::Or:
      for (const FilterCondition& child : children_) {
        if (child.matches(payload)) return true;
      }
      return false;
    case Kind::Field:
      break;
  }
  // Walk the path: every segment, empty ones included, names a key of an object.
  const Payload* current = &payload;
  std::string_view rest = field_;
  for (;;) {
    const std::size_t dot = rest.find('.');
    current = current->find(rest.substr(0, dot));
    if (current == nullptr) return false;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return field_matches(*current);
}

bool FilterCondition::field_matches(const Payload& value) const {
  int order = 0;
  switch (op_) {
    case FilterOp::Eq:
      return value == operand_;
    case FilterOp::Ne:
      return !(value == operand_);
    case FilterOp::In:
      for (const Payload& candidate : operands_) {
        if (value == candidate) return true;
      }
      return false;
    case FilterOp::Gt:
      return compare(value, operand_, order) && order > 0;
    case FilterOp::Gte:
      return compare(value, operand_, order) && order >= 0;
    case FilterOp::Lt:
      return compare(value, operand_, order) && order < 0;
    case FilterOp::Lte:
      return compare(value, operand_, order) && order <= 0;
  }
  return false;
}

}  // namespace sorvel
