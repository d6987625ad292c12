// PixelBuffer: a shared handle on one captured image. Copies share the
// pixels; the memory goes back to its owner (a backend's buffer pool, or the
// heap) when the last copy is dropped. The pixels are read-only once shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kivo::capture {

enum class PixelFormat : std::uint8_t {
  // Four bytes per pixel, blue, green, red, alpha in memory order. A backend
  // whose platform has no alpha leaves that byte undefined.
  kBgra,
};

class PixelBuffer {
 public:
  // `pixels` must stay valid and unchanged while `owner` is alive; `stride`
  // (bytes per row) is at least width * 4.
  PixelBuffer(std::shared_ptr<const void> owner, const std::uint8_t* pixels, std::uint32_t width,
              std::uint32_t height, std::size_t stride)
      : owner_(std::move(owner)),
        pixels_(pixels),
        width_(width),
        height_(height),
        stride_(stride) {}

  // A buffer of its own on the heap, zero-filled, rows packed.
  static PixelBuffer allocate(std::uint32_t width, std::uint32_t height);

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::size_t stride() const { return stride_; }
  PixelFormat format() const { return PixelFormat::kBgra; }
  const std::uint8_t* data() const { return pixels_; }
  std::span<const std::uint8_t> row(std::uint32_t y) const {
    return {pixels_ + static_cast<std::size_t>(y) * stride_, static_cast<std::size_t>(width_) * 4};
  }

  // Copies of this buffer alive, this one included.
  long use_count() const { return owner_.use_count(); }

 private:
  std::shared_ptr<const void> owner_;
  const std::uint8_t* pixels_;
  std::uint32_t width_;
  std::uint32_t height_;
  std::size_t stride_;
};

}  // namespace kivo::capture
