// Typed reading and writing of JSON documents.
//
// A record is described once, by specialising Record<T> with its name and its
// fields in declared order; the same description reads and writes it:
//
//   template <> struct json::Record<QuitLatch> {
//     static constexpr std::string_view name = "QuitLatch";
//     static constexpr auto fields = std::make_tuple(
//         json::field("version", &QuitLatch::version),
//         json::field("quit_id", &QuitLatch::quit_id));
//   };
//
// Reading is strict: keys in any order, unknown keys skipped, a repeated known
// key is "duplicate field `version`", a missing required one "missing field
// `quit_id`"; a record may also come as an array of exactly its fields
// ("invalid length 3, expected struct QuitLatch with 4 elements"); integers
// must be whole and in the field's range ("invalid value: integer `-1`,
// expected u32", "invalid type: floating point `1.0`, expected u32").
// std::optional fields may be missing or null. Writing follows the declared
// order; optional fields that hold nothing are left out unless the field says
// otherwise.
//
// A union of records told apart by a "type" member is a std::variant whose
// alternatives carry `static constexpr std::string_view tag` in their Record,
// with TaggedUnion<Variant> naming it.
#pragma once

#include <array>
#include <bitset>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kivo/core/json_parse.hpp"
#include "kivo/core/json_value.hpp"
#include "kivo/core/json_write.hpp"
#include "kivo/core/result.hpp"

namespace kivo::json {

// ---- Error texts of the reader -------------------------------------------

KivoError invalid_type(const Value& found, std::string_view expected);
KivoError invalid_value(const Value& found, std::string_view expected);
KivoError missing_field(std::string_view name);
KivoError duplicate_field(std::string_view name);
KivoError invalid_length(std::size_t length, std::string_view expected);
KivoError unknown_variant(std::string_view found, std::span<const std::string_view> expected);

// ---- Codec: how one C++ type reads and writes ------------------------------

template <class T, class Enable = void>
struct Codec;

template <class T>
concept Decodable = requires(const Value& v) {
  { Codec<T>::decode(v) } -> std::same_as<Result<T>>;
};

// Reads a value of type T from a Value.
template <class T>
Result<T> decode(const Value& v) {
  return Codec<T>::decode(v);
}

// Reads a whole document as T.
template <class T>
Result<T> decode_document(std::string_view text) {
  Result<Value> value = parse(text);
  if (!value) return fail(std::move(value).error());
  return Codec<T>::decode(*value);
}

template <class T>
void encode(Writer& writer, const T& value) {
  Codec<T>::encode(writer, value);
}

// A value of type T as compact JSON text.
template <class T>
std::string encode_document(const T& value) {
  Writer writer;
  Codec<T>::encode(writer, value);
  return writer.take();
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
inline constexpr bool kIsOptional = IsOptional<T>::value;

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

// ---- Primitive codecs ----------------------------------------------------

template <class T>
constexpr std::string_view integer_name() {
  if constexpr (std::is_same_v<T, std::uint8_t>) return "u8";
  if constexpr (std::is_same_v<T, std::uint16_t>) return "u16";
  if constexpr (std::is_same_v<T, std::uint32_t>) return "u32";
  if constexpr (std::is_same_v<T, std::uint64_t>) return "u64";
  if constexpr (std::is_same_v<T, std::int8_t>) return "i8";
  if constexpr (std::is_same_v<T, std::int16_t>) return "i16";
  if constexpr (std::is_same_v<T, std::int32_t>) return "i32";
  if constexpr (std::is_same_v<T, std::int64_t>) return "i64";
}

template <class T>
requires std::integral<T> &&(!std::same_as<T, bool>)struct Codec<T> {
  static Result<T> decode(const Value& v) {
    constexpr std::string_view name = integer_name<T>();
    if (v.is_unsigned()) {
      std::uint64_t u = v.as_unsigned();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
        return fail(invalid_value(v, name));
      }
      return static_cast<T>(u);
    }
    if (v.is_signed()) {
      std::int64_t i = v.as_signed();
      if constexpr (std::is_unsigned_v<T>) {
        return fail(invalid_value(v, name));
      } else {
        if (i < static_cast<std::int64_t>(std::numeric_limits<T>::min())) {
          return fail(invalid_value(v, name));
        }
        return static_cast<T>(i);
      }
    }
    return fail(invalid_type(v, name));
  }
  static void encode(Writer& w, T value) {
    if constexpr (std::is_unsigned_v<T>) {
      w.unsigned_integer(value);
    } else {
      w.signed_integer(value);
    }
  }
};

template <>
struct Codec<bool> {
  static Result<bool> decode(const Value& v);
  static void encode(Writer& w, bool value) { w.boolean(value); }
};

template <>
struct Codec<double> {
  static Result<double> decode(const Value& v);
  static void encode(Writer& w, double value) { w.floating(value); }
};

template <>
struct Codec<std::string> {
  static Result<std::string> decode(const Value& v);
  static void encode(Writer& w, const std::string& value) { w.string(value); }
};

// A generic value passes through unchanged.
template <>
struct Codec<Value> {
  static Result<Value> decode(const Value& v) { return v; }
  static void encode(Writer& w, const Value& value) { w.value(value); }
};

template <class T>
struct Codec<std::optional<T>> {
  static Result<std::optional<T>> decode(const Value& v) {
    if (v.is_null()) return std::optional<T>();
    Result<T> inner = Codec<T>::decode(v);
    if (!inner) return fail(std::move(inner).error());
    return std::optional<T>(std::move(*inner));
  }
  static void encode(Writer& w, const std::optional<T>& value) {
    if (value) {
      Codec<T>::encode(w, *value);
    } else {
      w.null();
    }
  }
};

template <class T>
struct Codec<std::vector<T>> {
  static Result<std::vector<T>> decode(const Value& v) {
    if (!v.is_array()) return fail(invalid_type(v, "a sequence"));
    std::vector<T> out;
    out.reserve(v.as_array().size());
    for (const Value& item : v.as_array()) {
      Result<T> element = Codec<T>::decode(item);
      if (!element) return fail(std::move(element).error());
      out.push_back(std::move(*element));
    }
    return out;
  }
  static void encode(Writer& w, const std::vector<T>& values) {
    w.begin_array();
    for (const T& item : values) Codec<T>::encode(w, item);
    w.end_array();
  }
};

// ---- Records -------------------------------------------------------------

// When a field is left out on writing.
enum class Omit : std::uint8_t {
  kNever,    // always written (an empty optional as null)
  kIfNone,   // left out when the optional holds nothing
  kIfZero,   // left out when the number is 0
  kIfEmpty,  // left out when the list is empty
};

template <class T, class M>
class Field {
 public:
  using Owner = T;
  using Type = M;

