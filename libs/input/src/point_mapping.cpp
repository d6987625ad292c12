#include "kivo/input/point_mapping.hpp"

#include <algorithm>

namespace kivo::input {
namespace {

// Offset along one axis of content pixel `offset_px` from the content
// origin, stretched from `content` pixels to `display` points.
double scale(double offset_px, double content, double display) {
  if (content > 1.0 && display > 1.0) return offset_px * (display - 1.0) / (content - 1.0);
  return 0.0;
}

bool inside(double value, double origin, double size) {
  return value >= origin && value <= origin + size - 1.0;
}

double clamp_axis(double value, double origin, double size) {
  const double last = std::max(origin, origin + size - 1.0);
  return std::clamp(value, origin, last);
}

GlobalPoint map_inside(const protocol::CaptureGeometry& geometry, double x, double y) {
  const protocol::Rect& content = geometry.content_rect_px;
  const protocol::Rect& display = geometry.display_bounds_points;
  return {display.origin.x + scale(x - content.origin.x, content.size.width, display.size.width),
          display.origin.y + scale(y - content.origin.y, content.size.height, display.size.height)};
}

bool has_pixels(const protocol::Rect& content) {
  return content.size.width > 0.0 && content.size.height > 0.0;
}

}  // namespace

std::optional<GlobalPoint> map_point(const protocol::CaptureGeometry& geometry, std::int32_t x,
                                     std::int32_t y) {
  const protocol::Rect& content = geometry.content_rect_px;
  const auto px = static_cast<double>(x);
  const auto py = static_cast<double>(y);
  if (!has_pixels(content) || !inside(px, content.origin.x, content.size.width) ||
      !inside(py, content.origin.y, content.size.height)) {
    return std::nullopt;
  }
  return map_inside(geometry, px, py);
}

std::optional<GlobalPoint> map_point_clamped(const protocol::CaptureGeometry& geometry,
                                             std::int32_t x, std::int32_t y) {
  const protocol::Rect& content = geometry.content_rect_px;
  // A content rectangle narrower than one pixel holds no pixel to clamp to.
  if (content.size.width < 1.0 || content.size.height < 1.0) return std::nullopt;
  return map_inside(geometry,
                    clamp_axis(static_cast<double>(x), content.origin.x, content.size.width),
                    clamp_axis(static_cast<double>(y), content.origin.y, content.size.height));
}

GlobalPoint map_delta(const protocol::CaptureGeometry& geometry, std::int32_t dx, std::int32_t dy) {
  const protocol::Rect& content = geometry.content_rect_px;
  const protocol::Rect& display = geometry.display_bounds_points;
  return {scale(static_cast<double>(dx), content.size.width, display.size.width),
          scale(static_cast<double>(dy), content.size.height, display.size.height)};
}

GlobalPoint clamp_to_bounds(GlobalPoint point, const protocol::Rect& bounds) {
  return {clamp_axis(point.x, bounds.origin.x, bounds.size.width),
          clamp_axis(point.y, bounds.origin.y, bounds.size.height)};
}

}  // namespace kivo::input
