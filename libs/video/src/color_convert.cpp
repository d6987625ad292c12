// The fast pixel operations: each inner loop is a straight run over one row
// with no branch the vectoriser cannot turn into a select, no aliasing
// between its pointers, and the picture's edges handled outside it.
#include "kivo/video/color_convert.hpp"

#include <algorithm>

#include "color_math.hpp"

// x86-64 builds also carry an AVX2 copy of each operation, picked at load
// time on processors that have it; the baseline is SSE2.
#if defined(__x86_64__)
#define KIVO_VIDEO_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KIVO_VIDEO_CLONES
#endif

namespace kivo::video {
namespace {

void luma_row(const std::uint8_t* __restrict src, std::uint8_t* __restrict out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint8_t* p = src + 4 * x;
    const int y = (color::kYr * p[2] + color::kYg * p[1] + color::kYb * p[0] + 128) >> 8;
    out[x] = static_cast<std::uint8_t>(y < color::kLumaMin ? color::kLumaMin : y);
  }
}

// The chroma of each whole 2x2 block of two source rows.
void chroma_row(const std::uint8_t* __restrict top, const std::uint8_t* __restrict bottom,
                std::uint8_t* __restrict out, std::size_t pairs) {
  for (std::size_t cx = 0; cx < pairs; ++cx) {
    const std::uint8_t* t = top + 8 * cx;
    const std::uint8_t* u = bottom + 8 * cx;
    const int b = (t[0] + t[4] + u[0] + u[4] + 2) >> 2;
    const int g = (t[1] + t[5] + u[1] + u[5] + 2) >> 2;
    const int r = (t[2] + t[6] + u[2] + u[6] + 2) >> 2;
    const int cb = ((color::kCbR * r + color::kCbG * g + color::kCbB * b + 128) >> 8) + 128;
    const int cr = ((color::kCrR * r + color::kCrG * g + color::kCrB * b + 128) >> 8) + 128;
    out[2 * cx] = static_cast<std::uint8_t>(cb > 255 ? 255 : (cb < 0 ? 0 : cb));
    out[2 * cx + 1] = static_cast<std::uint8_t>(cr > 255 ? 255 : (cr < 0 ? 0 : cr));
  }
}

// The chroma of the last column of an odd-width picture, whose block is one
// pixel wide: that pixel counts twice.
void chroma_edge(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* out) {
  const int b = (2 * top[0] + 2 * bottom[0] + 2) >> 2;
  const int g = (2 * top[1] + 2 * bottom[1] + 2) >> 2;
  const int r = (2 * top[2] + 2 * bottom[2] + 2) >> 2;
  out[0] = color::chroma(r, g, b, color::kCbR, color::kCbG, color::kCbB);
  out[1] = color::chroma(r, g, b, color::kCrR, color::kCrG, color::kCrB);
}

// Sharpens bytes [begin, end) of a row; every byte's horizontal neighbours
// are 4 bytes away and inside the row.
void sharpen_run(const std::uint8_t* __restrict centre, const std::uint8_t* __restrict up,
                 const std::uint8_t* __restrict down, std::uint8_t* __restrict out,
                 std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    int sum = 7 * centre[i] - centre[i - 4] - centre[i + 4] - up[i] - down[i];
    sum = sum < 0 ? 0 : sum;
    const int value = (sum + 1) / 3;
    out[i] = static_cast<std::uint8_t>(value > 255 ? 255 : value);
  }
}

void sharpen_pixel(const std::uint8_t* row, const std::uint8_t* up, const std::uint8_t* down,
                   std::uint8_t* out, std::uint32_t x, std::uint32_t width) {
  const std::size_t at = 4 * std::size_t{x};
  const std::size_t left = 4 * std::size_t{x == 0 ? 0 : x - 1};
  const std::size_t right = 4 * std::size_t{x + 1 < width ? x + 1 : x};
  for (std::size_t c = 0; c < 4; ++c) {
    out[at + c] =
        color::sharpen(row[at + c], row[left + c], row[right + c], up[at + c], down[at + c]);
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
  for (std::uint32_t y = 0; y < src.height; ++y) {
    const std::uint8_t* row = src.row(y);
    const std::uint8_t* up = src.row(y == 0 ? 0 : y - 1);
    const std::uint8_t* down = src.row(y + 1 < src.height ? y + 1 : y);
    std::uint8_t* out = dst.row(y);
    sharpen_pixel(row, up, down, out, 0, src.width);
    if (src.width > 1) {
      sharpen_run(row, up, down, out, 4, 4 * std::size_t{src.width - 1});
      sharpen_pixel(row, up, down, out, src.width - 1, src.width);
    }
  }
  return true;
}

}  // namespace kivo::video
