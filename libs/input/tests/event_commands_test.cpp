#include "kivo/input/event_commands.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace kivo::input {
namespace {

using protocol::MouseAction;
using protocol::MouseButton;

protocol::CaptureGeometry geometry() {
  protocol::CaptureGeometry g;
  g.content_rect_px = {{0, 0}, {101, 101}};
  g.display_bounds_points = {{1000, 0}, {201, 201}};
  return g;
}

protocol::InputEvent mouse(MouseAction action, std::optional<MouseButton> button = std::nullopt,
                           std::optional<std::pair<std::int32_t, std::int32_t>> xy = std::nullopt,
                           std::int16_t wheel = 0) {
  protocol::MouseEvent event;
  event.action = action;
  event.button = button;
  event.has_xy = xy.has_value();
  if (xy) {
    event.x = xy->first;
    event.y = xy->second;
  }
  event.wheel_delta = wheel;
  return event;
}

EventCommand queued(WorkerCommand command) {
  return command;
}

constexpr EnqueueOutcome kOut = EnqueueOutcome::kOutOfBounds;
constexpr EnqueueOutcome kIgnored = EnqueueOutcome::kIgnored;

TEST(EventCommandsTest, WithGeometry) {
  using P = std::pair<std::int32_t, std::int32_t>;
  const GlobalPoint mid{1100, 100};
  struct Case {
    const char* name;
    protocol::InputEvent event;
    EventCommand expected;
  };
  const Case cases[] = {
      {"move", mouse(MouseAction::kMove, std::nullopt, P{50, 50}), queued(command::Move{mid})},
      {"move without xy", mouse(MouseAction::kMove), kIgnored},
      {"move outside", mouse(MouseAction::kMove, std::nullopt, P{101, 0}), kOut},
      {"relative", mouse(MouseAction::kMoveRelative, std::nullopt, P{-3, 4}),
       queued(command::MoveRelative{{-6, 8}, geometry().display_bounds_points})},
      {"relative far off is still a delta",
       mouse(MouseAction::kMoveRelative, std::nullopt, P{5000, 0}),
       queued(command::MoveRelative{{10000, 0}, geometry().display_bounds_points})},
      {"relative without xy", mouse(MouseAction::kMoveRelative), kIgnored},
      {"down", mouse(MouseAction::kDown, MouseButton::kRight, P{50, 50}),
       queued(command::Button{MouseButton::kRight, true, mid})},
      {"down outside", mouse(MouseAction::kDown, MouseButton::kLeft, P{-1, 50}), kOut},
      {"down outside without button", mouse(MouseAction::kDown, std::nullopt, P{-1, 50}), kOut},
      {"down without button", mouse(MouseAction::kDown, std::nullopt, P{1, 1}), kIgnored},
      {"down without xy", mouse(MouseAction::kDown, MouseButton::kX2),
       queued(command::Button{MouseButton::kX2, true, std::nullopt})},
      {"up", mouse(MouseAction::kUp, MouseButton::kLeft, P{0, 100}),
       queued(command::Button{MouseButton::kLeft, false, GlobalPoint{1000, 200}})},
      {"up outside is released on the edge",
       mouse(MouseAction::kUp, MouseButton::kLeft, P{500, -9}),
       queued(command::Button{MouseButton::kLeft, false, GlobalPoint{1200, 0}})},
      {"up outside without button", mouse(MouseAction::kUp, std::nullopt, P{500, -9}), kIgnored},
      {"wheel", mouse(MouseAction::kWheel, std::nullopt, P{50, 50}, -240),
       queued(command::Wheel{-240, mid})},
      {"wheel without xy", mouse(MouseAction::kWheel, std::nullopt, std::nullopt, 120),
       queued(command::Wheel{120, std::nullopt})},
      {"wheel outside", mouse(MouseAction::kWheel, std::nullopt, P{0, 101}, 120), kOut},
      {"double click", mouse(MouseAction::kDoubleClick, MouseButton::kMiddle, P{50, 50}),
       queued(command::DoubleClick{MouseButton::kMiddle, mid})},
      {"double click outside", mouse(MouseAction::kDoubleClick, MouseButton::kLeft, P{200, 0}),
       kOut},
      {"double click without button", mouse(MouseAction::kDoubleClick, std::nullopt, P{5, 5}),
       kIgnored},
      {"key", protocol::KeyboardEvent{true, true, 0, 0x41},
       queued(command::Key{0x41, 0, true, true})},
      {"reset", protocol::InputReset{}, queued(command::Reset{})},
  };
  for (const Case& c : cases) {
    auto built = command_for_event(geometry(), c.event);
    ASSERT_TRUE(built) << c.name;
    EXPECT_EQ(*built, c.expected) << c.name;
  }
}

TEST(EventCommandsTest, WithoutGeometryOnlyButtonsWithoutCoordinates) {
  using P = std::pair<std::int32_t, std::int32_t>;
  struct Case {
    const char* name;
    protocol::InputEvent event;
    EventCommand expected;
  };
  const Case cases[] = {
      {"down", mouse(MouseAction::kDown, MouseButton::kLeft),
       queued(command::Button{MouseButton::kLeft, true, std::nullopt})},
      {"up", mouse(MouseAction::kUp, MouseButton::kX1),
       queued(command::Button{MouseButton::kX1, false, std::nullopt})},
      {"up without button", mouse(MouseAction::kUp), kIgnored},
      {"down with xy", mouse(MouseAction::kDown, MouseButton::kLeft, P{1, 1}), kIgnored},
      {"move", mouse(MouseAction::kMove), kIgnored},
      {"wheel", mouse(MouseAction::kWheel, std::nullopt, std::nullopt, 120), kIgnored},
      {"double click", mouse(MouseAction::kDoubleClick, MouseButton::kLeft), kIgnored},
      {"relative", mouse(MouseAction::kMoveRelative, std::nullopt, P{1, 1}), kIgnored},
      {"key up", protocol::KeyboardEvent{false, false, 0, 0xA2},
       queued(command::Key{0xA2, 59, false, false})},
      {"reset", protocol::InputReset{}, queued(command::Reset{})},
  };
  for (const Case& c : cases) {
    auto built = command_for_event_without_geometry(c.event);
    ASSERT_TRUE(built) << c.name;
    EXPECT_EQ(*built, c.expected) << c.name;
  }
}

TEST(EventCommandsTest, UnsupportedKeyQueuesNothing) {
  const protocol::InputEvent pause = protocol::KeyboardEvent{true, false, 0, 0x13};
  for (auto built :
       {command_for_event(geometry(), pause), command_for_event_without_geometry(pause)}) {
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().text(), "unsupported virtual key: 0x0013");
  }
}

}  // namespace
}  // namespace kivo::input
