// Small xcb helpers shared by the X11 screen source: owned replies and
// connections, and the RandR and EWMH listings.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kivo/capture/screen_source.hpp"
#include "kivo/core/result.hpp"

namespace kivo::x11 {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
// A reply or error from xcb, freed with free().
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

struct XcbDisconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

// Opens a connection; the error names the display. Never returns a failed
// connection.
Result<XcbConnection> connect_display(const std::string& display_name, int* screen_number);

// The screen of that number.
xcb_screen_t* screen_of(xcb_connection_t* connection, int screen_number);

// The connection's failure as a stream error; empty while it works.
std::optional<capture::StreamError> connection_error(xcb_connection_t* connection);

// An area of the root window, in root pixels.
struct RootArea {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
  friend bool operator==(const RootArea&, const RootArea&) = default;
};

RootArea intersect(const RootArea& a, const RootArea& b);

// The displays: active RandR outputs, primary first; the whole screen as
// display 0 when RandR lists none.
std::vector<capture::DisplayDescriptor> list_displays(xcb_connection_t* connection,
                                                      xcb_screen_t* screen);

// The primary output, or the first active one.
std::optional<std::uint32_t> primary_display(xcb_connection_t* connection, xcb_screen_t* screen);

// Where display `id` lies now; empty when it is gone or inactive.
std::optional<RootArea> display_area(xcb_connection_t* connection, xcb_screen_t* screen,
                                     std::uint32_t id);

// The windows of the EWMH client list.
std::vector<capture::WindowDescriptor> list_windows(xcb_connection_t* connection,
                                                    xcb_screen_t* screen, bool on_screen_only);

// Where window `id` lies now, in root coordinates; empty when it is gone.
std::optional<RootArea> window_area(xcb_connection_t* connection, xcb_screen_t* screen,
                                    std::uint32_t id);

// The size of the root window now.
RootArea root_area(xcb_connection_t* connection, xcb_screen_t* screen);

}  // namespace kivo::x11
