// What the status report and the input checks learn from the graphics
// supervisor: whether the X server (the window server) can be used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kivo::agent {

enum class GraphicsState : std::uint8_t {
  kNotReady,  // not yet connected, or being reconnected
  kReady,
  kLost,
};

struct GraphicsSnapshot {
  GraphicsState state = GraphicsState::kNotReady;
  std::uint64_t failure_count = 0;
  // How many times the window server was lost after being ready.
  std::uint64_t loss_count = 0;
  std::optional<std::string> failure_text;
  friend bool operator==(const GraphicsSnapshot&, const GraphicsSnapshot&) = default;
};

}  // namespace kivo::agent
