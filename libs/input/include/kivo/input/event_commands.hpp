// From a remote InputEvent to the command the worker will run.
#pragma once

#include <cstdint>
#include <variant>

#include "kivo/core/result.hpp"
#include "kivo/input/input_error.hpp"
#include "kivo/input/worker_command.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/input_event.hpp"

namespace kivo::input {

// The successful results of queueing an event. Queued is also the result
// when a move was merged into the one already queued.
enum class EnqueueOutcome : std::uint8_t {
  kQueued,
  kOutOfBounds,  // the coordinates lie outside the content rectangle; nothing queued
  kIgnored,      // the event cannot be executed as given; nothing queued
};

// A command to queue, or the outcome of an event that queues nothing.
using EventCommand = std::variant<WorkerCommand, EnqueueOutcome>;

// For events whose coordinates are frame pixels of `geometry`. A button
// release outside the content rectangle is moved onto its edge rather than
// refused: a release that never arrives leaves the button stuck down.
// UnsupportedVirtualKey for a key without a desktop key code.
Expected<EventCommand, InputError> command_for_event(const protocol::CaptureGeometry& geometry,
                                                     const protocol::InputEvent& event);

// For every other event: keys, Reset, and button presses and releases
// without coordinates. Other mouse events are Ignored.
Expected<EventCommand, InputError> command_for_event_without_geometry(
    const protocol::InputEvent& event);

}  // namespace kivo::input
