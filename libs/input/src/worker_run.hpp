// WorkerRun: what one worker thread reports about itself to the injector:
// its one-shot start answer and the end of the thread (and whether it died of
// an exception). Shared by the thread and the injector, so that an abandoned
// thread can outlive the injector's interest in it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>

#include "kivo/input/input_clock.hpp"
#include "kivo/input/input_worker_exit.hpp"

namespace kivo::input::detail {

class WorkerRun {
 public:
  enum class StartAnswer : std::uint8_t { kReady, kExited, kChannelClosed, kTimedOut };
  struct Start {
    StartAnswer answer = StartAnswer::kTimedOut;
    std::optional<InputWorkerExitReason> reason;  // for kExited
  };

  // Worker side. Only the first start answer counts.
  void send_ready();
  void send_exit(InputWorkerExitReason reason);
  // The last thing the thread does.
  void finish(bool panicked);

  // Injector side. The start answer, or kChannelClosed when the thread ended
  // without one, or kTimedOut at `deadline`.
  Start wait_start(const InputClock& clock, InputClock::time_point deadline);
  // Whether the thread finished by `deadline`.
  bool wait_finished(const InputClock& clock, InputClock::time_point deadline);
  bool finished() const;
  bool panicked() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Start> start_;
  bool finished_ = false;
  bool panicked_ = false;
};

}  // namespace kivo::input::detail
