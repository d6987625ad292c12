// What a capture records: the display (always chosen, it anchors the
// geometry) and, for window capture, the window with the area and size the
// stream records it at.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "kivo/capture/screen_source.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::capture {

// The recorded area of a window and the stream's output size for it.
struct WindowStreamPlan {
  // Relative to the window, in points.
  protocol::Rect source_rect{};
  // Even, at least 2.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const WindowStreamPlan&, const WindowStreamPlan&) = default;
};

// Derives the plan of a window capture from the window and its display.
using WindowStreamPlanner =
    std::function<Result<WindowStreamPlan>(const WindowDescriptor&, const DisplayDescriptor&)>;

// The whole window at one pixel per point, rounded down to even sizes.
// Fails with "window capture source rect is invalid" for a window without a
// finite positive size.
Result<WindowStreamPlan> whole_window_plan(const WindowDescriptor& window,
                                           const DisplayDescriptor& display);

struct CaptureTarget {
  DisplayDescriptor display;
  std::optional<WindowDescriptor> window{};
  std::optional<WindowStreamPlan> window_plan{};
};

// The display to capture: `display_id` when given ("display id 7 not found"
// otherwise); without it the main display, or the first listed when the main
// one is unknown or not listed. "screencapturekit returned no displays" when
// there is none.
Result<DisplayDescriptor> choose_display(const ShareableContent& content,
                                         std::optional<std::uint32_t> display_id,
                                         std::optional<std::uint32_t> main_display_id);

// The window `window_id`; "window id 1a2b not found" (hexadecimal) otherwise.
Result<WindowDescriptor> find_window(const ShareableContent& content, std::uint32_t window_id);

}  // namespace kivo::capture
