#include "kivo/video/buffer_pool.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "kivo/video/image.hpp"

namespace kivo::video {
namespace {

TEST(BufferPool, ReusesReturnedBuffersOfTheSameSize) {
  BufferPool pool(2);
  std::uint8_t* first = nullptr;
  {
    PooledBuffer buffer = pool.acquire(1000);
    first = buffer.data();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 64, 0u);
  }
  EXPECT_EQ(pool.idle_count(), 1u);
  PooledBuffer again = pool.acquire(1000);
  EXPECT_EQ(again.data(), first);
  EXPECT_EQ(pool.allocations(), 1u);
}

TEST(BufferPool, KeepsAtMostItsLimitAndDropsOtherSizes) {
  BufferPool pool(2);
  { PooledBuffer a = pool.acquire(64), b = pool.acquire(64), c = pool.acquire(64); }
  EXPECT_EQ(pool.idle_count(), 2u);
  PooledBuffer other = pool.acquire(128);
  EXPECT_EQ(pool.idle_count(), 0u);
  EXPECT_EQ(pool.allocations(), 4u);
}

TEST(BufferPool, ABufferMayOutliveItsPoolAndReturnFromAnotherThread) {
  PooledBuffer kept;
  {
    BufferPool pool(1);
    kept = pool.acquire(32);
  }
  std::thread([buffer = std::move(kept)]() mutable { buffer = PooledBuffer(); }).join();
  EXPECT_FALSE(kept);
}

TEST(PicturePool, Nv12PlanesAreAlignedAndDoNotOverlap) {
  PicturePool pool(2);
  Nv12Picture picture = pool.acquire_nv12(1919, 1079);
  const Nv12View view = picture.view();
  EXPECT_EQ(view.y_stride % 64, 0u);
  EXPECT_EQ(view.uv_stride % 64, 0u);
  EXPECT_GE(view.uv_stride, 2u * 960u);
  EXPECT_GE(view.uv, view.y + view.y_stride * 1079);
}

}  // namespace
}  // namespace kivo::video
