// CaptureClock: the time behind every bounded wait of capture, injectable so
// that tests move time instead of waiting for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kivo::capture {

class CaptureClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~CaptureClock() = default;

  // Safe for concurrent use.
  virtual time_point now() const = 0;

  // Wall-clock milliseconds since 1970-01-01; 0 before that date.
  virtual std::uint64_t unix_ms() const = 0;

  // Waits on `cv` with `lock` held until `ready()` holds or `deadline`
  // passes; returns ready(). `lock` is held again on return.
  virtual bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          time_point deadline, const std::function<bool()>& ready) const = 0;

  // The process's steady and system clocks.
  static const CaptureClock& system();
};

// For tests: time moves only when a wait would block (it jumps to that
// wait's deadline, so a time-out is immediate) or when advance() is called.
class ManualCaptureClock final : public CaptureClock {
 public:
  time_point now() const override;
  std::uint64_t unix_ms() const override;
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                  time_point deadline, const std::function<bool()>& ready) const override;

  void advance(std::chrono::nanoseconds by);
  void set_unix_ms(std::uint64_t value);

 private:
  mutable std::mutex mutex_;
  mutable time_point now_{std::chrono::seconds(1'000)};
  std::uint64_t unix_ms_ = 1'700'000'000'000;
};

}  // namespace kivo::capture
