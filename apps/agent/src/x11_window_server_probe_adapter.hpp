// The graphics supervisor's probe on the X server.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "kivo/x11/x11_window_server_probe.hpp"
#include "window_server_probe.hpp"

namespace kivo::agent {

class X11WindowServerProbeAdapter final : public WindowServerProbe {
 public:
  // Probes `display_name`, or $DISPLAY when none is given.
  explicit X11WindowServerProbeAdapter(std::optional<std::string> display_name = std::nullopt);

  Expected<void, std::string> open() override;
  int watch_fd() const override;
  Expected<void, std::string> check_alive() override;
  void close() override;

 private:
  x11::X11WindowServerProbe probe_;
};

// The probe for the agent's own X display ($DISPLAY).
std::unique_ptr<WindowServerProbe> make_x11_window_server_probe(
    std::optional<std::string> display_name = std::nullopt);

}  // namespace kivo::agent
