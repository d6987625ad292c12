#include "kivo/video/image.hpp"

#include <utility>

namespace kivo::video {

std::size_t aligned_stride(std::size_t row_bytes) {
  return (row_bytes + 63) & ~std::size_t{63};
}

std::size_t Nv12Picture::storage_size(std::uint32_t width, std::uint32_t height) {
  const std::size_t luma = aligned_stride(width) * height;
  const std::size_t chroma = aligned_stride(2 * std::size_t{(width + 1) / 2}) * ((height + 1) / 2);
  return luma + chroma;
}

Nv12Picture::Nv12Picture(PooledBuffer storage, std::uint32_t width, std::uint32_t height)
    : storage_(std::move(storage)) {
  view_.width = width;
  view_.height = height;
  view_.y = storage_.data();
  view_.y_stride = aligned_stride(width);
  view_.uv = storage_.data() + view_.y_stride * height;
  view_.uv_stride = aligned_stride(2 * std::size_t{(width + 1) / 2});
}

std::size_t BgraPicture::storage_size(std::uint32_t width, std::uint32_t height) {
  return aligned_stride(4 * std::size_t{width}) * height;
}

BgraPicture::BgraPicture(PooledBuffer storage, std::uint32_t width, std::uint32_t height)
    : storage_(std::move(storage)) {
  view_ = {storage_.data(), width, height, aligned_stride(4 * std::size_t{width})};
}

Nv12Picture PicturePool::acquire_nv12(std::uint32_t width, std::uint32_t height) {
  return Nv12Picture(nv12_.acquire(Nv12Picture::storage_size(width, height)), width, height);
}

BgraPicture PicturePool::acquire_bgra(std::uint32_t width, std::uint32_t height) {
  return BgraPicture(bgra_.acquire(BgraPicture::storage_size(width, height)), width, height);
}

}  // namespace kivo::video
