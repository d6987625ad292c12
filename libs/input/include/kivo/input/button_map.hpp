// Buttons: each remote button's number and event types in the desktop's
// event model, and the order in which the worker tracks and releases them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kivo/input/input_types.hpp"
#include "kivo/protocol/input_event.hpp"

namespace kivo::input {

struct ButtonEvents {
  std::uint32_t number = 0;
  MouseEventType press = MouseEventType::kLeftMouseDown;
  MouseEventType release = MouseEventType::kLeftMouseUp;
  // The type of pointer moves while this button is held.
  MouseEventType drag = MouseEventType::kLeftMouseDragged;
  friend bool operator==(const ButtonEvents&, const ButtonEvents&) = default;
};

ButtonEvents button_events(protocol::MouseButton button);

// Left, Middle, Right, X1, X2: the index order of per-button state, and the
// order in which a reset releases held buttons.
inline constexpr std::array<protocol::MouseButton, 5> kAllButtons{
    protocol::MouseButton::kLeft, protocol::MouseButton::kMiddle, protocol::MouseButton::kRight,
    protocol::MouseButton::kX1, protocol::MouseButton::kX2};

constexpr std::size_t button_index(protocol::MouseButton button) {
  return static_cast<std::size_t>(button);
}

// The type and button number of a pointer move, given which buttons are held
// (indexed as kAllButtons). When several are held the first of Left, Right,
// Middle, X1, X2 decides; with none held it is a plain move with button 0.
struct MoveEvent {
  MouseEventType type = MouseEventType::kMouseMoved;
  std::uint32_t button_number = 0;
  friend bool operator==(const MoveEvent&, const MoveEvent&) = default;
};
MoveEvent move_event(const std::array<bool, 5>& held);

}  // namespace kivo::input
