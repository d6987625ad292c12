// A stop flag that a sleeping loop wakes up for at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kivo::agent {

class StopSignal {
 public:
  void set() {
    {
      std::lock_guard lock(mutex_);
      flag_.store(true);
    }
    woken_.notify_all();
  }

  bool is_set() const { return flag_.load(); }
  // For loops that only poll the flag.
  const std::atomic<bool>& flag() const { return flag_; }

  // Sleeps for `period` or until set; true when set.
  bool wait_for(std::chrono::milliseconds period) {
    std::unique_lock lock(mutex_);
    return woken_.wait_for(lock, period, [this] { return flag_.load(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  std::atomic<bool> flag_{false};
};

}  // namespace kivo::agent
