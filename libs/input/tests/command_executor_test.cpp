#include "kivo/input/command_executor.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "kivo/core/log.hpp"
#include "kivo/input/button_map.hpp"
#include "kivo/input/fake_event_poster.hpp"

namespace kivo::input {
namespace {

using namespace std::chrono_literals;
using protocol::MouseButton;
using T = MouseEventType;

PostedEvent mouse(T type, std::uint32_t number, std::int64_t clicks, GlobalPoint at,
                  EventFlags flags = 0) {
  return PostedEvent::mouse(type, number, clicks, flags, at);
}
PostedEvent key_up(std::uint16_t code, EventFlags flags = 0) {
  return PostedEvent::key(code, false, flags);
}
PostedEvent key_down(std::uint16_t code, EventFlags flags = 0) {
  return PostedEvent::key(code, true, flags);
}
command::Key key(std::uint16_t mac, bool down) {
  return {0, mac, down, false};
}

// The key-ups of a reset with no key held.
std::vector<PostedEvent> modifier_releases() {
  std::vector<PostedEvent> out;
  constexpr std::uint16_t kModifiers[] = {54, 55, 56, 58, 59, 60, 61, 62};
  for (const std::uint16_t code : kModifiers) out.push_back(key_up(code));
  return out;
}

const protocol::Rect kDisplay{{0, 0}, {1440, 900}};

class CommandExecutorTest : public ::testing::Test {
 protected:
  PostResult execute(const WorkerCommand& command) { return executor_.execute(command); }
  void run(const WorkerCommand& command) {
    auto done = executor_.execute(command);
    ASSERT_TRUE(done) << done.error().text();
  }
  // The events posted since the last call.
  std::vector<PostedEvent> posted() {
    auto all = desktop_->posted();
    std::vector<PostedEvent> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }
  std::int64_t press_clicks(MouseButton button, GlobalPoint at) {
    run(command::Button{button, true, at});
    auto events = posted();
    return events.empty() ? -1 : events.back().click_state;
  }

