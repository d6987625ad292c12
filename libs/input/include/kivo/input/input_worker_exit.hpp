// How a worker generation ends, and what a generation tells the injector.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "kivo/input/input_error.hpp"

namespace kivo::input {

class InputWorkerExitReason {
 public:
  enum class Kind : std::uint8_t {
    kInitializationFailed,  // the event source could not be made
    kFailed,                // a command or the final release failed
    kStopped,
    kPanicked,  // the worker thread died of an exception
  };

  static InputWorkerExitReason initialization_failed(InputError error);
  static InputWorkerExitReason failed(InputError error);
  static InputWorkerExitReason stopped();
  static InputWorkerExitReason panicked();

  Kind kind() const { return kind_; }
  // The carried error for InitializationFailed and Failed, WorkerPanicked for
  // Panicked, nothing for Stopped.
  std::optional<InputError> failure() const;

  friend bool operator==(const InputWorkerExitReason&, const InputWorkerExitReason&) = default;

 private:
  InputWorkerExitReason(Kind kind, std::optional<InputError> error)
      : kind_(kind), error_(std::move(error)) {}

  Kind kind_;
  std::optional<InputError> error_;
};

// A generation's end.
struct GenerationExit {
  std::uint64_t generation = 0;
  InputWorkerExitReason reason = InputWorkerExitReason::stopped();
  friend bool operator==(const GenerationExit&, const GenerationExit&) = default;
};

struct InputWorkerStarted {
  std::uint64_t generation = 0;
  friend bool operator==(const InputWorkerStarted&, const InputWorkerStarted&) = default;
};

// Started {generation} or Exited {generation, reason}.
using InputWorkerNotification = std::variant<InputWorkerStarted, GenerationExit>;

}  // namespace kivo::input
