#include "kivo/input/posting_step.hpp"

#include <fmt/format.h>

#include <utility>

#include "kivo/core/log.hpp"

namespace kivo::input {
namespace {

constexpr std::string_view kDiagTarget = "kivo_input_diag";

}  // namespace

PostingStep::PostingStep(EventPoster& poster,
                         std::shared_ptr<std::atomic<std::uint64_t>> post_attempts,
                         std::shared_ptr<const std::atomic<bool>> abandoned)
    : poster_(poster), post_attempts_(std::move(post_attempts)), abandoned_(std::move(abandoned)) {}

bool PostingStep::abandoned() const {
  return abandoned_ != nullptr && abandoned_->load(std::memory_order_acquire);
}

template <class Post>
PostResult PostingStep::post(Post&& post_event) {
  if (abandoned()) {
    return fail(InputError::event_source_unavailable("input generation abandoned"));
  }
  const std::uint64_t attempt = post_attempts_->fetch_add(1, std::memory_order_relaxed) + 1;
  KIVO_INFO(kDiagTarget, fmt::format("CGEventPost enter attempt={}", attempt));
  PostResult result = std::forward<Post>(post_event)();
  KIVO_INFO(kDiagTarget, fmt::format("CGEventPost exit attempt={}", attempt));
  return result;
}

PostResult PostingStep::post_mouse(MouseEventType type, std::uint32_t button_number,
                                   std::int64_t click_state, EventFlags flags, GlobalPoint point) {
  return post([&] { return poster_.post_mouse(type, button_number, click_state, flags, point); });
}

PostResult PostingStep::post_scroll(std::int32_t lines, EventFlags flags) {
  return post([&] { return poster_.post_scroll(lines, flags); });
}

PostResult PostingStep::post_key(std::uint16_t mac_key_code, bool down, EventFlags flags) {
  return post([&] { return poster_.post_key(mac_key_code, down, flags); });
}

}  // namespace kivo::input
