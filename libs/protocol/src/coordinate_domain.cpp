#include "kivo/protocol/coordinate_domain.hpp"

#include <array>
#include <cmath>
#include <cstddef>

namespace kivo::protocol {
namespace {

constexpr double kHysteresis = 0.5;

std::array<double, 4> components(const Rect& rect) {
  return {rect.origin.x, rect.origin.y, rect.size.width, rect.size.height};
}

Rect from_components(const std::array<double, 4>& c) {
  return Rect{Point{c[0], c[1]}, Size{c[2], c[3]}};
}

}  // namespace

std::optional<Rect> normalize_coordinate_domain_rect_with_hysteresis(
    const std::optional<Rect>& previous, const Rect& candidate) {
  const std::array<double, 4> next = components(candidate);
  if (!previous) {
    for (double value : next) {
      if (!std::isfinite(value)) return std::nullopt;
    }
    return candidate;
  }
  const std::array<double, 4> kept = components(*previous);
  std::array<double, 4> result{};
  for (std::size_t i = 0; i < result.size(); ++i) {
    if (!std::isfinite(kept[i]) || !std::isfinite(next[i])) return std::nullopt;
    result[i] = std::fabs(next[i] - kept[i]) < kHysteresis ? kept[i] : next[i];
  }
  return from_components(result);
}

}  // namespace kivo::protocol
