// The per-pixel statement of the pixel operations; the fast versions in
// color_convert.cpp are checked against these.
#include <algorithm>

#include "color_math.hpp"
#include "kivo/video/color_convert.hpp"

namespace kivo::video {

bool bgra_to_nv12_reference(const BgraView& src, const Nv12View& dst) {
  if (!color::nv12_fits(src, dst)) return false;
  for (std::uint32_t y = 0; y < dst.height; ++y) {
    for (std::uint32_t x = 0; x < dst.width; ++x) {
      const std::uint8_t* p = src.row(y) + 4 * std::size_t{x};
      dst.y[y * dst.y_stride + x] = color::luma(p[0], p[1], p[2]);
    }
  }
  for (std::uint32_t cy = 0; cy < dst.chroma_height(); ++cy) {
    for (std::uint32_t cx = 0; cx < dst.chroma_width(); ++cx) {
      int sum[3] = {0, 0, 0};
      for (std::uint32_t dy = 0; dy < 2; ++dy) {
        for (std::uint32_t dx = 0; dx < 2; ++dx) {
          const std::uint32_t x = std::min(2 * cx + dx, dst.width - 1);
          const std::uint32_t y = std::min(2 * cy + dy, dst.height - 1);
          const std::uint8_t* p = src.row(y) + 4 * std::size_t{x};
          for (int c = 0; c < 3; ++c) sum[c] += p[c];
        }
      }
      const int b = (sum[0] + 2) >> 2, g = (sum[1] + 2) >> 2, r = (sum[2] + 2) >> 2;
      std::uint8_t* out = dst.uv + cy * dst.uv_stride + 2 * std::size_t{cx};
      out[0] = color::chroma(r, g, b, color::kCbR, color::kCbG, color::kCbB);
      out[1] = color::chroma(r, g, b, color::kCrR, color::kCrG, color::kCrB);
    }
  }
  return true;
}

bool sharpen_bgra_reference(const BgraView& src, const MutableBgraView& dst) {
  if (!color::sharpen_fits(src, dst)) return false;
  const auto at = [&](std::int64_t x, std::int64_t y, int c) -> int {
    x = std::clamp<std::int64_t>(x, 0, src.width - 1);
    y = std::clamp<std::int64_t>(y, 0, src.height - 1);
    return src.row(static_cast<std::uint32_t>(y))[4 * x + c];
  };
  for (std::int64_t y = 0; y < src.height; ++y) {
    std::uint8_t* out = dst.row(static_cast<std::uint32_t>(y));
    for (std::int64_t x = 0; x < src.width; ++x) {
      for (int c = 0; c < 4; ++c) {
        out[4 * x + c] = color::sharpen(at(x, y, c), at(x - 1, y, c), at(x + 1, y, c),
                                        at(x, y - 1, c), at(x, y + 1, c));
      }
    }
  }
  return true;
}

}  // namespace kivo::video
