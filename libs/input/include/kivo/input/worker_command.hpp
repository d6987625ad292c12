// The commands the input worker executes, and the stamped items of its queue.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "kivo/input/input_types.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/input_event.hpp"

namespace kivo::input {

// Which agent generation, input epoch and geometry epoch an event was sent
// under; compared as a whole. A change means the remote side's view of the
// desktop was reset, so whatever the worker holds is released first.
struct InputStamp {
  std::uint64_t agent_generation = 0;
  std::uint64_t input_epoch = 0;
  std::uint64_t geometry_epoch = 0;
  friend bool operator==(const InputStamp&, const InputStamp&) = default;
};

namespace command {

struct Move {
  GlobalPoint point;
  friend bool operator==(const Move&, const Move&) = default;
};

// A relative move; the pointer it produces stays inside `display_bounds`
// (the captured display in global points when the move was queued).
struct MoveRelative {
  GlobalPoint delta;
  protocol::Rect display_bounds;
  friend bool operator==(const MoveRelative&, const MoveRelative&) = default;
};

struct Button {
  protocol::MouseButton button = protocol::MouseButton::kLeft;
  bool pressed = false;
  std::optional<GlobalPoint> point;
  friend bool operator==(const Button&, const Button&) = default;
};

struct DoubleClick {
  protocol::MouseButton button = protocol::MouseButton::kLeft;
  std::optional<GlobalPoint> point;
  friend bool operator==(const DoubleClick&, const DoubleClick&) = default;
};

// `delta` in 1/120 of a wheel notch.
struct Wheel {
  std::int16_t delta = 0;
  std::optional<GlobalPoint> point;
  friend bool operator==(const Wheel&, const Wheel&) = default;
};

struct Key {
  std::uint16_t vk_code = 0;
  std::uint16_t mac_key_code = 0;
  bool is_down = false;
  bool is_repeat = false;
  friend bool operator==(const Key&, const Key&) = default;
};

// Release everything held.
struct Reset {
  friend bool operator==(const Reset&, const Reset&) = default;
};

}  // namespace command

using WorkerCommand =
    std::variant<command::Move, command::MoveRelative, command::Button, command::DoubleClick,
                 command::Wheel, command::Key, command::Reset>;

// Items the queue inserts by itself (the Reset after a stamp change, an
// overflow or a flush) carry no stamp.
struct QueueItem {
  std::optional<InputStamp> stamp;
  WorkerCommand command;
  friend bool operator==(const QueueItem&, const QueueItem&) = default;
};

}  // namespace kivo::input
