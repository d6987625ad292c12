// KeyFrameChannel: a bounded channel of encoded video between two stages
// (capture worker to agent, agent thread to agent thread) that keeps what it
// delivers decodable. A full channel drops the frame being pushed rather than
// block the producer; every later frame refers to the lost one, so the
// channel then refuses non-key frames until a key frame gets through, and
// asks the encoder for one (`on_gap`) at the moment of the loss.
//
// Safe for any number of producers and consumers. Closing wakes every
// waiter; the consumer still takes what was queued before the close.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace kivo::capture {

inline constexpr std::size_t kVideoChannelLimit = 64;

template <class T>
class KeyFrameChannel {
 public:
  enum class Push : std::uint8_t {
    kQueued,
    kDropped,  // full, or waiting for a key frame after a loss
    kClosed,   // nobody takes frames any more
  };

  explicit KeyFrameChannel(std::size_t limit = kVideoChannelLimit,
                           std::function<void()> on_gap = {})
      : limit_(limit == 0 ? 1 : limit), on_gap_(std::move(on_gap)) {}
  KeyFrameChannel(const KeyFrameChannel&) = delete;
  KeyFrameChannel& operator=(const KeyFrameChannel&) = delete;

  Push push(T value, bool key_frame) {
    bool gap_opened = false;
    {
      std::lock_guard guard(mutex_);
      if (closed_) return Push::kClosed;
      if (items_.size() >= limit_) {
        gap_opened = !awaiting_key_frame_;
        awaiting_key_frame_ = true;
        ++dropped_;
        if (!gap_opened) return Push::kDropped;
      } else if (awaiting_key_frame_ && !key_frame) {
        ++dropped_;
        return Push::kDropped;
      } else {
        awaiting_key_frame_ = false;
        items_.push_back(std::move(value));
      }
    }
    if (gap_opened) {
      if (on_gap_) on_gap_();
      return Push::kDropped;
    }
    ready_.notify_one();
    return Push::kQueued;
  }

  // The oldest frame; waits up to `timeout` for one. Empty on time-out and
  // once the channel is closed and drained (see finished()).
  template <class Rep, class Period>
  std::optional<T> pop_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, timeout, [this] { return !items_.empty() || closed_; });
    if (items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

  // Refuses later pushes; what is queued can still be taken.
  void close() {
    {
      std::lock_guard guard(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

  // Closed and nothing left to take.
  bool finished() const {
    std::lock_guard guard(mutex_);
    return closed_ && items_.empty();
  }

  bool closed() const {
    std::lock_guard guard(mutex_);
    return closed_;
  }

  // Frames refused since the channel was made.
  std::uint64_t dropped() const {
    std::lock_guard guard(mutex_);
    return dropped_;
  }

 private:
  const std::size_t limit_;
  const std::function<void()> on_gap_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
  bool closed_ = false;
  bool awaiting_key_frame_ = false;
  std::uint64_t dropped_ = 0;
};

}  // namespace kivo::capture
