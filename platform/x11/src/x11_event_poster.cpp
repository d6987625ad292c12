#include "kivo/x11/x11_event_poster.hpp"

#include <fmt/format.h>
#include <linux/input-event-codes.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "kivo/core/log.hpp"
#include "x11_screen_source_xcb.hpp"
#include "xcb_connection_error.hpp"

namespace kivo::x11 {
namespace {

using input::EventFlags;
using input::GlobalPoint;
using input::InputError;
using input::MouseEventType;
using input::PostResult;

constexpr std::string_view kTarget = "kivo_input";

// X key codes of evdev servers are the Linux key codes plus 8.
constexpr int kEvdevKeycodeOffset = 8;
constexpr std::uint8_t kWheelUpButton = 4;
constexpr std::uint8_t kWheelDownButton = 5;

// Keysyms that tell evdev key codes from the older XFree86 ones: on an evdev
// server the arrow keys sit at KEY_UP + 8 and KEY_LEFT + 8, where the older
// numbering has Print and the right Alt key. Arrows keep their keysyms in
// every layout, so the check does not depend on the user's language.
constexpr xcb_keysym_t kKeysymLeft = 0xff51;
constexpr xcb_keysym_t kKeysymUp = 0xff52;

InputError unavailable(std::string reason) {
  return InputError::event_source_unavailable(std::move(reason));
}

// The X button of a button number: left, right, middle, back, forward.
std::optional<std::uint8_t> x_button(std::uint32_t button_number) {
  switch (button_number) {
    case 0:
      return 1;
    case 1:
      return 3;
    case 2:
      return 2;
    case 3:
      return 8;
    case 4:
      return 9;
    default:
      return std::nullopt;
  }
}

// What a pointer event type does on X: move, or press or release a button.
enum class PointerAction { kMove, kPress, kRelease };

std::optional<PointerAction> pointer_action(MouseEventType type) {
  switch (type) {
    case MouseEventType::kMouseMoved:
    case MouseEventType::kLeftMouseDragged:
    case MouseEventType::kRightMouseDragged:
    case MouseEventType::kOtherMouseDragged:
      return PointerAction::kMove;
    case MouseEventType::kLeftMouseDown:
    case MouseEventType::kRightMouseDown:
    case MouseEventType::kOtherMouseDown:
      return PointerAction::kPress;
    case MouseEventType::kLeftMouseUp:
    case MouseEventType::kRightMouseUp:
    case MouseEventType::kOtherMouseUp:
      return PointerAction::kRelease;
  }
  return std::nullopt;
}

// The nearest pixel in [0, size - 1]; a coordinate that is not a number
// goes to 0.
std::int16_t to_pixel(double coordinate, std::uint16_t size) {
  if (std::isnan(coordinate)) return 0;
  const double last = size > 0 ? static_cast<double>(size - 1) : 0.0;
  return static_cast<std::int16_t>(std::lround(std::clamp(coordinate, 0.0, last)));
}

// The keysyms of one key code, from a reply of GetKeyboardMapping.
bool key_has_keysym(const xcb_get_keyboard_mapping_reply_t& mapping, xcb_keycode_t first,
                    xcb_keycode_t keycode, xcb_keysym_t keysym) {
  const int per_keycode = mapping.keysyms_per_keycode;
  const int count = xcb_get_keyboard_mapping_keysyms_length(&mapping);
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(&mapping);
  const int start = (keycode - first) * per_keycode;
  for (int i = start; i < start + per_keycode && i < count; ++i) {
    if (keysyms[i] == keysym) return true;
  }
  return false;
}

struct RootSize {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

class X11EventPoster final : public input::EventPoster {
 public:
  X11EventPoster(XcbConnection connection, xcb_window_t root, RootSize root_size,
                 std::optional<std::uint8_t> randr_first_event)
      : connection_(std::move(connection)),
        root_(root),
        root_size_(root_size),
        randr_first_event_(randr_first_event) {
    const xcb_setup_t* setup = xcb_get_setup(connection_.get());
    min_keycode_ = setup->min_keycode;
    max_keycode_ = setup->max_keycode;
  }

