// Jitter suppression for the rectangles of the capture geometry: the service
// maps remote coordinates against the geometry and its epoch, so a rectangle
// that wobbles by a fraction of a unit from frame to frame must not count as
// a new one.
#pragma once

#include <optional>

#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::protocol {

// Keeps each component of `previous` (x, y, width, height) that `candidate`
// moves by less than half a unit, and takes the candidate's value otherwise.
// Without a previous rectangle the candidate is taken whole. Returns none when
// any component involved is infinite or NaN. Sizes are not checked otherwise:
// negative or zero widths and heights pass.
std::optional<Rect> normalize_coordinate_domain_rect_with_hysteresis(
    const std::optional<Rect>& previous, const Rect& candidate);

}  // namespace kivo::protocol
