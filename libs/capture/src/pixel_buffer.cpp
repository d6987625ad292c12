#include "kivo/capture/pixel_buffer.hpp"

#include <vector>

namespace kivo::capture {

PixelBuffer PixelBuffer::allocate(std::uint32_t width, std::uint32_t height) {
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(stride * height);
  const std::uint8_t* pixels = bytes->data();
  return PixelBuffer(std::move(bytes), pixels, width, height, stride);
}

}  // namespace kivo::capture