  PostResult post_mouse(MouseEventType type, std::uint32_t button_number,
                        std::int64_t /*click_state*/, EventFlags /*flags*/,
                        GlobalPoint point) override {
    const std::optional<PointerAction> action = pointer_action(type);
    if (!action) return fail(InputError::event_creation_failed("mouse"));
    std::optional<std::uint8_t> button;
    if (*action != PointerAction::kMove) {
      // Left and right are named by the type itself; the others by number.
      if (type == MouseEventType::kLeftMouseDown || type == MouseEventType::kLeftMouseUp) {
        button_number = 0;
      } else if (type == MouseEventType::kRightMouseDown || type == MouseEventType::kRightMouseUp) {
        button_number = 1;
      }
      button = x_button(button_number);
      if (!button) return fail(InputError::event_creation_failed("mouse"));
    }
    if (!take_pending()) return broken("mouse");

    // Presses and releases land where the event says, so the pointer goes
    // there first.
    xcb_test_fake_input(connection_.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_,
                        to_pixel(point.x, root_size_.width), to_pixel(point.y, root_size_.height),
                        XCB_NONE);
    if (button) {
      const std::uint8_t event_type =
          *action == PointerAction::kPress ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE;
      fake(event_type, *button);
    }
    return flush("mouse");
  }

  PostResult post_scroll(std::int32_t lines, EventFlags /*flags*/) override {
    if (!take_pending()) return broken("scroll");
    const std::uint8_t button = lines > 0 ? kWheelUpButton : kWheelDownButton;
    const std::int64_t clicks = std::abs(static_cast<std::int64_t>(lines));
    for (std::int64_t i = 0; i < clicks; ++i) {
      fake(XCB_BUTTON_PRESS, button);
      fake(XCB_BUTTON_RELEASE, button);
    }
    return flush("scroll");
  }

  PostResult post_key(std::uint16_t mac_key_code, bool down, EventFlags /*flags*/) override {
    const std::optional<std::uint16_t> linux_code = evdev_key_code(mac_key_code);
    if (!linux_code) return fail(InputError::event_creation_failed("keyboard"));
    const int keycode = *linux_code + kEvdevKeycodeOffset;
    if (keycode < min_keycode_ || keycode > max_keycode_) {
      return fail(InputError::event_creation_failed("keyboard"));
    }
    if (!take_pending()) return broken("keyboard");
    fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, static_cast<std::uint8_t>(keycode));
    return flush("keyboard");
  }

 private:
  void fake(std::uint8_t event_type, std::uint8_t detail) {
    xcb_test_fake_input(connection_.get(), event_type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        XCB_NONE);
  }

  // Reads what the server sent since the last event: screen size changes,
  // and errors of earlier requests. Reading is also how xcb learns that the
  // server has gone, which spares a write into a closed socket. False when
  // the connection is broken.
  bool take_pending() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_.get())) {
      const std::uint8_t type = event->response_type & 0x7f;
      if (type == 0) {
        const auto* error = reinterpret_cast<const xcb_generic_error_t*>(event);
        KIVO_DEBUG(kTarget, "X server refused a synthetic input request",
                   log::field("error_code", static_cast<int>(error->error_code)),
                   log::field("major_opcode", static_cast<int>(error->major_code)));
      } else if (randr_first_event_ &&
                 type == *randr_first_event_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
        refresh_root_size();
      }
      std::free(event);
    }
    return xcb_connection_has_error(connection_.get()) == 0;
  }

  void refresh_root_size() {
    XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(
        connection_.get(), xcb_get_geometry(connection_.get(), root_), nullptr));
    if (geometry) root_size_ = {geometry->width, geometry->height};
  }

  PostResult flush(std::string_view kind) {
    if (xcb_flush(connection_.get()) > 0 && xcb_connection_has_error(connection_.get()) == 0) {
      return {};
    }
    return broken(kind);
  }

  // Every call after the loss fails too (the releases at the end of the
  // generation among them); the loss itself is logged once.
  PostResult broken(std::string_view kind) {
    if (!loss_logged_) {
      loss_logged_ = true;
      const int code = xcb_connection_has_error(connection_.get());
      KIVO_WARN(kTarget, "X connection for synthetic input lost",
                log::field("error", code != 0 ? xcb_connection_error_text(code) : "flush failed"));
    }
    return fail(InputError::event_creation_failed(kind));
  }

  XcbConnection connection_;
  xcb_window_t root_;
  RootSize root_size_;
  std::optional<std::uint8_t> randr_first_event_;
  int min_keycode_ = 0;
  int max_keycode_ = 0;
  bool loss_logged_ = false;
};

