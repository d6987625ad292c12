// Enums that travel as one of a fixed set of exact, case-sensitive strings
// ("Move", "Left"). Specialise StringEnum<E> with its strings in the order of the enumerators
// (which must count up from 0); the JSON layer then reads and writes E as those strings.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

template <class E>
struct StringEnum;

template <class E>
concept IsStringEnum = std::is_enum_v<E> && requires {
  StringEnum<E>::names;
};

}  // namespace kivo::protocol

namespace kivo::json {

template <class E>
requires protocol::IsStringEnum<E>
struct Codec<E> {
  static Result<E> decode(const Value& v) {
    constexpr const auto& names = protocol::StringEnum<E>::names;
    if (!v.is_string()) return fail(invalid_type(v, "variant identifier"));
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (v.as_string() == names[i]) return static_cast<E>(i);
    }
    return fail(unknown_variant(v.as_string(), names));
  }
  static void encode(Writer& w, E value) {
    w.string(protocol::StringEnum<E>::names.at(static_cast<std::size_t>(value)));
  }
};

}  // namespace kivo::json
