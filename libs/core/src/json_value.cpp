#include "kivo/core/json_value.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>

#include "kivo/core/debug_text.hpp"

namespace kivo::json {

Value::Value(std::int64_t i) {
  if (i < 0) {
    storage_ = i;
  } else {
    storage_ = static_cast<std::uint64_t>(i);
  }
}

const Value* Value::find(std::string_view key) const {
  if (!is_object()) return nullptr;
  for (const Member& member : as_object()) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

bool operator==(const Value& a, const Value& b) {
  return a.storage_ == b.storage_;
}

std::string describe_unexpected(const Value& value) {
  if (value.is_null()) return "null";
  if (value.is_bool()) return fmt::format("boolean `{}`", value.as_bool());
  if (value.is_unsigned()) return fmt::format("integer `{}`", value.as_unsigned());
  if (value.is_signed()) return fmt::format("integer `{}`", value.as_signed());
  if (value.is_double())
    return fmt::format("floating point `{}`", float_for_display(value.as_double()));
  if (value.is_string()) return fmt::format("string {}", debug_quoted(value.as_string()));
  if (value.is_array()) return "sequence";
  return "map";
}

std::string float_for_display(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  // Shortest round-trip digits in scientific form, then spelled out.
  std::string sci = fmt::format("{}", d);
  std::string sign;
  if (!sci.empty() && sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  std::size_t e = sci.find('e');
  if (e == std::string::npos) {
    if (sci.find('.') == std::string::npos) sci += ".0";
    return sign + sci;
  }
  int exponent = std::atoi(sci.c_str() + e + 1);
  std::string mantissa = sci.substr(0, e);
  std::string digits;
  int point = 0;  // digits before the decimal point in the mantissa
  std::size_t dot = mantissa.find('.');
  if (dot == std::string::npos) {
    digits = mantissa;
    point = static_cast<int>(mantissa.size());
  } else {
    digits = mantissa.substr(0, dot) + mantissa.substr(dot + 1);
    point = static_cast<int>(dot);
  }
  point += exponent;
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= static_cast<int>(digits.size())) {
    out = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
  } else {
    out = digits.substr(0, static_cast<std::size_t>(point)) + "." +
          digits.substr(static_cast<std::size_t>(point));
  }
  return sign + out;
}

}  // namespace kivo::json
