#include "kivo/input/command_executor.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <utility>

#include "kivo/input/button_map.hpp"
#include "kivo/input/key_map.hpp"
#include "kivo/input/point_mapping.hpp"

namespace kivo::input {
namespace {

// Presses of one button closer than this in time and space count as one
// multi-click sequence.
constexpr auto kMultiClickInterval = std::chrono::milliseconds(500);
constexpr double kMultiClickDistance = 5.0;
constexpr std::uint64_t kMaxClickCount = 3;
constexpr std::int32_t kWheelUnitsPerLine = 120;

double distance(GlobalPoint a, GlobalPoint b) {
  return std::hypot(a.x - b.x, a.y - b.y);
}

std::int64_t click_state(std::uint64_t count) {
  return static_cast<std::int64_t>(count);
}

bool is_set(const std::atomic<bool>* flag) {
  return flag != nullptr && flag->load(std::memory_order_acquire);
}

// Remembers the first error of a procedure that goes on past errors.
class FirstError {
 public:
  void note(PostResult result) {
    if (!result && !error_) error_ = std::move(result).error();
  }
  PostResult result() const {
    if (error_) return fail(*error_);
    return {};
  }

 private:
  std::optional<InputError> error_;
};

}  // namespace

CommandExecutor::CommandExecutor(PostingStep posting, const InputClock& clock,
                                 std::shared_ptr<std::atomic<bool>> release_all_buttons)
    : posting_(std::move(posting)),
      clock_(clock),
      release_all_buttons_(std::move(release_all_buttons)) {}

PostResult CommandExecutor::execute(const WorkerCommand& command) {
  return std::visit(
      [this](const auto& c) -> PostResult {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, command::Move>) {
          return move(c.point);
        } else if constexpr (std::is_same_v<C, command::MoveRelative>) {
          return move_relative(c);
        } else if constexpr (std::is_same_v<C, command::Button>) {
          return button(c);
        } else if constexpr (std::is_same_v<C, command::DoubleClick>) {
          return double_click(c);
        } else if constexpr (std::is_same_v<C, command::Wheel>) {
          return wheel(c);
        } else if constexpr (std::is_same_v<C, command::Key>) {
          return key(c);
        } else {
          return release(nullptr, is_set(release_all_buttons_.get()));
        }
      },
      command);
}

PostResult CommandExecutor::move(GlobalPoint point) {
  const MoveEvent event = move_event(pointer_.held);
  auto posted =
      posting_.post_mouse(event.type, event.button_number, 1, held_key_flags(keys_), point);
  if (!posted) return posted;
  pointer_.has_position = true;
  pointer_.position = point;
  return {};
}

PostResult CommandExecutor::move_relative(const command::MoveRelative& command) {
  // A delta means nothing until an absolute position anchors it.
  if (!pointer_.has_position) return {};
  const GlobalPoint target{pointer_.position.x + command.delta.x,
                           pointer_.position.y + command.delta.y};
  return move(clamp_to_bounds(target, command.display_bounds));
}

PostResult CommandExecutor::button(const command::Button& command) {
  // The position is taken before posting, so it is kept even if the post
  // fails.
  if (command.point) {
    pointer_.position = *command.point;
    pointer_.has_position = true;
  }
  const std::size_t index = button_index(command.button);
  const GlobalPoint at = pointer_.current_point();
  std::uint64_t count = 1;
  if (command.pressed) {
    const InputClock::time_point now = clock_.now();
    const auto& last = pointer_.last_click_time;
    // A clock that reads earlier than the last click (it never should) is
    // taken as "no time passed".
    if (last && pointer_.last_click_button == command.button &&
        (now < *last || now - *last <= kMultiClickInterval) &&
        distance(pointer_.last_click_position, at) <= kMultiClickDistance) {
      count = std::min(pointer_.last_click_count + 1, kMaxClickCount);
    }
    pointer_.last_click_time = now;
    pointer_.last_click_position = at;
    pointer_.last_click_count = count;
    pointer_.last_click_button = command.button;
    pointer_.press_count[index] = count;
  } else {
    count = std::max<std::uint64_t>(pointer_.press_count[index], 1);
    pointer_.press_count[index] = 0;
  }
  const ButtonEvents events = button_events(command.button);
  auto posted = posting_.post_mouse(command.pressed ? events.press : events.release, events.number,
                                    click_state(count), held_key_flags(keys_), at);
  if (!posted) return posted;
  pointer_.held[index] = command.pressed;
  return {};
}