  constexpr Field(std::string_view name, M T::*member)
      : name_(name), member_(member), omit_(kIsOptional<M> ? Omit::kIfNone : Omit::kNever) {}

  // Another key that names the same field on reading ("action" for "operation").
  constexpr Field alias(std::string_view other) const {
    Field copy = *this;
    for (std::string_view& slot : copy.aliases_) {
      if (slot.empty()) {
        slot = other;
        break;
      }
    }
    return copy;
  }
  // A missing key keeps the record's default value instead of failing.
  constexpr Field or_default() const {
    Field copy = *this;
    copy.defaulted_ = true;
    return copy;
  }
  constexpr Field omit(Omit rule) const {
    Field copy = *this;
    copy.omit_ = rule;
    return copy;
  }

  constexpr std::string_view name() const { return name_; }
  constexpr bool matches(std::string_view key) const {
    if (key == name_) return true;
    for (std::string_view other : aliases_) {
      if (!other.empty() && key == other) return true;
    }
    return false;
  }
  constexpr bool required() const { return !defaulted_ && !kIsOptional<M>; }

  M& of(T& record) const { return record.*member_; }
  const M& of(const T& record) const { return record.*member_; }

  bool omitted(const T& record) const {
    const M& value = record.*member_;
    switch (omit_) {
      case Omit::kNever:
        return false;
      case Omit::kIfNone:
        if constexpr (kIsOptional<M>) return !value.has_value();
        return false;
      case Omit::kIfZero:
        if constexpr (std::is_arithmetic_v<M>) return value == M{};
        return false;
      case Omit::kIfEmpty:
        if constexpr (IsVector<M>::value) return value.empty();
        return false;
    }
    return false;
  }

