#include "kivo/input/fake_event_poster.hpp"

#include <fmt/format.h>

#include <chrono>
#include <stdexcept>
#include <utility>

namespace kivo::input {
namespace {

constexpr auto kTestWaitLimit = std::chrono::seconds(10);

std::string_view creation_word(PostedEvent::Kind kind) {
  switch (kind) {
    case PostedEvent::Kind::kMouse:
      return "mouse";
    case PostedEvent::Kind::kScroll:
      return "scroll";
    case PostedEvent::Kind::kKey:
      return "keyboard";
  }
  return "mouse";
}

}  // namespace

PostedEvent PostedEvent::mouse(MouseEventType type, std::uint32_t button_number,
                               std::int64_t click_state, EventFlags flags, GlobalPoint point) {
  PostedEvent event;
  event.kind = Kind::kMouse;
  event.type = type;
  event.button_number = button_number;
  event.click_state = click_state;
  event.flags = flags;
  event.point = point;
  return event;
}

PostedEvent PostedEvent::scroll(std::int32_t lines, EventFlags flags) {
  PostedEvent event;
  event.kind = Kind::kScroll;
  event.lines = lines;
  event.flags = flags;
  return event;
}

PostedEvent PostedEvent::key(std::uint16_t key_code, bool down, EventFlags flags) {
  PostedEvent event;
  event.kind = Kind::kKey;
  event.key_code = key_code;
  event.down = down;
  event.flags = flags;
  return event;
}

std::ostream& operator<<(std::ostream& out, const PostedEvent& event) {
  switch (event.kind) {
    case PostedEvent::Kind::kMouse:
      out << fmt::format("mouse type={} button={} clicks={} at=({}, {})",
                         static_cast<std::uint32_t>(event.type), event.button_number,
                         event.click_state, event.point.x, event.point.y);
      break;
    case PostedEvent::Kind::kScroll:
      out << fmt::format("scroll lines={}", event.lines);
      break;
    case PostedEvent::Kind::kKey:
      out << fmt::format("key {} {}", event.key_code, event.down ? "down" : "up");
      break;
  }
  return out << fmt::format(" flags={:#x}", event.flags);
}

class FakeEventPosterFactory::Poster final : public EventPoster {
 public:
  Poster(std::shared_ptr<FakeEventPosterFactory> factory, std::size_t index)
      : factory_(std::move(factory)), index_(index) {}
  ~Poster() override { factory_->poster_gone(); }

  PostResult post_mouse(MouseEventType type, std::uint32_t button_number, std::int64_t click_state,
                        EventFlags flags, GlobalPoint point) override {
    return factory_->record(index_,
                            PostedEvent::mouse(type, button_number, click_state, flags, point));
  }
  PostResult post_scroll(std::int32_t lines, EventFlags flags) override {
    return factory_->record(index_, PostedEvent::scroll(lines, flags));
  }
  PostResult post_key(std::uint16_t mac_key_code, bool down, EventFlags flags) override {
    return factory_->record(index_, PostedEvent::key(mac_key_code, down, flags));
  }

 private:
  std::shared_ptr<FakeEventPosterFactory> factory_;
  std::size_t index_;
};

Expected<std::unique_ptr<EventPoster>, InputError> FakeEventPosterFactory::create() {
  {
    std::unique_lock lock(mutex_);
    if (block_create_) {
      block_create_ = false;
      block_here(lock);
    }
    if (fail_create_) return fail(*fail_create_);
  }
  return make_poster();
}

std::unique_ptr<EventPoster> FakeEventPosterFactory::make_poster() {
  std::lock_guard guard(mutex_);
  ++live_;
  return std::make_unique<Poster>(shared_from_this(), ++created_);
}

PostResult FakeEventPosterFactory::record(std::size_t poster, PostedEvent event) {
  std::unique_lock lock(mutex_);
  const std::size_t call = ++calls_;
  changed_.notify_all();
  if (block_call_ == call) block_here(lock);
  if (throw_call_ == call) throw std::runtime_error("fake event poster crashed");
  if (fail_call_ == call) {
    return fail(
        fail_call_error_.value_or(InputError::event_creation_failed(creation_word(event.kind))));
  }
  posted_.emplace_back(poster, event);
  changed_.notify_all();
  return {};
}

void FakeEventPosterFactory::block_here(std::unique_lock<std::mutex>& lock) {
  // released_ was cleared when the block was armed, so a release() that
  // comes before the call arrives still lets it through.
  blocked_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return released_; });
  blocked_ = false;
}

void FakeEventPosterFactory::poster_gone() {
  std::lock_guard guard(mutex_);
  --live_;
  changed_.notify_all();
}

std::vector<PostedEvent> FakeEventPosterFactory::posted() const {
  std::lock_guard guard(mutex_);
  std::vector<PostedEvent> out;
  for (const auto& [poster, event] : posted_) out.push_back(event);
  return out;
}

std::vector<PostedEvent> FakeEventPosterFactory::posted_by(std::size_t poster) const {
  std::lock_guard guard(mutex_);
  std::vector<PostedEvent> out;
  for (const auto& [index, event] : posted_) {
    if (index == poster) out.push_back(event);
  }
  return out;
}

std::size_t FakeEventPosterFactory::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

std::size_t FakeEventPosterFactory::posters_created() const {
  std::lock_guard guard(mutex_);
  return created_;
}

std::size_t FakeEventPosterFactory::live_posters() const {
  std::lock_guard guard(mutex_);
  return live_;
}

void FakeEventPosterFactory::fail_call(std::size_t n, std::optional<InputError> error) {
  std::lock_guard guard(mutex_);
  fail_call_ = n;
  fail_call_error_ = std::move(error);
}

void FakeEventPosterFactory::throw_on_call(std::size_t n) {
  std::lock_guard guard(mutex_);
  throw_call_ = n;
}

void FakeEventPosterFactory::block_call(std::size_t n) {
  std::lock_guard guard(mutex_);
  block_call_ = n;
  released_ = false;
}

void FakeEventPosterFactory::fail_create(std::optional<InputError> error) {
  std::lock_guard guard(mutex_);
  fail_create_ = std::move(error);
}

void FakeEventPosterFactory::block_create() {
  std::lock_guard guard(mutex_);
  block_create_ = true;
  released_ = false;
}

template <class Predicate>
bool FakeEventPosterFactory::wait_for(Predicate predicate) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kTestWaitLimit, predicate);
}

bool FakeEventPosterFactory::wait_until_blocked() {
  return wait_for([this] { return blocked_; });
}

bool FakeEventPosterFactory::wait_until_posted(std::size_t count) {
  return wait_for([this, count] { return posted_.size() >= count; });
}

bool FakeEventPosterFactory::wait_until_no_live_posters() {
  return wait_for([this] { return live_ == 0; });
}

void FakeEventPosterFactory::release() {
  std::lock_guard guard(mutex_);
  released_ = true;
  changed_.notify_all();
}

}  // namespace kivo::input
