// Views of the two picture layouts of the encoding path, and the pooled
// pictures behind them. A view never owns its pixels.
//
// BGRA: 4 bytes per pixel in memory order B, G, R, A; rows `stride` bytes
// apart (stride >= 4 * width).
// NV12: a full-size luma plane, then one interleaved Cb/Cr plane of
// ceil(width / 2) pairs by ceil(height / 2) rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivo/video/buffer_pool.hpp"

namespace kivo::video {

// The four-character code of a pixel format, as the capture source reports it.
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d));
}
inline constexpr std::uint32_t kPixelFormatBgra = fourcc('B', 'G', 'R', 'A');

struct BgraView {
  const std::uint8_t* data = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t stride = 0;

  const std::uint8_t* row(std::uint32_t y) const { return data + y * stride; }
};

struct MutableBgraView {
  std::uint8_t* data = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t stride = 0;

  std::uint8_t* row(std::uint32_t y) const { return data + y * stride; }
  BgraView view() const { return {data, width, height, stride}; }
};

struct Nv12View {
  std::uint8_t* y = nullptr;
  std::size_t y_stride = 0;
  std::uint8_t* uv = nullptr;
  std::size_t uv_stride = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  std::uint32_t chroma_width() const { return (width + 1) / 2; }
  std::uint32_t chroma_height() const { return (height + 1) / 2; }
};

// Rows of pooled pictures start 64-byte aligned.
std::size_t aligned_stride(std::size_t row_bytes);

// An NV12 picture in a pooled buffer.
class Nv12Picture {
 public:
  Nv12Picture() = default;
  Nv12Picture(PooledBuffer storage, std::uint32_t width, std::uint32_t height);
  // The bytes one picture of this size needs.
  static std::size_t storage_size(std::uint32_t width, std::uint32_t height);

  Nv12View view() const { return view_; }
  std::uint32_t width() const { return view_.width; }
  std::uint32_t height() const { return view_.height; }

 private:
  PooledBuffer storage_;
  Nv12View view_;
};

// A BGRA picture in a pooled buffer: a sharpened copy of a frame, where
// sharpening runs as a step of its own (the encoder sharpens on the way into
// its NV12 picture instead).
class BgraPicture {
 public:
  BgraPicture() = default;
  BgraPicture(PooledBuffer storage, std::uint32_t width, std::uint32_t height);
  static std::size_t storage_size(std::uint32_t width, std::uint32_t height);

  MutableBgraView view() const { return view_; }

 private:
  PooledBuffer storage_;
  MutableBgraView view_;
};

// Hands out pictures of one size from a pool; a new size frees the idle ones.
class PicturePool {
 public:
  explicit PicturePool(std::size_t max_idle) : nv12_(max_idle), bgra_(max_idle) {}

  Nv12Picture acquire_nv12(std::uint32_t width, std::uint32_t height);
  BgraPicture acquire_bgra(std::uint32_t width, std::uint32_t height);

  const BufferPool& nv12_buffers() const { return nv12_; }
  const BufferPool& bgra_buffers() const { return bgra_; }

 private:
  BufferPool nv12_;
  BufferPool bgra_;
};

}  // namespace kivo::video