 private:
  std::string_view name_;
  M T::*member_;
  std::array<std::string_view, 3> aliases_{};
  bool defaulted_ = false;
  Omit omit_;
};

template <class T, class M>
constexpr Field<T, M> field(std::string_view name, M T::*member) {
  return Field<T, M>(name, member);
}

// Specialise for each record type: name, fields, and for an alternative of a
// tagged union its tag.
template <class T>
struct Record;

template <class T>
concept IsRecord = requires {
  Record<T>::name;
  Record<T>::fields;
};

namespace detail {

template <class Tuple, class F>
constexpr void for_each_indexed(const Tuple& tuple, F&& f) {
  std::apply(
      [&](const auto&... items) {
        std::size_t index = 0;
        (f(items, index++), ...);
      },
      tuple);
}

template <class T>
std::string struct_expectation() {
  return std::string("struct ") + std::string(Record<T>::name);
}

std::string struct_length_expectation(std::string_view name, std::size_t count);

}  // namespace detail

// Reads the fields of record T from an object (or an array of exactly its
// fields) into `out`, which holds the defaults.
template <IsRecord T>
Result<void> decode_fields(const Value& v, T& out) {
  constexpr auto& fields = Record<T>::fields;
  constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>;

  if (v.is_array()) {
    const Array& items = v.as_array();
    std::optional<KivoError> error;
    detail::for_each_indexed(fields, [&](const auto& f, std::size_t i) {
      if (error) return;
      if (i >= items.size()) {
        error = invalid_length(i, detail::struct_length_expectation(Record<T>::name, count));
        return;
      }
      using M = typename std::remove_cvref_t<decltype(f)>::Type;
      Result<M> value = Codec<M>::decode(items[i]);
      if (!value) {
        error = std::move(value).error();
        return;
      }
      f.of(out) = std::move(*value);
    });
    if (error) return fail(std::move(*error));
    if (items.size() > count) {
      return fail(
          invalid_length(items.size(), detail::struct_length_expectation(Record<T>::name, count)));
    }
    return ok();
  }
  if (!v.is_object()) return fail(invalid_type(v, detail::struct_expectation<T>()));

  std::bitset<count == 0 ? 1 : count> seen;
  for (const Member& member : v.as_object()) {
    std::optional<KivoError> error;
    bool matched = false;
    detail::for_each_indexed(fields, [&](const auto& f, std::size_t i) {
      if (matched || !f.matches(member.key)) return;
      matched = true;
      if (seen[i]) {
        error = duplicate_field(f.name());
        return;
      }
      seen[i] = true;
      using M = typename std::remove_cvref_t<decltype(f)>::Type;
      Result<M> value = Codec<M>::decode(member.value);
      if (!value) {
        error = std::move(value).error();
        return;
      }
      f.of(out) = std::move(*value);
    });
    if (error) return fail(std::move(*error));
  }
  std::optional<KivoError> missing;
  detail::for_each_indexed(fields, [&](const auto& f, std::size_t i) {
    if (!missing && !seen[i] && f.required()) missing = missing_field(f.name());
  });
  if (missing) return fail(std::move(*missing));
  return ok();
}

// Writes the members of record T, in declared order, into an open object.
template <IsRecord T>
void encode_fields(Writer& w, const T& record) {
  detail::for_each_indexed(Record<T>::fields, [&](const auto& f, std::size_t) {
    if (f.omitted(record)) return;
    using M = typename std::remove_cvref_t<decltype(f)>::Type;
    w.key(f.name());
    Codec<M>::encode(w, f.of(record));
  });
}

template <IsRecord T>
struct Codec<T> {
  static Result<T> decode(const Value& v) {
    T out{};
    Result<void> status = decode_fields(v, out);
    if (!status) return fail(std::move(status).error());
    return out;
  }
  static void encode(Writer& w, const T& record) {
    w.begin_object();
    encode_fields(w, record);
    w.end_object();
  }
};

// ---- Tagged unions -------------------------------------------------------

// Specialise for a std::variant of tagged records: its name in errors and
// the key that holds the tag.
template <class V>
struct TaggedUnion;

template <class V>
concept IsTaggedUnion = requires {
  TaggedUnion<V>::name;
  TaggedUnion<V>::tag_key;
};

namespace detail {

// Finds the tag of a tagged object: the one member under tag_key, which must
// be a string.
Result<std::string_view> find_tag(const Value& v, std::string_view union_name,
                                  std::string_view tag_key);

}  // namespace detail

template <class... Alternatives>
requires IsTaggedUnion<std::variant<Alternatives...>>
struct Codec<std::variant<Alternatives...>> {
  using Variant = std::variant<Alternatives...>;
  static constexpr std::array<std::string_view, sizeof...(Alternatives)> kTags{
      Record<Alternatives>::tag...};

  static Result<Variant> decode(const Value& v) {
    Result<std::string_view> tag =
        detail::find_tag(v, TaggedUnion<Variant>::name, TaggedUnion<Variant>::tag_key);
    if (!tag) return fail(std::move(tag).error());
    std::optional<Result<Variant>> result;
    (try_alternative<Alternatives>(*tag, v, result), ...);
    if (!result) return fail(unknown_variant(*tag, kTags));
    return std::move(*result);
  }

  static void encode(Writer& w, const Variant& value) {
    std::visit(
        [&](const auto& alternative) {
          using A = std::remove_cvref_t<decltype(alternative)>;
          w.begin_object();
          w.key(TaggedUnion<Variant>::tag_key);
          w.string(Record<A>::tag);
          encode_fields(w, alternative);
          w.end_object();
        },
        value);
  }

 private:
  template <class A>
  static void try_alternative(std::string_view tag, const Value& v,
                              std::optional<Result<Variant>>& result) {
    if (result || tag != Record<A>::tag) return;
    A alternative{};
    Result<void> status = decode_fields(v, alternative);
    if (!status) {
      result.emplace(fail(std::move(status).error()));
    } else {
      result.emplace(Variant(std::in_place_type<A>, std::move(alternative)));
    }
  }
};

}  // namespace kivo::json
