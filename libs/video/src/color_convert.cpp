// The fast pixel operations: each inner loop is a straight run over one row
// with no branch the vectoriser cannot turn into a select, no aliasing
// between its pointers, and the picture's edges handled outside it.
#include "kivo/video/color_convert.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "color_math.hpp"

// x86-64 builds also carry an AVX2 copy of each operation, picked at load
// time on processors that have it; the baseline is SSE2.
#if defined(__x86_64__)
#define KIVO_VIDEO_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KIVO_VIDEO_CLONES
#endif
// The row helpers are folded into each copy of their caller, so that they
// are compiled for the caller's instruction set.
#define KIVO_VIDEO_INLINE [[gnu::always_inline]] inline

namespace kivo::video {
namespace {

// Pixels are read as whole 32-bit words and split with shifts: the
// vectoriser turns that into a few lane-wise operations, where byte loads
// four apart would need shuffles.
inline std::uint32_t pixel_at(const std::uint8_t* p) {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

KIVO_VIDEO_INLINE void luma_row(const std::uint8_t* __restrict src, std::uint8_t* __restrict out, std::size_t width) {
  constexpr auto kYr = static_cast<std::uint32_t>(color::kYr);
  constexpr auto kYg = static_cast<std::uint32_t>(color::kYg);
  constexpr auto kYb = static_cast<std::uint32_t>(color::kYb);
  constexpr auto kMin = static_cast<std::uint32_t>(color::kLumaMin);
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint32_t p = pixel_at(src + 4 * x);
    const std::uint32_t b = p & 0xFF, g = (p >> 8) & 0xFF, r = (p >> 16) & 0xFF;
    const std::uint32_t y = (kYr * r + kYg * g + kYb * b + 128) >> 8;
    out[x] = static_cast<std::uint8_t>(y < kMin ? kMin : y);
  }
}

// The chroma of each whole 2x2 block of two source rows.
KIVO_VIDEO_INLINE void chroma_row(const std::uint8_t* __restrict top, const std::uint8_t* __restrict bottom,
                std::uint8_t* __restrict out, std::size_t pairs) {
  for (std::size_t cx = 0; cx < pairs; ++cx) {
    const std::uint32_t p0 = pixel_at(top + 8 * cx), p1 = pixel_at(top + 8 * cx + 4);
    const std::uint32_t q0 = pixel_at(bottom + 8 * cx), q1 = pixel_at(bottom + 8 * cx + 4);
    // Blue and red side by side in 16-bit halves: no carry crosses between
    // them, since four bytes sum to at most 1020.
    const std::uint32_t rb =
        (p0 & 0xFF00FF) + (p1 & 0xFF00FF) + (q0 & 0xFF00FF) + (q1 & 0xFF00FF) + 0x20002;
    const std::uint32_t g4 =
        ((p0 >> 8) & 0xFF) + ((p1 >> 8) & 0xFF) + ((q0 >> 8) & 0xFF) + ((q1 >> 8) & 0xFF) + 2;
    const int b = static_cast<int>((rb & 0xFFFF) >> 2);
    const int r = static_cast<int>(rb >> 18);
    const int g = static_cast<int>(g4 >> 2);
    const int cb = ((color::kCbR * r + color::kCbG * g + color::kCbB * b + 128) >> 8) + 128;
    const int cr = ((color::kCrR * r + color::kCrG * g + color::kCrB * b + 128) >> 8) + 128;
    out[2 * cx] = static_cast<std::uint8_t>(cb > 255 ? 255 : (cb < 0 ? 0 : cb));
    out[2 * cx + 1] = static_cast<std::uint8_t>(cr > 255 ? 255 : (cr < 0 ? 0 : cr));
  }
}

// The chroma of the last column of an odd-width picture, whose block is one
// pixel wide: that pixel counts twice.
KIVO_VIDEO_INLINE void chroma_edge(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* out) {
  const int b = (2 * top[0] + 2 * bottom[0] + 2) >> 2;
  const int g = (2 * top[1] + 2 * bottom[1] + 2) >> 2;
  const int r = (2 * top[2] + 2 * bottom[2] + 2) >> 2;
  out[0] = color::chroma(r, g, b, color::kCbR, color::kCbG, color::kCbB);
  out[1] = color::chroma(r, g, b, color::kCrR, color::kCrG, color::kCrB);
}

// Sharpens bytes [begin, end) of a row; every byte's horizontal neighbours
// are 4 bytes away and inside the row.
KIVO_VIDEO_INLINE void sharpen_run(const std::uint8_t* __restrict centre, const std::uint8_t* __restrict up,
                 const std::uint8_t* __restrict down, std::uint8_t* __restrict out,
                 std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    // -1020 <= sum <= 1785 fits 16 bits; (v * 21846) >> 16 is v / 3 for
    // every v up to 1786, and a multiply-high is cheaper than a division.
    const std::int16_t sum =
        static_cast<std::int16_t>(7 * centre[i] - centre[i - 4] - centre[i + 4] - up[i] - down[i]);
    const auto positive = static_cast<std::uint16_t>(sum < 0 ? 0 : sum + 1);
    const auto value = static_cast<std::uint16_t>((std::uint32_t{positive} * 21846u) >> 16);
    out[i] = static_cast<std::uint8_t>(value > 255 ? 255 : value);
  }
}

KIVO_VIDEO_INLINE void sharpen_pixel(const std::uint8_t* row, const std::uint8_t* up, const std::uint8_t* down,
                   std::uint8_t* out, std::uint32_t x, std::uint32_t width) {
  const std::size_t at = 4 * std::size_t{x};
  const std::size_t left = 4 * std::size_t{x == 0 ? 0 : x - 1};
  const std::size_t right = 4 * std::size_t{x + 1 < width ? x + 1 : x};
  for (std::size_t c = 0; c < 4; ++c) {
    out[at + c] =
        color::sharpen(row[at + c], row[left + c], row[right + c], up[at + c], down[at + c]);
  }
}

// Row `y` of the sharpened picture, the picture's edges extended outwards.
KIVO_VIDEO_INLINE void sharpen_row(const BgraView& src, std::uint32_t y, std::uint8_t* out) {
  const std::uint8_t* row = src.row(y);
  const std::uint8_t* up = src.row(y == 0 ? 0 : y - 1);
  const std::uint8_t* down = src.row(y + 1 < src.height ? y + 1 : y);
  sharpen_pixel(row, up, down, out, 0, src.width);
  if (src.width > 1) {
    sharpen_run(row, up, down, out, 4, 4 * std::size_t{src.width - 1});
    sharpen_pixel(row, up, down, out, src.width - 1, src.width);
  }
}

}  // namespace

