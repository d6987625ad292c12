#include "x11_window_server_probe_adapter.hpp"

#include <utility>

namespace kivo::agent {

X11WindowServerProbeAdapter::X11WindowServerProbeAdapter(std::optional<std::string> display_name)
    : probe_(std::move(display_name)) {}

Expected<void, std::string> X11WindowServerProbeAdapter::open() {
  return probe_.open();
}

int X11WindowServerProbeAdapter::watch_fd() const {
  return probe_.watch_fd();
}

Expected<void, std::string> X11WindowServerProbeAdapter::check_alive() {
  return probe_.check_alive();
}

void X11WindowServerProbeAdapter::close() {
  probe_.close();
}

std::unique_ptr<WindowServerProbe> make_x11_window_server_probe(
    std::optional<std::string> display_name) {
  return std::make_unique<X11WindowServerProbeAdapter>(std::move(display_name));
}

}  // namespace kivo::agent
