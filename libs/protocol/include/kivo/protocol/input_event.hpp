// InputEvent: one remote mouse or keyboard event of "inject_input", or a
// reset of the injector's held state.
//
// On the wire the variant's name is the only key: {"Mouse": MouseEvent},
// {"Keyboard": KeyboardEvent}, or the bare string "Reset".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <variant>

#include "kivo/core/json_codec.hpp"
#include "kivo/protocol/string_enum.hpp"

namespace kivo::protocol {

enum class MouseAction : std::uint8_t {
  kMove,
  kDown,
  kUp,
  kWheel,
  kMoveRelative,  // "x" and "y" are deltas
  kDoubleClick,
};

enum class MouseButton : std::uint8_t { kLeft, kMiddle, kRight, kX1, kX2 };

template <>
struct StringEnum<MouseAction> {
  static constexpr std::array<std::string_view, 6> names{"Move",  "Down",         "Up",
                                                         "Wheel", "MoveRelative", "DoubleClick"};
};

template <>
struct StringEnum<MouseButton> {
  static constexpr std::array<std::string_view, 5> names{"Left", "Middle", "Right", "X1", "X2"};
};

struct MouseEvent {
  MouseAction action = MouseAction::kMove;
  // Whether x and y carry a position.
  bool has_xy = false;
  std::optional<MouseButton> button;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int16_t wheel_delta = 0;
  friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

struct KeyboardEvent {
  bool is_down = false;
  bool is_repeat = false;
  std::uint8_t flags = 0;
  // A Windows virtual-key code.
  std::uint16_t vk_code = 0;
  friend bool operator==(const KeyboardEvent&, const KeyboardEvent&) = default;
};

// "Reset": release whatever the injector holds down.
struct InputReset {
  friend bool operator==(const InputReset&, const InputReset&) = default;
};

using InputEvent = std::variant<MouseEvent, KeyboardEvent, InputReset>;

// A mouse event with x and y: frame pixels of the capture geometry (a delta
// for "MoveRelative"), so it is checked against the geometry's epoch.
inline bool is_positioned_mouse_event(const InputEvent& event) {
  const auto* mouse = std::get_if<MouseEvent>(&event);
  return mouse != nullptr && mouse->has_xy;
}

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::MouseEvent> {
  using T = kivo::protocol::MouseEvent;
  static constexpr std::string_view name = "MouseEvent";
  static constexpr auto fields = std::make_tuple(
      field("action", &T::action), field("has_xy", &T::has_xy), field("button", &T::button),
      field("x", &T::x), field("y", &T::y), field("wheel_delta", &T::wheel_delta));
};

template <>
struct kivo::json::Record<kivo::protocol::KeyboardEvent> {
  using T = kivo::protocol::KeyboardEvent;
  static constexpr std::string_view name = "KeyboardEvent";
  static constexpr auto fields =
      std::make_tuple(field("is_down", &T::is_down), field("is_repeat", &T::is_repeat),
                      field("flags", &T::flags), field("vk_code", &T::vk_code));
};

// The variant is tagged by its only key, not by a "type" member, so it has a
// codec of its own instead of a TaggedUnion description.
template <>
struct kivo::json::Codec<kivo::protocol::InputEvent> {
  static Result<kivo::protocol::InputEvent> decode(const Value& v);
  static void encode(Writer& w, const kivo::protocol::InputEvent& event);
};
