// A window server that tests switch on and off, behind the supervisor's
// probe port. The test thread drives it while the supervisor thread probes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "window_server_probe.hpp"

namespace kivo::agent::testing {

class FakeWindowServer {
 public:
  // Whether a probe can connect from now on.
  void set_up(bool up) {
    std::lock_guard lock(mutex_);
    up_ = up;
  }
  // The open connection dies with `reason`; the server stays up.
  void lose_connection(std::string reason) {
    std::lock_guard lock(mutex_);
    lost_reason_ = std::move(reason);
  }
  // Connections open but are found dead at once with `reason`.
  void fail_after_open(std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    dead_on_open_ = std::move(reason);
  }
  // open() blocks (as a connect to a hung server would) until unblock().
  void block_opens() {
    std::lock_guard lock(mutex_);
    blocked_ = true;
  }
  void unblock() {
    {
      std::lock_guard lock(mutex_);
      blocked_ = false;
    }
    changed_.notify_all();
  }
  void throw_on_open() {
    std::lock_guard lock(mutex_);
    throw_on_open_ = true;
  }

  int opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
  }
  bool connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
  }
  bool probe_destroyed() const {
    std::lock_guard lock(mutex_);
    return probe_destroyed_;
  }

  // Bounded waits for the supervisor thread to get somewhere.
  bool wait_for_opens(int count) {
    return wait_until([&] { return opens_ >= count; });
  }
  bool wait_for_probe_destroyed() {
    return wait_until([&] { return probe_destroyed_; });
  }

 private:
  friend class FakeWindowServerProbe;

  Expected<void, std::string> open() {
    std::unique_lock lock(mutex_);
    ++opens_;
    connected_ = false;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !blocked_; });
    if (throw_on_open_) throw std::runtime_error("probe exploded");
    if (!up_) return fail(std::string("no window server"));
    connected_ = true;
    lost_reason_ = dead_on_open_;
    return {};
  }
  Expected<void, std::string> check_alive() const {
    std::lock_guard lock(mutex_);
    if (!connected_) return fail(std::string("not open"));
    if (lost_reason_) return fail(*lost_reason_);
    return {};
  }
  int watch_fd() const {
    std::lock_guard lock(mutex_);
    return connected_ ? kFakeFd : -1;
  }
  void close() {
    std::lock_guard lock(mutex_);
    connected_ = false;
  }
  void destroyed() {
    {
      std::lock_guard lock(mutex_);
      probe_destroyed_ = true;
    }
    changed_.notify_all();
  }

  template <class Predicate>
  bool wait_until(Predicate predicate) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), predicate);
  }

  static constexpr int kFakeFd = 1000;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool up_ = false;
  bool connected_ = false;
  bool blocked_ = false;
  bool throw_on_open_ = false;
  bool probe_destroyed_ = false;
  int opens_ = 0;
  std::optional<std::string> lost_reason_;
  std::optional<std::string> dead_on_open_;
};

// The probe the supervisor owns; the server outlives it, shared with the test.
class FakeWindowServerProbe final : public WindowServerProbe {
 public:
  explicit FakeWindowServerProbe(std::shared_ptr<FakeWindowServer> server)
      : server_(std::move(server)) {}
  ~FakeWindowServerProbe() override { server_->destroyed(); }

  Expected<void, std::string> open() override { return server_->open(); }
  int watch_fd() const override { return server_->watch_fd(); }
  Expected<void, std::string> check_alive() override { return server_->check_alive(); }
  void close() override { server_->close(); }

 private:
  std::shared_ptr<FakeWindowServer> server_;
};

}  // namespace kivo::agent::testing
