// A recording EventPoster and its factory for tests of the input library and
// of its users. Every poster the factory makes records into the factory, so
// a test sees the events of all generations in order. Calls can be made to
// fail, to throw, or to block until released.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <vector>

#include "kivo/input/event_poster.hpp"

namespace kivo::input {

struct PostedEvent {
  enum class Kind : std::uint8_t { kMouse, kScroll, kKey };
  Kind kind = Kind::kMouse;
  MouseEventType type = MouseEventType::kMouseMoved;  // mouse
  std::uint32_t button_number = 0;                    // mouse
  std::int64_t click_state = 0;                       // mouse
  GlobalPoint point;                                  // mouse
  std::int32_t lines = 0;                             // scroll
  std::uint16_t key_code = 0;                         // key
  bool down = false;                                  // key
  EventFlags flags = 0;

  static PostedEvent mouse(MouseEventType type, std::uint32_t button_number,
                           std::int64_t click_state, EventFlags flags, GlobalPoint point);
  static PostedEvent scroll(std::int32_t lines, EventFlags flags);
  static PostedEvent key(std::uint16_t key_code, bool down, EventFlags flags);
  friend bool operator==(const PostedEvent&, const PostedEvent&) = default;
};

// "key 56 down flags=0x20000", for test failure messages.
std::ostream& operator<<(std::ostream& out, const PostedEvent& event);

class FakeEventPosterFactory final : public EventPosterFactory,
                                     public std::enable_shared_from_this<FakeEventPosterFactory> {
 public:
  // Make it with std::make_shared: its posters share it.
  FakeEventPosterFactory() = default;

  Expected<std::unique_ptr<EventPoster>, InputError> create() override;

  // The events posted successfully, in order, by every poster.
  std::vector<PostedEvent> posted() const;
  // Those of the n-th poster made (from 1).
  std::vector<PostedEvent> posted_by(std::size_t poster) const;
  // Calls made so far, failed and blocked ones included.
  std::size_t calls() const;
  std::size_t posters_created() const;
  std::size_t live_posters() const;

  // Call number `n` (from 1, over all posters) fails: with `error`, or by
  // default with EventCreationFailed of its kind ("mouse", "scroll",
  // "keyboard").
  void fail_call(std::size_t n, std::optional<InputError> error = std::nullopt);
  // Call number `n` throws, as a crashing backend would.
  void throw_on_call(std::size_t n);
  // Call number `n` waits inside the poster until release().
  void block_call(std::size_t n);
  // create() fails with `error` until cleared with std::nullopt.
  void fail_create(std::optional<InputError> error);
  // The next create() waits until release().
  void block_create();

  // Real waits, bounded at 10 s so that a broken test fails instead of
  // hanging; each returns whether the condition came true.
  bool wait_until_blocked();
  bool wait_until_posted(std::size_t count);
  bool wait_until_no_live_posters();
  void release();

  // A poster recording into this factory, without the create() script.
  std::unique_ptr<EventPoster> make_poster();

 private:
  class Poster;
  PostResult record(std::size_t poster, PostedEvent event);
  void poster_gone();
  void block_here(std::unique_lock<std::mutex>& lock);
  template <class Predicate>
  bool wait_for(Predicate predicate);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::size_t, PostedEvent>> posted_;
  std::size_t calls_ = 0;
  std::size_t created_ = 0;
  std::size_t live_ = 0;
  std::optional<std::size_t> fail_call_;
  std::optional<InputError> fail_call_error_;
  std::optional<std::size_t> throw_call_;
  std::optional<std::size_t> block_call_;
  std::optional<InputError> fail_create_;
  bool block_create_ = false;
  bool blocked_ = false;
  bool released_ = false;
};

}  // namespace kivo::input
