#include "kivo/video/buffer_pool.hpp"

#include <new>
#include <utility>

namespace kivo::video {
namespace {

constexpr std::align_val_t kAlignment{64};

struct AlignedDelete {
  void operator()(std::uint8_t* data) const { ::operator delete[](data, kAlignment); }
};

using OwnedBytes = std::unique_ptr<std::uint8_t[], AlignedDelete>;

}  // namespace

struct detail::BufferPoolState {
  explicit BufferPoolState(std::size_t max) : max_free(max) {}

  std::mutex mutex;
  std::size_t max_free;
  std::size_t size = 0;
  std::vector<OwnedBytes> idle;
  std::uint64_t allocations = 0;

  void give_back(std::uint8_t* data, std::size_t buffer_size) {
    OwnedBytes owned(data);
    std::lock_guard lock(mutex);
    if (buffer_size == size && idle.size() < max_free) idle.push_back(std::move(owned));
    // Otherwise `owned` frees it outside the pool, after the lock is released
    // with it; freeing under the lock would only lengthen the hold.
  }
};

BufferPool::BufferPool(std::size_t max_free)
    : state_(std::make_shared<detail::BufferPoolState>(max_free)) {}

PooledBuffer BufferPool::acquire(std::size_t size) {
  OwnedBytes reused;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->size != size) {
      state_->idle.clear();
      state_->size = size;
    }
    if (!state_->idle.empty()) {
      reused = std::move(state_->idle.back());
      state_->idle.pop_back();
    } else {
      ++state_->allocations;
    }
  }
  if (!reused) {
    reused.reset(static_cast<std::uint8_t*>(::operator new[](size == 0 ? 1 : size, kAlignment)));
  }
  return PooledBuffer(state_, reused.release(), size);
}

std::size_t BufferPool::idle_count() const {
  std::lock_guard lock(state_->mutex);
  return state_->idle.size();
}

std::uint64_t BufferPool::allocations() const {
  std::lock_guard lock(state_->mutex);
  return state_->allocations;
}

PooledBuffer::~PooledBuffer() {
  release();
}

PooledBuffer::PooledBuffer(PooledBuffer&& other) noexcept
    : owner_(std::move(other.owner_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

PooledBuffer& PooledBuffer::operator=(PooledBuffer&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = std::move(other.owner_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void PooledBuffer::release() {
  if (data_ != nullptr) owner_->give_back(data_, size_);
  data_ = nullptr;
  size_ = 0;
  owner_.reset();
}

}  // namespace kivo::video
