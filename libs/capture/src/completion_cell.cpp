#include "completion_cell.hpp"

#include <fmt/format.h>

namespace kivo::capture {

Result<void> CompletionCell::wait(const CaptureClock& clock, std::chrono::nanoseconds timeout,
                                  std::string_view label) const {
  std::unique_lock lock(state_->mutex);
  const CaptureClock::time_point deadline =
      clock.now() + std::chrono::duration_cast<CaptureClock::time_point::duration>(timeout);
  if (!clock.wait_until(lock, state_->cv, deadline, [this] { return state_->done; })) {
    return fail(KivoError::invalid_message(fmt::format("{} timed out", label)));
  }
  if (state_->failed) return fail(KivoError::invalid_message(fmt::format("{} failed", label)));
  return ok();
}

}  // namespace kivo::capture
