#include "kivo/input/event_commands.hpp"

#include <optional>

#include "kivo/input/key_map.hpp"
#include "kivo/input/point_mapping.hpp"

namespace kivo::input {
namespace {

using protocol::MouseAction;

Expected<EventCommand, InputError> key_command(const protocol::KeyboardEvent& key) {
  auto code = vk_to_cg_keycode(key.vk_code);
  if (!code) return fail(std::move(code).error());
  return EventCommand(WorkerCommand(command::Key{key.vk_code, *code, key.is_down, key.is_repeat}));
}

EventCommand queue(WorkerCommand command) {
  return EventCommand(std::move(command));
}

EventCommand outcome(EnqueueOutcome value) {
  return EventCommand(value);
}

EventCommand mouse_command(const protocol::CaptureGeometry& geometry,
                           const protocol::MouseEvent& mouse) {
  // The mapped position, when the event carries one; OutOfBounds otherwise.
  std::optional<GlobalPoint> point;
  const auto map = [&](bool clamp) -> bool {
    if (!mouse.has_xy) return true;
    point = clamp ? map_point_clamped(geometry, mouse.x, mouse.y)
                  : map_point(geometry, mouse.x, mouse.y);
    return point.has_value();
  };

  switch (mouse.action) {
    case MouseAction::kMove:
      if (!mouse.has_xy) return outcome(EnqueueOutcome::kIgnored);
      if (!map(false)) return outcome(EnqueueOutcome::kOutOfBounds);
      return queue(command::Move{*point});
    case MouseAction::kMoveRelative:
      if (!mouse.has_xy) return outcome(EnqueueOutcome::kIgnored);
      return queue(command::MoveRelative{map_delta(geometry, mouse.x, mouse.y),
                                         geometry.display_bounds_points});
    case MouseAction::kDown:
    case MouseAction::kUp: {
      const bool pressed = mouse.action == MouseAction::kDown;
      if (!map(!pressed)) return outcome(EnqueueOutcome::kOutOfBounds);
      if (!mouse.button) return outcome(EnqueueOutcome::kIgnored);
      return queue(command::Button{*mouse.button, pressed, point});
    }
    case MouseAction::kWheel:
      if (!map(false)) return outcome(EnqueueOutcome::kOutOfBounds);
      return queue(command::Wheel{mouse.wheel_delta, point});
    case MouseAction::kDoubleClick:
      if (!map(false)) return outcome(EnqueueOutcome::kOutOfBounds);
      if (!mouse.button) return outcome(EnqueueOutcome::kIgnored);
      return queue(command::DoubleClick{*mouse.button, point});
  }
  return outcome(EnqueueOutcome::kIgnored);
}

EventCommand mouse_command_without_geometry(const protocol::MouseEvent& mouse) {
  const bool is_button = mouse.action == MouseAction::kDown || mouse.action == MouseAction::kUp;
  if (!is_button || mouse.has_xy || !mouse.button) return outcome(EnqueueOutcome::kIgnored);
  return queue(command::Button{*mouse.button, mouse.action == MouseAction::kDown, std::nullopt});
}

}  // namespace

Expected<EventCommand, InputError> command_for_event(const protocol::CaptureGeometry& geometry,
                                                     const protocol::InputEvent& event) {
  if (const auto* key = std::get_if<protocol::KeyboardEvent>(&event)) return key_command(*key);
  if (std::holds_alternative<protocol::InputReset>(event)) return queue(command::Reset{});
  return mouse_command(geometry, std::get<protocol::MouseEvent>(event));
}

Expected<EventCommand, InputError> command_for_event_without_geometry(
    const protocol::InputEvent& event) {
  if (const auto* key = std::get_if<protocol::KeyboardEvent>(&event)) return key_command(*key);
  if (std::holds_alternative<protocol::InputReset>(event)) return queue(command::Reset{});
  return mouse_command_without_geometry(std::get<protocol::MouseEvent>(event));
}

}  // namespace kivo::input
