// BufferPool: byte buffers reused from frame to frame, so that the encoding
// path does not allocate a picture per frame. A buffer goes back to its pool
// when its handle is dropped, on whatever thread that happens; the pool's
// state lives as long as the last buffer, so a buffer may outlive its pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kivo::video {

class PooledBuffer;

namespace detail {
struct BufferPoolState;
}

class BufferPool {
 public:
  // Keeps at most `max_free` idle buffers; more are freed when returned.
  explicit BufferPool(std::size_t max_free);

  // A buffer of exactly `size` bytes, 64-byte aligned, with undefined
  // content. Idle buffers of another size are freed: the size changes only
  // when the picture does.
  PooledBuffer acquire(std::size_t size);

  std::size_t idle_count() const;
  // How many buffers the pool has allocated in its life.
  std::uint64_t allocations() const;

 private:
  std::shared_ptr<detail::BufferPoolState> state_;
};

class PooledBuffer {
 public:
  PooledBuffer() = default;
  ~PooledBuffer();
  PooledBuffer(PooledBuffer&& other) noexcept;
  PooledBuffer& operator=(PooledBuffer&& other) noexcept;
  PooledBuffer(const PooledBuffer&) = delete;
  PooledBuffer& operator=(const PooledBuffer&) = delete;

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  friend class BufferPool;
  PooledBuffer(std::shared_ptr<detail::BufferPoolState> owner, std::uint8_t* data, std::size_t size)
      : owner_(std::move(owner)), data_(data), size_(size) {}
  void release();

  std::shared_ptr<detail::BufferPoolState> owner_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kivo::video
