// X11EventPosterFactory: the event source of an X11 desktop. Each generation
// of the input worker gets a poster with its own xcb connection, which puts
// synthetic pointer, wheel and key events into the server with XTEST.
//
// Global points are root-window pixels on X11: a point is rounded to the
// nearest pixel and kept inside the root window. Button numbers 0 to 4
// (left, right, middle, back, forward) become X buttons 1, 3, 2, 8 and 9;
// a wheel line is one click of X button 4 (up) or 5 (down). Click states and
// modifier flags have no place in X input: clients count clicks themselves,
// and the modifier state follows the modifier keys actually held.
//
// Keys travel by position: a macOS key code becomes the Linux input key code
// of the same key, and that plus 8 is the X key code on a server with evdev
// key codes (every current X server). create() refuses a server whose
// keyboard mapping shows other key codes, since posting would press the
// wrong keys.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kivo/input/event_poster.hpp"

namespace kivo::x11 {

class X11EventPosterFactory final : public input::EventPosterFactory {
 public:
  // `display_name` as for xcb_connect (":1"); empty means $DISPLAY, read at
  // each create().
  explicit X11EventPosterFactory(std::string display_name = {});

  // Connects and checks the server: XTEST present, evdev key codes. Fails
  // with EventSourceUnavailable naming the display and what is wrong. The
  // poster fails each call with EventCreationFailed of its kind once the
  // connection is broken; it never reconnects.
  Expected<std::unique_ptr<input::EventPoster>, input::InputError> create() override;

 private:
  std::string display_name_;
};

// The Linux input key code (KEY_A ... from <linux/input-event-codes.h>) of
// the key at the position of a macOS virtual key code; empty for a code with
// no key here.
std::optional<std::uint16_t> evdev_key_code(std::uint16_t mac_key_code);

}  // namespace kivo::x11
