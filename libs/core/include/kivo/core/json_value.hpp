// json::Value: a parsed JSON document that keeps what the strict readers need
// and a plain DOM loses: members in document order with repeated keys intact,
// and the exact class of each number (unsigned, negative or floating point).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kivo::json {

class Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;  // document order, repeated keys kept

class Value {
 public:
  // Integers that fit u64 are held unsigned; negative ones that fit i64 signed;
  // every other number as a double, as the parser classifies them.
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
                               std::string, Array, Object>;

  Value();
  Value(std::nullptr_t);
  Value(bool b);
  Value(std::uint64_t u);
  // Negative values are kept signed; others are normalised to unsigned so that
  // equal numbers compare equal whichever way they were built.
  Value(std::int64_t i);
  Value(int i);
  Value(unsigned u);
  Value(double d);
  Value(std::string s);
  Value(std::string_view s);
  Value(const char* s);
  Value(Array a);
  Value(Object o);

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(storage_); }
  bool is_bool() const { return std::holds_alternative<bool>(storage_); }
  bool is_unsigned() const { return std::holds_alternative<std::uint64_t>(storage_); }
  bool is_signed() const { return std::holds_alternative<std::int64_t>(storage_); }
  bool is_double() const { return std::holds_alternative<double>(storage_); }
  bool is_number() const { return is_unsigned() || is_signed() || is_double(); }
  bool is_string() const { return std::holds_alternative<std::string>(storage_); }
  bool is_array() const { return std::holds_alternative<Array>(storage_); }
  bool is_object() const { return std::holds_alternative<Object>(storage_); }

  // REQUIRES: the matching is_*() is true.
  bool as_bool() const { return std::get<bool>(storage_); }
  std::uint64_t as_unsigned() const { return std::get<std::uint64_t>(storage_); }
  std::int64_t as_signed() const { return std::get<std::int64_t>(storage_); }
  double as_double() const { return std::get<double>(storage_); }
  const std::string& as_string() const { return std::get<std::string>(storage_); }
  const Array& as_array() const { return std::get<Array>(storage_); }
  Array& as_array() { return std::get<Array>(storage_); }
  const Object& as_object() const { return std::get<Object>(storage_); }
  Object& as_object() { return std::get<Object>(storage_); }

  // The first member with this key, or null when there is none or this is
  // not an object. For tests and loose look-ups; strict readers go through
  // the record layer, which sees repeated keys.
  const Value* find(std::string_view key) const;

  const Storage& storage() const { return storage_; }
  friend bool operator==(const Value&, const Value&);

 private:
  Storage storage_;
};

struct Member {
  std::string key;
  Value value;
  friend bool operator==(const Member&, const Member&) = default;
};

// How the reader names an unexpected value in its errors: "null",
// "boolean `true`", "integer `-1`", "floating point `1.0`", "string \"a\"",
// "sequence", "map".
// Defined here, where Member is complete: building the variant needs every
// alternative complete.
inline Value::Value() : storage_(nullptr) {}
inline Value::Value(std::nullptr_t) : storage_(nullptr) {}
inline Value::Value(bool b) : storage_(b) {}
inline Value::Value(std::uint64_t u) : storage_(u) {}
inline Value::Value(int i) : Value(static_cast<std::int64_t>(i)) {}
inline Value::Value(unsigned u) : storage_(static_cast<std::uint64_t>(u)) {}
inline Value::Value(double d) : storage_(d) {}
inline Value::Value(std::string s) : storage_(std::move(s)) {}
inline Value::Value(std::string_view s) : storage_(std::string(s)) {}
inline Value::Value(const char* s) : storage_(std::string(s)) {}
inline Value::Value(Array a) : storage_(std::move(a)) {}
inline Value::Value(Object o) : storage_(std::move(o)) {}

std::string describe_unexpected(const Value& value);

// A double as the reader shows it in errors: the shortest digits that read
// back, in plain decimal notation, with ".0" when there is no fraction.
std::string float_for_display(double d);

}  // namespace kivo::json
