// What one worker generation knows of the remote user's pointer, buttons and
// keys. Owned by the worker thread alone; every generation starts empty.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>

#include "kivo/input/input_clock.hpp"
#include "kivo/input/input_types.hpp"
#include "kivo/protocol/input_event.hpp"

namespace kivo::input {

struct PointerState {
  bool has_position = false;
  GlobalPoint position;
  std::optional<InputClock::time_point> last_click_time;
  GlobalPoint last_click_position;
  std::uint64_t last_click_count = 0;
  protocol::MouseButton last_click_button = protocol::MouseButton::kLeft;
  // Indexed as kAllButtons (Left, Middle, Right, X1, X2).
  std::array<std::uint64_t, 5> press_count{};
  std::int32_t wheel_remainder = 0;
  std::array<bool, 5> held{};

  // The position, or (0, 0) while none is known.
  GlobalPoint current_point() const { return has_position ? position : GlobalPoint{}; }
};

// The macOS key codes the worker pressed and has not released, ascending.
using PressedKeys = std::set<std::uint16_t>;

// The modifier flags of an event posted while `keys` are held.
EventFlags held_key_flags(const PressedKeys& keys);

}  // namespace kivo::input
