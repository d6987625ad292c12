#include "kivo/input/button_map.hpp"

namespace kivo::input {

ButtonEvents button_events(protocol::MouseButton button) {
  using T = MouseEventType;
  switch (button) {
    case protocol::MouseButton::kLeft:
      return {0, T::kLeftMouseDown, T::kLeftMouseUp, T::kLeftMouseDragged};
    case protocol::MouseButton::kMiddle:
      return {2, T::kOtherMouseDown, T::kOtherMouseUp, T::kOtherMouseDragged};
    case protocol::MouseButton::kRight:
      return {1, T::kRightMouseDown, T::kRightMouseUp, T::kRightMouseDragged};
    case protocol::MouseButton::kX1:
      return {3, T::kOtherMouseDown, T::kOtherMouseUp, T::kOtherMouseDragged};
    case protocol::MouseButton::kX2:
      return {4, T::kOtherMouseDown, T::kOtherMouseUp, T::kOtherMouseDragged};
  }
  return {};
}

MoveEvent move_event(const std::array<bool, 5>& held) {
  // Right outranks Middle here, unlike the index order.
  constexpr std::array kPriority{protocol::MouseButton::kLeft, protocol::MouseButton::kRight,
                                 protocol::MouseButton::kMiddle, protocol::MouseButton::kX1,
                                 protocol::MouseButton::kX2};
  for (const protocol::MouseButton button : kPriority) {
    if (held[button_index(button)]) {
      const ButtonEvents events = button_events(button);
      return {events.drag, events.number};
    }
  }
  return {};
}

}  // namespace kivo::input
