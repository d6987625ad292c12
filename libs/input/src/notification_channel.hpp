// The injector's unbounded notification channel. It outlives generations:
// an abandoned generation and the current one may send at the same time.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "kivo/input/input_worker_exit.hpp"

namespace kivo::input::detail {

class NotificationChannel {
 public:
  void send(InputWorkerNotification notification) {
    std::lock_guard guard(mutex_);
    pending_.push_back(std::move(notification));
  }

  // Everything sent so far, oldest first.
  std::vector<InputWorkerNotification> drain() {
    std::lock_guard guard(mutex_);
    return std::exchange(pending_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<InputWorkerNotification> pending_;
};

}  // namespace kivo::input::detail