PostResult CommandExecutor::double_click(const command::DoubleClick& command) {
  const InputClock::time_point now = clock_.now();
  if (command.point) {
    pointer_.position = *command.point;
    pointer_.has_position = true;
  }
  const std::size_t index = button_index(command.button);
  const ButtonEvents events = button_events(command.button);
  const GlobalPoint at = pointer_.current_point();
  struct Step {
    bool pressed;
    std::uint64_t count;
  };
  constexpr Step kSteps[] = {{true, 1}, {false, 1}, {true, 2}, {false, 2}};
  for (const Step step : kSteps) {
    auto posted = posting_.post_mouse(step.pressed ? events.press : events.release, events.number,
                                      click_state(step.count), held_key_flags(keys_), at);
    if (!posted) return posted;
    pointer_.held[index] = step.pressed;
  }
  // A later press starts a new sequence at count 1 instead of making this
  // double click a triple one.
  pointer_.last_click_time = now;
  pointer_.last_click_position = command.point.value_or(at);
  pointer_.last_click_count = 0;
  pointer_.last_click_button = command.button;
  pointer_.press_count[index] = 0;
  return {};
}

PostResult CommandExecutor::wheel(const command::Wheel& command) {
  if (command.point) {
    auto moved = move(*command.point);
    if (!moved) return moved;
  }
  const std::int32_t total = pointer_.wheel_remainder + command.delta;
  const std::int32_t lines = total / kWheelUnitsPerLine;
  pointer_.wheel_remainder = total - lines * kWheelUnitsPerLine;
  if (lines == 0) return {};
  return posting_.post_scroll(lines, held_key_flags(keys_));
}

PostResult CommandExecutor::key(const command::Key& command) {
  const std::uint16_t code = command.mac_key_code;
  if (command.is_down) {
    const bool newly_held = keys_.insert(code).second;
    // The flags include the key itself: a modifier's press carries its flag.
    auto posted = posting_.post_key(code, true, held_key_flags(keys_));
    if (!posted && newly_held) keys_.erase(code);
    return posted;
  }
  const bool was_held = keys_.erase(code) > 0;
  auto posted = posting_.post_key(code, false, held_key_flags(keys_));
  // The desktop still has the key down: keep it for the next release.
  if (!posted && was_held) keys_.insert(code);
  return posted;
}

PostResult CommandExecutor::release_everything(const std::atomic<bool>* abandoned) {
  return release(abandoned, false);
}

PostResult CommandExecutor::release(const std::atomic<bool>* abandoned, bool every_button) {
  FirstError first;
  const GlobalPoint at = pointer_.current_point();
  bool buttons_done = true;
  for (const protocol::MouseButton button : kAllButtons) {
    if (is_set(abandoned)) {
      forget_held();
      return first.result();
    }
    const std::size_t index = button_index(button);
    if (!pointer_.held[index] && !every_button) continue;
    const std::uint64_t count = pointer_.press_count[index];
    const ButtonEvents events = button_events(button);
    auto posted = posting_.post_mouse(events.release, events.number,
                                      click_state(count >= 2 ? count : 1), 0, at);
    if (!posted) buttons_done = false;
    first.note(std::move(posted));
    pointer_.press_count[index] = 0;
    pointer_.held[index] = false;
  }
  if (every_button && buttons_done && release_all_buttons_) release_all_buttons_->store(false);

  PressedKeys to_release = keys_;
  to_release.insert(kResetModifierKeyCodes.begin(), kResetModifierKeyCodes.end());
  for (const std::uint16_t code : to_release) {
    if (is_set(abandoned)) {
      forget_held();
      return first.result();
    }
    keys_.erase(code);
    first.note(posting_.post_key(code, false, held_key_flags(keys_)));
  }
  forget_held();
  return first.result();
}

void CommandExecutor::forget_held() {
  pointer_ = PointerState{};
  keys_.clear();
}

}  // namespace kivo::input