KIVO_VIDEO_CLONES bool bgra_to_nv12(const BgraView& src, const Nv12View& dst) {
  if (!color::nv12_fits(src, dst)) return false;
  for (std::uint32_t y = 0; y < dst.height; ++y) {
    luma_row(src.row(y), dst.y + y * dst.y_stride, dst.width);
  }
  const std::uint32_t pairs = dst.width / 2;
  for (std::uint32_t cy = 0; cy < dst.chroma_height(); ++cy) {
    const std::uint8_t* top = src.row(2 * cy);
    const std::uint8_t* bottom = src.row(std::min(2 * cy + 1, dst.height - 1));
    std::uint8_t* out = dst.uv + cy * dst.uv_stride;
    chroma_row(top, bottom, out, pairs);
    if (dst.width % 2 != 0) {
      const std::size_t last = 4 * std::size_t{dst.width - 1};
      chroma_edge(top + last, bottom + last, out + 2 * std::size_t{pairs});
    }
  }
  return true;
}

KIVO_VIDEO_CLONES bool sharpen_bgra(const BgraView& src, const MutableBgraView& dst) {
  if (!color::sharpen_fits(src, dst)) return false;
  for (std::uint32_t y = 0; y < src.height; ++y) sharpen_row(src, y, dst.row(y));
  return true;
}

KIVO_VIDEO_CLONES bool sharpen_bgra_to_nv12(const BgraView& src, const Nv12View& dst) {
  if (!color::nv12_fits(src, dst)) return false;
  // Two sharpened rows at a time: what one row of chroma needs. Kept per
  // thread, so a frame allocates nothing once the first has run.
  thread_local std::vector<std::uint8_t> rows;
  const std::size_t row_bytes = 4 * std::size_t{src.width};
  if (rows.size() < 2 * row_bytes) rows.resize(2 * row_bytes);
  std::uint8_t* top = rows.data();
  std::uint8_t* bottom = rows.data() + row_bytes;
  const std::uint32_t pairs = dst.width / 2;
  for (std::uint32_t cy = 0; cy < dst.chroma_height(); ++cy) {
    const std::uint32_t y = 2 * cy;
    sharpen_row(src, y, top);
    luma_row(top, dst.y + y * dst.y_stride, dst.width);
    const std::uint8_t* lower = top;
    if (y + 1 < dst.height) {
      sharpen_row(src, y + 1, bottom);
      luma_row(bottom, dst.y + (y + 1) * dst.y_stride, dst.width);
      lower = bottom;
    }
    std::uint8_t* out = dst.uv + cy * dst.uv_stride;
    chroma_row(top, lower, out, pairs);
    if (dst.width % 2 != 0) {
      const std::size_t last = 4 * std::size_t{dst.width - 1};
      chroma_edge(top + last, lower + last, out + 2 * std::size_t{pairs});
    }
  }
  return true;
}

}  // namespace kivo::video
