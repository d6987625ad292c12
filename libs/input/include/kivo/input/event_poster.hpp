// EventPoster: the port through which the input worker puts synthetic
// pointer, wheel and key events into the user's session. One poster belongs
// to one worker generation and is used from that generation's thread only.
//
// The calls carry what the desktop's event model needs (event types, button
// numbers, click states, modifier flags, macOS key codes); a backend uses what
// its window system understands and ignores the rest. The portable posting
// step (abandoned check, post counter, diagnostics) runs before each call.
#pragma once

#include <cstdint>
#include <memory>

#include "kivo/core/result.hpp"
#include "kivo/input/input_error.hpp"
#include "kivo/input/input_types.hpp"

namespace kivo::input {

using PostResult = Expected<void, InputError>;

class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // A pointer event of `type` at `point` (global display points). Moves and
  // drags move the pointer; presses and releases act at the point.
  // Fails with EventCreationFailed("mouse").
  virtual PostResult post_mouse(MouseEventType type, std::uint32_t button_number,
                                std::int64_t click_state, EventFlags flags, GlobalPoint point) = 0;
  // `lines` wheel lines, positive away from the user. Fails with
  // EventCreationFailed("scroll").
  virtual PostResult post_scroll(std::int32_t lines, EventFlags flags) = 0;
  // A key press or release by macOS key code. Fails with
  // EventCreationFailed("keyboard").
  virtual PostResult post_key(std::uint16_t mac_key_code, bool down, EventFlags flags) = 0;
};

// Makes the poster of a new generation: the event source of the desktop.
// Fails with EventSourceUnavailable and the system's reason.
class EventPosterFactory {
 public:
  virtual ~EventPosterFactory() = default;
  virtual Expected<std::unique_ptr<EventPoster>, InputError> create() = 0;
};

}  // namespace kivo::input
