#include "kivo/core/json_write.hpp"

#include <fmt/format.h>

#include <cmath>

namespace kivo::json {

void Writer::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_items_.empty()) {
    if (has_items_.back()) out_ += ',';
    has_items_.back() = true;
  }
}

void Writer::begin_object() {
  separate();
  out_ += '{';
  has_items_.push_back(false);
}

void Writer::end_object() {
  out_ += '}';
  has_items_.pop_back();
}

void Writer::begin_array() {
  separate();
  out_ += '[';
  has_items_.push_back(false);
}

void Writer::end_array() {
  out_ += ']';
  has_items_.pop_back();
}

void Writer::key(std::string_view name) {
  separate();
  quoted(name);
  out_ += ':';
  after_key_ = true;
}

void Writer::null() {
  separate();
  out_ += "null";
}

void Writer::boolean(bool b) {
  separate();
  out_ += b ? "true" : "false";
}

void Writer::unsigned_integer(std::uint64_t u) {
  separate();
  fmt::format_to(std::back_inserter(out_), "{}", u);
}

void Writer::signed_integer(std::int64_t i) {
  separate();
  fmt::format_to(std::back_inserter(out_), "{}", i);
}

void Writer::floating(double d) {
  if (!std::isfinite(d)) {
    null();
    return;
  }
  separate();
  out_ += format_double(d);
}

void Writer::string(std::string_view s) {
  separate();
  quoted(s);
}

void Writer::quoted(std::string_view s) {
  out_ += '"';
  for (char c : s) {
    switch (c) {
      case '"':
        out_ += "\\\"";
        break;
      case '\\':
        out_ += "\\\\";
        break;
      case '\n':
        out_ += "\\n";
        break;
      case '\r':
        out_ += "\\r";
        break;
      case '\t':
        out_ += "\\t";
        break;
      case '\b':
        out_ += "\\b";
        break;
      case '\f':
        out_ += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          fmt::format_to(std::back_inserter(out_), "\\u{:04x}", static_cast<unsigned char>(c));
        } else {
          out_ += c;
        }
    }
  }
  out_ += '"';
}

void Writer::value(const Value& v) {
  if (v.is_null()) {
    null();
  } else if (v.is_bool()) {
    boolean(v.as_bool());
  } else if (v.is_unsigned()) {
    unsigned_integer(v.as_unsigned());
  } else if (v.is_signed()) {
    signed_integer(v.as_signed());
  } else if (v.is_double()) {
    floating(v.as_double());
  } else if (v.is_string()) {
    string(v.as_string());
  } else if (v.is_array()) {
    begin_array();
    for (const Value& item : v.as_array()) value(item);
    end_array();
  } else {
    begin_object();
    for (const Member& member : v.as_object()) {
      key(member.key);
      value(member.value);
    }
    end_object();
  }
}

std::string format_double(double d) {
  std::string text = fmt::format("{}", d);
  std::size_t e = text.find('e');
  if (e == std::string::npos) {
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  // fmt writes "1e+20" and "1e-07"; keep the exponent as short as it reads.
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  bool negative = !exponent.empty() && exponent[0] == '-';
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) exponent.erase(0, 1);
  std::size_t digits = exponent.find_first_not_of('0');
  exponent = digits == std::string::npos ? "0" : exponent.substr(digits);
  return mantissa + "e" + (negative ? "-" : "") + exponent;
}

std::string to_string(const Value& v) {
  Writer writer;
  writer.value(v);
  return writer.take();
}

}  // namespace kivo::json
