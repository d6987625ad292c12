#include "kivo/input/input_worker_exit.hpp"

#include <utility>

namespace kivo::input {

InputWorkerExitReason InputWorkerExitReason::initialization_failed(InputError error) {
  return {Kind::kInitializationFailed, std::move(error)};
}
InputWorkerExitReason InputWorkerExitReason::failed(InputError error) {
  return {Kind::kFailed, std::move(error)};
}
InputWorkerExitReason InputWorkerExitReason::stopped() {
  return {Kind::kStopped, std::nullopt};
}
InputWorkerExitReason InputWorkerExitReason::panicked() {
  return {Kind::kPanicked, std::nullopt};
}

std::optional<InputError> InputWorkerExitReason::failure() const {
  if (kind_ == Kind::kPanicked) return InputError::worker_panicked();
  return error_;
}

}  // namespace kivo::input
