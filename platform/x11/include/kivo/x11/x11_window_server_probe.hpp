// A probe connection to the X server, for the agent's graphics supervisor:
// opened with xcb, watched through its descriptor, found dead once xcb has
// seen the server go. It sends no requests of its own, so it costs the
// server nothing while it watches.
#pragma once

#include <optional>
#include <string>

#include "kivo/core/result.hpp"

struct xcb_connection_t;

namespace kivo::x11 {

class X11WindowServerProbe {
 public:
  // Probes `display_name` (":1"), or the display named by $DISPLAY at each
  // open when none is given.
  explicit X11WindowServerProbe(std::optional<std::string> display_name = std::nullopt);
  ~X11WindowServerProbe();
  X11WindowServerProbe(const X11WindowServerProbe&) = delete;
  X11WindowServerProbe& operator=(const X11WindowServerProbe&) = delete;

  // Connects, closing any earlier connection first. The error names the
  // display and why the connection failed.
  Expected<void, std::string> open();

  // The connection's socket, readable when the server sends something or
  // goes away; -1 when closed.
  int watch_fd() const;

  // Reads (and drops) whatever the server sent, then says whether the
  // connection still works. Never blocks.
  Expected<void, std::string> check_alive();

  void close();

 private:
  std::optional<std::string> display_name_;
  xcb_connection_t* connection_ = nullptr;
};

}  // namespace kivo::x11
