#include "worker_run.hpp"

#include <utility>

namespace kivo::input::detail {

void WorkerRun::send_ready() {
  std::lock_guard guard(mutex_);
  if (!start_) start_ = Start{StartAnswer::kReady, std::nullopt};
  changed_.notify_all();
}

void WorkerRun::send_exit(InputWorkerExitReason reason) {
  std::lock_guard guard(mutex_);
  if (!start_) start_ = Start{StartAnswer::kExited, std::move(reason)};
  changed_.notify_all();
}

void WorkerRun::finish(bool panicked) {
  std::lock_guard guard(mutex_);
  finished_ = true;
  panicked_ = panicked;
  changed_.notify_all();
}

WorkerRun::Start WorkerRun::wait_start(const InputClock& clock, InputClock::time_point deadline) {
  std::unique_lock lock(mutex_);
  clock.wait_until(lock, changed_, deadline, [this] { return start_.has_value() || finished_; });
  if (start_) return *start_;
  if (finished_) return Start{StartAnswer::kChannelClosed, std::nullopt};
  return Start{StartAnswer::kTimedOut, std::nullopt};
}

bool WorkerRun::wait_finished(const InputClock& clock, InputClock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return clock.wait_until(lock, changed_, deadline, [this] { return finished_; });
}

bool WorkerRun::finished() const {
  std::lock_guard guard(mutex_);
  return finished_;
}

bool WorkerRun::panicked() const {
  std::lock_guard guard(mutex_);
  return panicked_;
}

}  // namespace kivo::input::detail
