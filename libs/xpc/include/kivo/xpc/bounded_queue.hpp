// BoundedQueue: a blocking queue of fixed capacity between threads.
//
// `push` waits while the queue is full; `pop` waits while it is empty. Either
// side may `close` it: a consumer that goes away closes it so that a producer
// waiting for room returns at once (and every later push fails) instead of
// waiting for ever; a producer that is done closes it so that the consumer
// drains what is left and then sees the end.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace kivo::xpc {

template <class T>
class BoundedQueue {
 public:
  // A capacity of 0 is taken as 1.
  explicit BoundedQueue(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
  BoundedQueue(const BoundedQueue&) = delete;
  BoundedQueue& operator=(const BoundedQueue&) = delete;

  // Waits for room. False when the queue is closed, before or during the
  // wait; the item is then dropped.
  bool push(T item) {
    std::unique_lock lock(mutex_);
    not_full_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    // Woken after the unlock, the consumer finds the lock free instead of
    // waking only to wait for it.
    lock.unlock();
    not_empty_.notify_one();
    return true;
  }

  // Waits for an item. Empty once the queue is closed and drained.
  std::optional<T> pop() {
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [&] { return closed_ || !items_.empty(); });
    return take(lock);
  }

  // An item if one is waiting, without waiting.
  std::optional<T> try_pop() {
    std::unique_lock lock(mutex_);
    return take(lock);
  }

  // Wakes every waiting push and pop. Items already queued stay poppable.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    not_full_.notify_all();
    not_empty_.notify_all();
  }

  bool is_closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  std::size_t capacity() const { return capacity_; }

 private:
  std::optional<T> take(std::unique_lock<std::mutex>&) {
    if (items_.empty()) return std::nullopt;
    std::optional<T> item(std::move(items_.front()));
    items_.pop_front();
    not_full_.notify_one();
    return item;
  }

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable not_full_;
  std::condition_variable not_empty_;
  std::deque<T> items_;
  bool closed_ = false;
};

}  // namespace kivo::xpc
