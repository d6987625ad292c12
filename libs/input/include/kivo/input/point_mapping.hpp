// From the captured frame's pixels to global display points.
//
// The content rectangle (pixels of the frame that show the display) is
// stretched onto the display bounds (points) with a (size - 1) ratio, so the
// first and last content pixels land exactly on the first and last display
// point. Results are not rounded.
#pragma once

#include <cstdint>
#include <optional>

#include "kivo/input/input_types.hpp"
#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::input {

// The global point of frame pixel (x, y); empty when the pixel lies outside
// the content rectangle (both ends inclusive) or the rectangle is empty.
std::optional<GlobalPoint> map_point(const protocol::CaptureGeometry& geometry, std::int32_t x,
                                     std::int32_t y);

// As map_point, but a pixel outside the content rectangle is first moved to
// its nearest edge. Used for button releases, which must reach the desktop
// wherever the remote pointer went. Empty only for an empty rectangle.
std::optional<GlobalPoint> map_point_clamped(const protocol::CaptureGeometry& geometry,
                                             std::int32_t x, std::int32_t y);

// A relative move of (dx, dy) frame pixels in global points; 0 on an axis
// whose content or display size is 1 or less.
GlobalPoint map_delta(const protocol::CaptureGeometry& geometry, std::int32_t dx, std::int32_t dy);

// `point` moved into the last addressable point of `bounds`:
// [x, x + width - 1] x [y, y + height - 1]. A bounds dimension under one
// point pins that axis to the origin.
GlobalPoint clamp_to_bounds(GlobalPoint point, const protocol::Rect& bounds);

}  // namespace kivo::input
