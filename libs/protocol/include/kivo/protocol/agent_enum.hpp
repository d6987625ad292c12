// Enumerations that travel as one of a fixed set of strings ("granted",
// "screen_denied", ...). An enumeration opts in by specialising
// AgentEnumNames with its name (shown in reader errors) and the text of each
// enumerator, indexed by the enumerator's value; the values must run 0..N-1.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

template <class E>
struct AgentEnumNames;

template <class E>
concept AgentEnum = std::is_enum_v<E> && requires {
  AgentEnumNames<E>::name;
  AgentEnumNames<E>::texts;
};

// The wire text of an enumerator.
template <AgentEnum E>
constexpr std::string_view wire_text(E value) {
  return AgentEnumNames<E>::texts[static_cast<std::size_t>(value)];
}

}  // namespace kivo::protocol

namespace kivo::json {

template <class E>
requires kivo::protocol::AgentEnum<E>
struct Codec<E> {
  static Result<E> decode(const Value& v) {
    if (!v.is_string()) return fail(invalid_type(v, "variant identifier"));
    constexpr auto& texts = kivo::protocol::AgentEnumNames<E>::texts;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (v.as_string() == texts[i]) return static_cast<E>(i);
    }
    return fail(unknown_variant(v.as_string(), texts));
  }
  static void encode(Writer& w, E value) { w.string(kivo::protocol::wire_text(value)); }
};

}  // namespace kivo::json
