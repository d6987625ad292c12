// BoundedQueue: a queue that never blocks its producer. Pushing onto a full
// queue drops the oldest elements (the newest data wins); pushing onto a
// closed queue drops the new element. The consumer waits a bounded time.
// Safe for concurrent use by any number of producers and consumers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "kivo/capture/capture_clock.hpp"

namespace kivo::capture {

template <class T>
class BoundedQueue {
 public:
  explicit BoundedQueue(std::size_t limit, const CaptureClock& clock = CaptureClock::system())
      : limit_(limit == 0 ? 1 : limit), clock_(clock) {}
  BoundedQueue(const BoundedQueue&) = delete;
  BoundedQueue& operator=(const BoundedQueue&) = delete;

  struct PushOutcome {
    bool accepted = false;  // false: the queue was closed and dropped `value`
    bool was_full = false;  // the queue held `limit` or more before the push
  };

  // Appends `value`, first dropping the oldest elements until there is room.
  // The dropped elements are destroyed outside the lock.
  PushOutcome push(T value) {
    std::deque<T> dropped;
    PushOutcome outcome;
    {
      std::lock_guard guard(mutex_);
      if (closed_) {
        dropped.push_back(std::move(value));
        return outcome;
      }
      outcome.was_full = items_.size() >= limit_;
      while (items_.size() >= limit_) {
        dropped.push_back(std::move(items_.front()));
        items_.pop_front();
      }
      items_.push_back(std::move(value));
      outcome.accepted = true;
    }
    ready_.notify_one();
    return outcome;
  }

  // The front element; with none, waits up to `timeout` for one. Empty when
  // the time passes or the queue is closed and drained of nothing.
  template <class Rep, class Period>
  std::optional<T> pop_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    if (items_.empty() && !closed_) {
      const CaptureClock::time_point deadline =
          clock_.now() + std::chrono::duration_cast<CaptureClock::time_point::duration>(timeout);
      clock_.wait_until(lock, ready_, deadline, [this] { return !items_.empty() || closed_; });
    }
    if (closed_ || items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

  // The front element, without waiting.
  std::optional<T> try_pop() { return pop_for(std::chrono::nanoseconds(0)); }

  // Drops every element; a closed queue stays closed.
  void clear() {
    std::deque<T> dropped;
    std::lock_guard guard(mutex_);
    dropped.swap(items_);
  }

  // Drops every element and refuses later pushes; wakes every waiter.
  void close() {
    std::deque<T> dropped;
    {
      std::lock_guard guard(mutex_);
      closed_ = true;
      dropped.swap(items_);
    }
    ready_.notify_all();
  }

  std::size_t size() const {
    std::lock_guard guard(mutex_);
    return items_.size();
  }
  bool closed() const {
    std::lock_guard guard(mutex_);
    return closed_;
  }
  std::size_t limit() const { return limit_; }

 private:
  const std::size_t limit_;
  const CaptureClock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
  bool closed_ = false;
};

}  // namespace kivo::capture
