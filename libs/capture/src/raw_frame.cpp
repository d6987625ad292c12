#include "kivo/capture/raw_frame.hpp"

#include <cmath>

namespace kivo::capture {

std::optional<protocol::Rect> usable_rect(const std::optional<protocol::Rect>& rect) {
  if (!rect) return std::nullopt;
  const protocol::Rect& r = *rect;
  if (!std::isfinite(r.origin.x) || !std::isfinite(r.origin.y) || !std::isfinite(r.size.width)) {
    return std::nullopt;
  }
  if (!(r.size.width > 0.0) || !std::isfinite(r.size.height) || !(r.size.height > 0.0)) {
    return std::nullopt;
  }
  return r;
}

std::optional<double> usable_scale(std::optional<double> scale) {
  if (!scale || !std::isfinite(*scale) || !(*scale > 0.0)) return std::nullopt;
  return scale;
}

RawFrame make_raw_frame(const FrameAttachments& attachments, PixelBuffer image,
                        std::chrono::steady_clock::time_point presentation_time) {
  const std::uint64_t width = image.width();
  const std::uint64_t height = image.height();
  RawFrame frame{
      .bounding_rect = usable_rect(attachments.bounding_rect),
      .content_rect_valid = false,
      .content_rect = {},
      .screen_rect = usable_rect(attachments.screen_rect),
      .scale_factor = usable_scale(attachments.scale_factor),
      .content_scale = usable_scale(attachments.content_scale),
      .pixel_buffer = std::move(image),
      .presentation_time = presentation_time,
      .pixel_width = width == 0 || height == 0 ? 0 : width,
      .pixel_height = width == 0 || height == 0 ? 0 : height,
  };
  if (frame.bounding_rect && frame.scale_factor) {
    const double scale = *frame.scale_factor;
    const protocol::Rect& b = *frame.bounding_rect;
    const protocol::Rect product{{b.origin.x * scale, b.origin.y * scale},
                                 {b.size.width * scale, b.size.height * scale}};
    const bool finite = std::isfinite(product.origin.x) && std::isfinite(product.origin.y) &&
                        std::isfinite(product.size.width) && std::isfinite(product.size.height);
    if (finite && product.size.width > 0.0 && product.size.height > 0.0) {
      frame.content_rect_valid = true;
      frame.content_rect = product;
    }
  }
  return frame;
}

}  // namespace kivo::capture