  std::shared_ptr<FakeEventPosterFactory> desktop_ = std::make_shared<FakeEventPosterFactory>();
  std::unique_ptr<EventPoster> poster_ = desktop_->make_poster();
  ManualInputClock clock_;
  std::shared_ptr<std::atomic<std::uint64_t>> attempts_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  std::shared_ptr<std::atomic<bool>> abandoned_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> release_all_buttons_ =
      std::make_shared<std::atomic<bool>>(false);
  CommandExecutor executor_{PostingStep(*poster_, attempts_, abandoned_), clock_,
                            release_all_buttons_};
  std::size_t seen_ = 0;
};

TEST_F(CommandExecutorTest, CountsClicksWithinTimeAndDistance) {
  struct Press {
    std::chrono::milliseconds after;
    MouseButton button;
    GlobalPoint at;
    std::int64_t clicks;
  };
  struct Case {
    const char* name;
    std::vector<Press> presses;
  };
  const MouseButton L = MouseButton::kLeft;
  const Case cases[] = {
      {"up to three, then stays at three",
       {{0ms, L, {0, 0}, 1}, {300ms, L, {3, 0}, 2}, {300ms, L, {3, 3}, 3}, {300ms, L, {3, 3}, 3}}},
      {"501 ms is too late", {{0ms, L, {0, 0}, 1}, {501ms, L, {0, 0}, 1}}},
      {"500 ms and 5 points still count", {{0ms, L, {0, 0}, 1}, {500ms, L, {3, 4}, 2}}},
      {"5.1 points is too far", {{0ms, L, {0, 0}, 1}, {10ms, L, {5.1, 0}, 1}}},
      {"another button starts over",
       {{0ms, L, {0, 0}, 1}, {10ms, MouseButton::kRight, {0, 0}, 1}, {10ms, L, {0, 0}, 1}}},
  };
  for (const Case& c : cases) {
    executor_.forget_held();
    clock_.advance(10s);
    for (const Press& press : c.presses) {
      clock_.advance(press.after);
      EXPECT_EQ(press_clicks(press.button, press.at), press.clicks) << c.name;
      run(command::Button{press.button, false, std::nullopt});
      EXPECT_EQ(posted().back().click_state, press.clicks) << c.name << ": release";
    }
  }
}

TEST_F(CommandExecutorTest, ReleaseWithoutPressPostsClickOne) {
  run(command::Button{MouseButton::kX1, false, GlobalPoint{4, 5}});
  EXPECT_EQ(posted(), std::vector{mouse(T::kOtherMouseUp, 3, 1, {4, 5})});
}

TEST_F(CommandExecutorTest, ButtonsPostTheirTypesAtTheCurrentPoint) {
  struct Case {
    MouseButton button;
    PostedEvent press;
    PostedEvent release;
  };
  const GlobalPoint at{10, 20};
  const Case cases[] = {
      {MouseButton::kLeft, mouse(T::kLeftMouseDown, 0, 1, at), mouse(T::kLeftMouseUp, 0, 1, at)},
      {MouseButton::kMiddle, mouse(T::kOtherMouseDown, 2, 1, at),
       mouse(T::kOtherMouseUp, 2, 1, at)},
      {MouseButton::kRight, mouse(T::kRightMouseDown, 1, 1, at), mouse(T::kRightMouseUp, 1, 1, at)},
      {MouseButton::kX1, mouse(T::kOtherMouseDown, 3, 1, at), mouse(T::kOtherMouseUp, 3, 1, at)},
      {MouseButton::kX2, mouse(T::kOtherMouseDown, 4, 1, at), mouse(T::kOtherMouseUp, 4, 1, at)},
  };
  run(command::Move{at});
  posted();
  for (const Case& c : cases) {
    clock_.advance(1s);
    run(command::Button{c.button, true, std::nullopt});
    run(command::Button{c.button, false, std::nullopt});
    EXPECT_EQ(posted(), (std::vector{c.press, c.release}));
  }
}

TEST(MoveEventTest, HeldButtonsChooseTheDragType) {
  struct Case {
    std::array<bool, 5> held;  // Left, Middle, Right, X1, X2
    MoveEvent expected;
  };
  const Case cases[] = {
      {{false, false, false, false, false}, {T::kMouseMoved, 0}},
      {{true, false, true, false, false}, {T::kLeftMouseDragged, 0}},
      {{false, true, true, false, false}, {T::kRightMouseDragged, 1}},
      {{false, true, false, true, false}, {T::kOtherMouseDragged, 2}},
      {{false, false, false, true, true}, {T::kOtherMouseDragged, 3}},
      {{false, false, false, false, true}, {T::kOtherMouseDragged, 4}},
  };
  for (const Case& c : cases) EXPECT_EQ(move_event(c.held), c.expected);
}

TEST_F(CommandExecutorTest, MovesDragWhileButtonsAreHeldAndCarryModifiers) {
  run(key(59, true));
  run(command::Button{MouseButton::kRight, true, GlobalPoint{1, 1}});
  run(command::Button{MouseButton::kLeft, true, std::nullopt});
  run(command::Move{{2, 2}});
  run(command::Button{MouseButton::kLeft, false, std::nullopt});
  run(command::Move{{3, 3}});
  EXPECT_EQ(posted(), (std::vector{
                          key_down(59, kFlagControl),
                          mouse(T::kRightMouseDown, 1, 1, {1, 1}, kFlagControl),
                          mouse(T::kLeftMouseDown, 0, 1, {1, 1}, kFlagControl),
                          mouse(T::kLeftMouseDragged, 0, 1, {2, 2}, kFlagControl),
                          mouse(T::kLeftMouseUp, 0, 1, {2, 2}, kFlagControl),
                          mouse(T::kRightMouseDragged, 1, 1, {3, 3}, kFlagControl),
                      }));
}

TEST_F(CommandExecutorTest, RelativeMovesNeedAPositionAndStayOnTheDisplay) {
  run(command::MoveRelative{{5, 5}, kDisplay});
  EXPECT_TRUE(posted().empty());

  run(command::Move{{100, 100}});
  run(command::MoveRelative{{-30, 50.5}, kDisplay});
  run(command::MoveRelative{{-5000, 5000}, kDisplay});
  run(command::MoveRelative{{10, -10}, kDisplay});
  EXPECT_EQ(posted(), (std::vector{
                          mouse(T::kMouseMoved, 0, 1, {100, 100}),
                          mouse(T::kMouseMoved, 0, 1, {70, 150.5}),
                          mouse(T::kMouseMoved, 0, 1, {0, 899}),
                          mouse(T::kMouseMoved, 0, 1, {10, 889}),
                      }));
}

TEST_F(CommandExecutorTest, DoubleClickPostsTwoClicksThenStartsOver) {
  run(command::DoubleClick{MouseButton::kLeft, GlobalPoint{7, 8}});
  EXPECT_EQ(posted(), (std::vector{
                          mouse(T::kLeftMouseDown, 0, 1, {7, 8}),
                          mouse(T::kLeftMouseUp, 0, 1, {7, 8}),
                          mouse(T::kLeftMouseDown, 0, 2, {7, 8}),
                          mouse(T::kLeftMouseUp, 0, 2, {7, 8}),
                      }));
  clock_.advance(100ms);
  EXPECT_EQ(press_clicks(MouseButton::kLeft, {7, 8}), 1);
  clock_.advance(100ms);
  run(command::Button{MouseButton::kLeft, false, std::nullopt});
  EXPECT_EQ(press_clicks(MouseButton::kLeft, {7, 8}), 2);
}

TEST_F(CommandExecutorTest, WheelKeepsRemainders) {
  struct Case {
    const char* name;
    std::vector<std::int16_t> deltas;
    std::vector<std::int32_t> lines;
    std::int32_t remainder;
  };
  const Case cases[] = {
      {"two half notches", {60, 60}, {1}, 0},       {"down with a remainder", {-200}, {-1}, -80},
      {"just under a notch", {119}, {}, 119},       {"two notches at once", {240}, {2}, 0},
      {"back and forth", {100, -50, 200}, {2}, 10}, {"largest delta", {32767}, {273}, 7},
  };
  for (const Case& c : cases) {
    executor_.forget_held();
    posted();
    for (std::int16_t delta : c.deltas) run(command::Wheel{delta, std::nullopt});
    std::vector<PostedEvent> expected;
    for (std::int32_t lines : c.lines) expected.push_back(PostedEvent::scroll(lines, 0));
    EXPECT_EQ(posted(), expected) << c.name;
    EXPECT_EQ(executor_.pointer().wheel_remainder, c.remainder) << c.name;
  }
}

TEST_F(CommandExecutorTest, WheelWithPointMovesThereFirst) {
  run(key(56, true));
  run(command::Wheel{-120, GlobalPoint{3, 4}});
  EXPECT_EQ(posted(),
            (std::vector{key_down(56, kFlagShift), mouse(T::kMouseMoved, 0, 1, {3, 4}, kFlagShift),
                         PostedEvent::scroll(-1, kFlagShift)}));
}

TEST_F(CommandExecutorTest, ModifierFlagsFollowHeldKeys) {
  run(key(56, true));
  run(key(0, true));
  run(key(0, true));  // a repeat posts like any press
  run(key(56, false));
  run(key(0, false));
  EXPECT_EQ(posted(), (std::vector{key_down(56, kFlagShift), key_down(0, kFlagShift),
                                   key_down(0, kFlagShift), key_up(56), key_up(0)}));
  EXPECT_TRUE(executor_.pressed_keys().empty());
}

TEST_F(CommandExecutorTest, FailedKeyPostsLeaveBookkeepingAsTheDesktopHasIt) {
  struct Case {
    const char* name;
    PressedKeys before;
    command::Key failing;
    PressedKeys after;
  };
  const Case cases[] = {
      {"failed press is not held", {}, key(55, true), {}},
      {"failed repeat stays held", {55}, key(55, true), {55}},
      {"failed release stays held", {55, 0}, key(55, false), {0, 55}},
      {"failed release of an unheld key", {0}, key(55, false), {0}},
  };
  for (const Case& c : cases) {
    executor_.forget_held();
    for (std::uint16_t code : c.before) run(key(code, true));
    desktop_->fail_call(desktop_->calls() + 1);
    auto failed = execute(c.failing);
    ASSERT_FALSE(failed) << c.name;
    EXPECT_EQ(failed.error(), InputError::event_creation_failed("keyboard")) << c.name;
    EXPECT_EQ(executor_.pressed_keys(), c.after) << c.name;
  }
}

TEST_F(CommandExecutorTest, ResetWithNothingHeldReleasesEveryModifier) {
  run(command::Reset{});
  EXPECT_EQ(posted(), modifier_releases());
}

TEST_F(CommandExecutorTest, ResetReleasesHeldButtonsAndKeysThenForgetsAll) {
  run(command::Button{MouseButton::kLeft, true, GlobalPoint{5, 6}});
  run(command::Button{MouseButton::kLeft, false, std::nullopt});
  run(command::Button{MouseButton::kLeft, true, std::nullopt});  // click state 2
  run(command::Button{MouseButton::kRight, true, std::nullopt});
  run(key(56, true));
  run(key(57, true));
  run(key(0, true));
  run(command::Wheel{60, std::nullopt});
  posted();

  run(command::Reset{});
  const EventFlags shift_caps = kFlagShift | kFlagAlphaShift;
  EXPECT_EQ(posted(), (std::vector{
                          mouse(T::kLeftMouseUp, 0, 2, {5, 6}),
                          mouse(T::kRightMouseUp, 1, 1, {5, 6}),
                          key_up(0, shift_caps),
                          key_up(54, shift_caps),
                          key_up(55, shift_caps),
                          key_up(56, kFlagAlphaShift),
                          key_up(57),
                          key_up(58),
                          key_up(59),
                          key_up(60),
                          key_up(61),
                          key_up(62),
                      }));
  EXPECT_TRUE(executor_.pressed_keys().empty());
  EXPECT_FALSE(executor_.pointer().has_position);
  EXPECT_EQ(executor_.pointer().wheel_remainder, 0);
  EXPECT_FALSE(executor_.pointer().last_click_time.has_value());
  run(command::MoveRelative{{1, 1}, kDisplay});
  EXPECT_TRUE(posted().empty());
}

TEST_F(CommandExecutorTest, ResetGoesOnPastErrorsAndReturnsTheFirst) {
  run(command::Button{MouseButton::kLeft, true, GlobalPoint{1, 1}});
  desktop_->fail_call(desktop_->calls() + 1);
  auto reset = execute(command::Reset{});
  ASSERT_FALSE(reset);
  EXPECT_EQ(reset.error(), InputError::event_creation_failed("mouse"));
  EXPECT_EQ(posted().size(), 1u + 8u);  // the press, then every key-up
  EXPECT_FALSE(executor_.pointer().held[0]);
}

TEST_F(CommandExecutorTest, AbandonedGenerationPostsNothing) {
  kivo::log::ScopedCapture log;
  run(key(55, true));
  abandoned_->store(true);
  auto refused = execute(command::Move{{1, 1}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "input event source unavailable: input generation abandoned");

  EXPECT_TRUE(executor_.release_everything(abandoned_.get()));
  EXPECT_TRUE(executor_.pressed_keys().empty());
  EXPECT_EQ(posted(), std::vector{key_down(55, kFlagCommand)});
  EXPECT_EQ(attempts_->load(), 1u);

  std::vector<std::string> diag;
  for (const auto& event : log.events()) {
    if (event.target == "kivo_input_diag" && event.level == log::Level::kInfo) {
      diag.push_back(event.message);
    }
  }
  EXPECT_EQ(diag, (std::vector<std::string>{"CGEventPost enter attempt=1",
                                            "CGEventPost exit attempt=1"}));
}

TEST_F(CommandExecutorTest, ResetAfterAbandonedGenerationReleasesEveryButton) {
  release_all_buttons_->store(true);
  run(command::Reset{});
  std::vector<PostedEvent> expected{
      mouse(T::kLeftMouseUp, 0, 1, {0, 0}),  mouse(T::kOtherMouseUp, 2, 1, {0, 0}),
      mouse(T::kRightMouseUp, 1, 1, {0, 0}), mouse(T::kOtherMouseUp, 3, 1, {0, 0}),
      mouse(T::kOtherMouseUp, 4, 1, {0, 0}),
  };
  for (const PostedEvent& event : modifier_releases()) expected.push_back(event);
  EXPECT_EQ(posted(), expected);
  EXPECT_FALSE(release_all_buttons_->load());

  run(command::Reset{});
  EXPECT_EQ(posted(), modifier_releases());
}

TEST_F(CommandExecutorTest, FailedForcedButtonReleaseIsTriedAgainLater) {
  release_all_buttons_->store(true);
  desktop_->fail_call(3);
  EXPECT_FALSE(execute(command::Reset{}));
  EXPECT_TRUE(release_all_buttons_->load());
  // The end-of-generation release does not force buttons: only a Reset does.
  EXPECT_TRUE(executor_.release_everything(nullptr));
  EXPECT_TRUE(release_all_buttons_->load());
}

}  // namespace
}  // namespace kivo::input
