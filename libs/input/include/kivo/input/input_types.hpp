// The values shared by the input library and its backends: global points,
// the desktop's pointer event types and the modifier flags of posted events.
#pragma once

#include <cstdint>

namespace kivo::input {

// A position or a delta in global display points.
struct GlobalPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const GlobalPoint&, const GlobalPoint&) = default;
};

// Pointer event types, numbered as the desktop's event system numbers them.
enum class MouseEventType : std::uint32_t {
  kLeftMouseDown = 1,
  kLeftMouseUp = 2,
  kRightMouseDown = 3,
  kRightMouseUp = 4,
  kMouseMoved = 5,
  kLeftMouseDragged = 6,
  kRightMouseDragged = 7,
  kOtherMouseDown = 25,
  kOtherMouseUp = 26,
  kOtherMouseDragged = 27,
};

// Modifier flags of a posted event, computed from the keys the worker holds.
using EventFlags = std::uint64_t;
inline constexpr EventFlags kFlagAlphaShift = 0x10000;
inline constexpr EventFlags kFlagShift = 0x20000;
inline constexpr EventFlags kFlagControl = 0x40000;
inline constexpr EventFlags kFlagAlternate = 0x80000;
inline constexpr EventFlags kFlagCommand = 0x100000;

}  // namespace kivo::input
