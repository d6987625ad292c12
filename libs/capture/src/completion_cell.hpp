// One platform completion awaited with a bound. The handler holds its own
// reference to the cell, so a completion that arrives after the waiter gave
// up lands harmlessly.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "kivo/capture/capture_clock.hpp"
#include "kivo/capture/screen_source.hpp"
#include "kivo/core/result.hpp"

namespace kivo::capture {

class CompletionCell {
 public:
  CompletionCell() : state_(std::make_shared<State>()) {}

  // The handler to give the platform; only its first call counts.
  Completion handler() const {
    return [state = state_](std::optional<StreamError> error) {
      {
        std::lock_guard guard(state->mutex);
        if (state->done) return;
        state->done = true;
        state->failed = error.has_value();
      }
      state->cv.notify_all();
    };
  }

  // Success once the handler reported success; "<label> failed" for an
  // error, "<label> timed out" when nothing came within `timeout`.
  Result<void> wait(const CaptureClock& clock, std::chrono::nanoseconds timeout,
                    std::string_view label) const;

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool failed = false;
  };
  std::shared_ptr<State> state_;
};

}  // namespace kivo::capture