// Whether the server numbers its keys as evdev does.
Expected<void, InputError> check_evdev_keycodes(xcb_connection_t* connection,
                                                const std::string& display) {
  const xcb_setup_t* setup = xcb_get_setup(connection);
  const xcb_keycode_t first = setup->min_keycode;
  const auto up = static_cast<xcb_keycode_t>(KEY_UP + kEvdevKeycodeOffset);
  const auto left = static_cast<xcb_keycode_t>(KEY_LEFT + kEvdevKeycodeOffset);
  if (first > up || setup->max_keycode < left) {
    return fail(unavailable(fmt::format("X keyboard on {} has no key codes {} to {}", display,
                                        static_cast<int>(up), static_cast<int>(left))));
  }
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - first + 1);
  xcb_generic_error_t* raw_error = nullptr;
  XcbReply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
      connection, xcb_get_keyboard_mapping(connection, first, count), &raw_error));
  const XcbReply<xcb_generic_error_t> error(raw_error);
  if (!mapping) {
    return fail(unavailable(fmt::format("cannot read the X keyboard mapping on {}", display)));
  }
  if (!key_has_keysym(*mapping, first, up, kKeysymUp) ||
      !key_has_keysym(*mapping, first, left, kKeysymLeft)) {
    return fail(unavailable(fmt::format(
        "X server on {} does not use evdev key codes (key codes {} and {} are not Up and Left)",
        display, static_cast<int>(up), static_cast<int>(left))));
  }
  return {};
}

}  // namespace

X11EventPosterFactory::X11EventPosterFactory(std::string display_name)
    : display_name_(std::move(display_name)) {}

Expected<std::unique_ptr<input::EventPoster>, InputError> X11EventPosterFactory::create() {
  std::string display = display_name_;
  if (display.empty()) {
    const char* from_environment = std::getenv("DISPLAY");
    if (from_environment == nullptr || *from_environment == '\0') {
      return fail(unavailable("no X display: DISPLAY is not set"));
    }
    display = from_environment;
  }

  int screen_number = 0;
  // xcb_connect returns a connection even when it fails; it is disconnected
  // either way by its owner.
  XcbConnection connection(xcb_connect(display.c_str(), &screen_number));
  if (const int code = xcb_connection_has_error(connection.get()); code != 0) {
    return fail(unavailable(fmt::format("cannot connect to X display {}: {}", display,
                                        xcb_connection_error_text(code))));
  }
  xcb_screen_t* screen = screen_of(connection.get(), screen_number);
  if (screen == nullptr) {
    return fail(unavailable(fmt::format("X display {} has no screen {}", display, screen_number)));
  }

  const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection.get(), &xcb_test_id);
  if (xtest == nullptr || xtest->present == 0) {
    return fail(unavailable(fmt::format("XTEST extension missing on {}", display)));
  }
  if (auto checked = check_evdev_keycodes(connection.get(), display); !checked) {
    return fail(std::move(checked).error());
  }

  // The root window can grow or shrink with RandR; the poster follows it to
  // keep points on the screen.
  std::optional<std::uint8_t> randr_first_event;
  const xcb_query_extension_reply_t* randr =
      xcb_get_extension_data(connection.get(), &xcb_randr_id);
  if (randr != nullptr && randr->present != 0) {
    // The server speaks RandR to a client only after the version exchange.
    XcbReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
        connection.get(), xcb_randr_query_version(connection.get(), 1, 2), nullptr));
    randr_first_event = randr->first_event;
    xcb_randr_select_input(connection.get(), screen->root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
  }
  XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(
      connection.get(), xcb_get_geometry(connection.get(), screen->root), nullptr));
  const RootSize size = geometry ? RootSize{geometry->width, geometry->height}
                                 : RootSize{screen->width_in_pixels, screen->height_in_pixels};
  if (xcb_connection_has_error(connection.get()) != 0) {
    return fail(unavailable(fmt::format("X display {} closed the connection", display)));
  }

  KIVO_DEBUG(kTarget, "X11 input event source ready", log::field("display", display),
             log::field("width", size.width), log::field("height", size.height));
  return std::unique_ptr<input::EventPoster>(std::make_unique<X11EventPoster>(
      std::move(connection), screen->root, size, randr_first_event));
}

}  // namespace kivo::x11
