// PostingStep: the one way a worker reaches its EventPoster. Every post first
// checks the generation's abandoned flag, so a worker that outlived its stop
// can put nothing more into the session, and counts the attempt in the
// counter shared by all generations (reported in diagnostics).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "kivo/input/event_poster.hpp"

namespace kivo::input {

class PostingStep {
 public:
  // `abandoned` may be null: nothing can abandon the poster then.
  PostingStep(EventPoster& poster, std::shared_ptr<std::atomic<std::uint64_t>> post_attempts,
              std::shared_ptr<const std::atomic<bool>> abandoned);

  PostResult post_mouse(MouseEventType type, std::uint32_t button_number, std::int64_t click_state,
                        EventFlags flags, GlobalPoint point);
  PostResult post_scroll(std::int32_t lines, EventFlags flags);
  PostResult post_key(std::uint16_t mac_key_code, bool down, EventFlags flags);

  bool abandoned() const;

 private:
  template <class Post>
  PostResult post(Post&& post_event);

  EventPoster& poster_;
  std::shared_ptr<std::atomic<std::uint64_t>> post_attempts_;
  std::shared_ptr<const std::atomic<bool>> abandoned_;
};

}  // namespace kivo::input
