// The fixed-point arithmetic shared by both versions of the pixel
// operations, so that they agree to the byte.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kivo/video/image.hpp"

namespace kivo::video::color {

// BT.709 luma and colour-difference weights in 1/256 units. Each row of
// weights sums to exactly 256 (luma) or 0 (chroma), so white maps to 255 and
// grey to a chroma of exactly 128.
inline constexpr int kYr = 54, kYg = 183, kYb = 19;
inline constexpr int kCbR = -29, kCbG = -99, kCbB = 128;
inline constexpr int kCrR = 128, kCrG = -116, kCrB = -12;
inline constexpr int kLumaMin = 1;

inline std::uint8_t luma(int b, int g, int r) {
  const int y = (kYr * r + kYg * g + kYb * b + 128) >> 8;
  return static_cast<std::uint8_t>(std::max(y, kLumaMin));
}

inline std::uint8_t chroma(int r, int g, int b, int wr, int wg, int wb) {
  const int c = ((wr * r + wg * g + wb * b + 128) >> 8) + 128;
  return static_cast<std::uint8_t>(std::clamp(c, 0, 255));
}

// One sharpened channel value from the centre and its four neighbours.
inline std::uint8_t sharpen(int centre, int left, int right, int up, int down) {
  const int sum = 7 * centre - left - right - up - down;
  return static_cast<std::uint8_t>(std::min((std::max(sum, 0) + 1) / 3, 255));
}

inline bool nv12_fits(const BgraView& src, const Nv12View& dst) {
  return dst.width > 0 && dst.height > 0 && dst.width <= src.width && dst.height <= src.height &&
         src.stride >= 4 * std::size_t{src.width} && dst.y_stride >= dst.width &&
         dst.uv_stride >= 2 * std::size_t{dst.chroma_width()};
}

inline bool sharpen_fits(const BgraView& src, const MutableBgraView& dst) {
  return src.width > 0 && src.height > 0 && src.width == dst.width && src.height == dst.height &&
         src.stride >= 4 * std::size_t{src.width} && dst.stride >= 4 * std::size_t{dst.width};
}

}  // namespace kivo::video::color
