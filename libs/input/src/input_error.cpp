#include "kivo/input/input_error.hpp"

#include <fmt/format.h>

namespace kivo::input {

InputError InputError::unsupported_virtual_key(std::uint16_t vk_code) {
  return InputError(Kind::kUnsupportedVirtualKey, {}, vk_code);
}
InputError InputError::queue_overflow() {
  return InputError(Kind::kQueueOverflow, {});
}
InputError InputError::worker_stopped() {
  return InputError(Kind::kWorkerStopped, {});
}
InputError InputError::worker_start_failed(std::string text) {
  return InputError(Kind::kWorkerStartFailed, std::move(text));
}
InputError InputError::event_source_unavailable(std::string text) {
  return InputError(Kind::kEventSourceUnavailable, std::move(text));
}
InputError InputError::event_creation_failed(std::string_view what) {
  return InputError(Kind::kEventCreationFailed, std::string(what));
}
InputError InputError::worker_panicked() {
  return InputError(Kind::kWorkerPanicked, {});
}

std::string InputError::text() const {
  switch (kind_) {
    case Kind::kUnsupportedVirtualKey:
      return fmt::format("unsupported virtual key: 0x{:04x}", vk_code_);
    case Kind::kQueueOverflow:
      return "input queue overflow";
    case Kind::kWorkerStopped:
      return "input worker stopped";
    case Kind::kWorkerStartFailed:
      return "input worker failed to start: " + payload_;
    case Kind::kEventSourceUnavailable:
      return "input event source unavailable: " + payload_;
    case Kind::kEventCreationFailed:
      return fmt::format("failed to create {} input event", payload_);
    case Kind::kWorkerPanicked:
      return "input worker panicked";
  }
  return {};
}

}  // namespace kivo::input
