// json::Writer: compact JSON in the order the caller writes it. Strings are
// escaped as JSON requires and otherwise written as UTF-8; doubles in the
// shortest form that reads back, always with a fraction or an exponent
// (1920 is "1920.0"); a value that is not finite is written as null.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/core/json_value.hpp"

namespace kivo::json {

class Writer {
 public:
  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The key of the next member. REQUIRES: inside an object.
  void key(std::string_view name);

  void null();
  void boolean(bool b);
  void unsigned_integer(std::uint64_t u);
  void signed_integer(std::int64_t i);
  void floating(double d);
  void string(std::string_view s);
  void value(const Value& v);

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  // Writes the comma that separates this item from the previous one.
  void separate();
  // Writes s as a JSON string literal, with no separator.
  void quoted(std::string_view s);

  std::string out_;
  // One entry per open container: whether it holds an item already.
  std::vector<bool> has_items_;
  bool after_key_ = false;
};

// The shortest text of a double that reads back to it, with ".0" added when
// it would otherwise read as an integer. REQUIRES: d is finite.
std::string format_double(double d);

// A whole Value as compact JSON.
std::string to_string(const Value& v);

}  // namespace kivo::json
