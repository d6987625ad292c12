#include "kivo/x11/x11_window_server_probe.hpp"

#include <fmt/format.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string_view>
#include <utility>

#include "xcb_connection_error.hpp"

namespace kivo::x11 {

X11WindowServerProbe::X11WindowServerProbe(std::optional<std::string> display_name)
    : display_name_(std::move(display_name)) {}

X11WindowServerProbe::~X11WindowServerProbe() {
  close();
}

Expected<void, std::string> X11WindowServerProbe::open() {
  close();
  const char* from_environment = std::getenv("DISPLAY");
  const std::string name =
      display_name_ ? *display_name_ : std::string(from_environment ? from_environment : "");
  if (name.empty()) return fail(std::string("no X display: DISPLAY is not set"));
  // xcb_connect always returns a connection, a failed one included, which
  // must still be disconnected.
  xcb_connection_t* connection = xcb_connect(name.c_str(), nullptr);
  if (const int code = xcb_connection_has_error(connection); code != 0) {
    xcb_disconnect(connection);
    return fail(fmt::format("cannot connect to X display \"{}\": {}", name,
                            xcb_connection_error_text(code)));
  }
  connection_ = connection;
  return {};
}

int X11WindowServerProbe::watch_fd() const {
  return connection_ != nullptr ? xcb_get_file_descriptor(connection_) : -1;
}

Expected<void, std::string> X11WindowServerProbe::check_alive() {
  if (connection_ == nullptr) return fail(std::string("X connection not open"));
  // Reading is what lets xcb notice that the server has gone.
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
  if (const int code = xcb_connection_has_error(connection_); code != 0) {
    return fail(fmt::format("X connection lost: {}", xcb_connection_error_text(code)));
  }
  return {};
}

void X11WindowServerProbe::close() {
  if (connection_ == nullptr) return;
  xcb_disconnect(connection_);
  connection_ = nullptr;
}

}  // namespace kivo::x11
