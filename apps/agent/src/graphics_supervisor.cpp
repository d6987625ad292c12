#include "graphics_supervisor.hpp"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "kivo/core/log.hpp"
#include "thread_names.hpp"

namespace kivo::agent {

using std::chrono::milliseconds;

// Everything the thread touches. The thread holds its own reference, so a
// thread left behind by a timed-out stop never outlives what it uses.
struct GraphicsSupervisor::Shared {
  Shared(std::unique_ptr<WindowServerProbe> p, std::shared_ptr<SupervisorTimer> t)
      : probe(std::move(p)), timer(std::move(t)) {}

  std::unique_ptr<WindowServerProbe> probe;
  std::shared_ptr<SupervisorTimer> timer;
  std::atomic<bool> stop{false};

  mutable std::mutex mutex;
  GraphicsSnapshot state;
  bool done = false;
  bool panicked = false;
  std::condition_variable done_changed;
};

namespace {

constexpr std::string_view kTarget = "kivo_agent";
constexpr milliseconds kFirstBackoff{100};
constexpr milliseconds kBackoffAfterLoss{200};
constexpr milliseconds kMaxBackoff{1000};
constexpr milliseconds kPauseAfterLoss{100};
constexpr milliseconds kWatchPeriod{250};
constexpr milliseconds kTimerSlice{50};
constexpr std::chrono::seconds kProbeWarningInterval{30};

using Shared = GraphicsSupervisor::Shared;

void mark_not_ready(Shared& shared, const std::string& reason) {
  std::lock_guard lock(shared.mutex);
  shared.state.state = GraphicsState::kNotReady;
  ++shared.state.failure_count;
  shared.state.failure_text = reason;
}

void mark_lost(Shared& shared, const std::string& reason) {
  bool newly_lost = false;
  {
    std::lock_guard lock(shared.mutex);
    newly_lost = shared.state.state != GraphicsState::kLost;
    shared.state.state = GraphicsState::kLost;
    shared.state.failure_text = reason;
    if (newly_lost) {
      ++shared.state.loss_count;
      ++shared.state.failure_count;
    }
  }
  if (newly_lost) {
    KIVO_WARN(kTarget, "window server port lost", log::field("detail", reason));
  }
}

void mark_ready(Shared& shared) {
  bool newly_ready = false;
  {
    std::lock_guard lock(shared.mutex);
    newly_ready = shared.state.state != GraphicsState::kReady;
    shared.state.state = GraphicsState::kReady;
    shared.state.failure_text.reset();
  }
  if (newly_ready) KIVO_INFO(kTarget, "window server port ready");
}

class Supervision {
 public:
  explicit Supervision(Shared& shared) : shared_(shared) {}

  void run() {
    while (!stopping()) {
      if (Expected<void, std::string> opened = probe().open(); !opened) {
        probe_failed(opened.error(), /*warn=*/true);
        continue;
      }
      if (Expected<void, std::string> alive = probe().check_alive(); !alive) {
        probe().close();
        probe_failed(alive.error(), /*warn=*/false);
        continue;
      }
      mark_ready(shared_);
      ready_before_ = true;

      const std::optional<std::string> lost = watch();
      if (!lost) break;
      mark_lost(shared_, *lost);
      timer().sleep_for(kPauseAfterLoss);
      probe().close();
      backoff_ = kBackoffAfterLoss;
    }
    probe().close();
  }

 private:
  bool stopping() const { return shared_.stop.load(); }
  WindowServerProbe& probe() { return *shared_.probe; }
  SupervisorTimer& timer() { return *shared_.timer; }

  void probe_failed(const std::string& reason, bool warn) {
    if (ready_before_) {
      mark_lost(shared_, reason);
    } else {
      mark_not_ready(shared_, reason);
      // Early in a session the server may stay away for long; say so twice
      // a minute, not at every probe.
      const SupervisorTimer::time_point now = timer().now();
      if (warn && (!last_warning_ || now - *last_warning_ >= kProbeWarningInterval)) {
        KIVO_WARN(kTarget, "window server port probe returned NULL", log::field("error", reason));
        last_warning_ = now;
      }
    }
    timer().sleep_for(backoff_);
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
  }

  // Watches the open connection; the reason it was lost, or none on stop.
  std::optional<std::string> watch() {
    while (!stopping()) {
      timer().wait_readable(probe().watch_fd(), kWatchPeriod);
      if (stopping()) break;
      if (Expected<void, std::string> alive = probe().check_alive(); !alive) return alive.error();
    }
    return std::nullopt;
  }

  Shared& shared_;
  bool ready_before_ = false;
  milliseconds backoff_ = kFirstBackoff;
  std::optional<SupervisorTimer::time_point> last_warning_;
};

class SystemTimer final : public SupervisorTimer {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }

  void sleep_for(milliseconds duration) override {
    std::unique_lock lock(mutex_);
    woken_changed_.wait_for(lock, duration, [this] { return woken_; });
  }

  void wait_readable(int fd, milliseconds timeout) override {
    if (fd < 0) return sleep_for(timeout);
    const time_point deadline = now() + timeout;
    while (!woken()) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - now());
      if (left <= milliseconds::zero()) return;
      pollfd entry{fd, POLLIN, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, kTimerSlice).count()));
      if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    }
  }

  void wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    woken_changed_.notify_all();
  }

 private:
  bool woken() const {
    std::lock_guard lock(mutex_);
    return woken_;
  }

  mutable std::mutex mutex_;
  std::condition_variable woken_changed_;
  bool woken_ = false;
};

}  // namespace

std::shared_ptr<SupervisorTimer> SupervisorTimer::system() {
  return std::make_shared<SystemTimer>();
}

GraphicsSupervisor::GraphicsSupervisor(std::unique_ptr<WindowServerProbe> probe)
    : GraphicsSupervisor(std::move(probe), Options{}) {}

GraphicsSupervisor::GraphicsSupervisor(std::unique_ptr<WindowServerProbe> probe, Options options)
    : shared_(std::make_shared<Shared>(std::move(probe), options.timer)),
      options_(std::move(options)) {
  if (!options_.spawn) options_.spawn = spawn_named_thread;
}

GraphicsSupervisor::~GraphicsSupervisor() {
  stop();
}

void GraphicsSupervisor::start() {
  if (started_) return;
  started_ = true;
  Result<std::thread> thread = options_.spawn(kGraphicsSupervisorThread, [shared = shared_] {
    try {
      Supervision(*shared).run();
    } catch (...) {
      // Reported by stop(); the agent runs on without supervision.
      std::lock_guard lock(shared->mutex);
      shared->panicked = true;
    }
    {
      std::lock_guard lock(shared->mutex);
      shared->done = true;
    }
    shared->done_changed.notify_all();
  });
  if (!thread) {
    std::lock_guard lock(shared_->mutex);
    shared_->state.state = GraphicsState::kLost;
    ++shared_->state.failure_count;
    shared_->state.failure_text =
        "failed to start graphics supervisor: " + thread.error().display();
    return;
  }
  thread_ = std::move(*thread);
}

void GraphicsSupervisor::stop() {
  if (!thread_.joinable()) return;
  shared_->stop.store(true);
  shared_->timer->wake();
  std::unique_lock lock(shared_->mutex);
  const bool ended =
      shared_->done_changed.wait_for(lock, options_.stop_timeout, [this] { return shared_->done; });
  const bool panicked = shared_->panicked;
  lock.unlock();
  if (!ended) {
    thread_.detach();
    KIVO_WARN(kTarget, "graphics supervisor shutdown timeout; thread detached",
              log::field("timeout_ms", options_.stop_timeout.count()));
    return;
  }
  thread_.join();
  if (panicked) KIVO_WARN(kTarget, "graphics supervisor thread panicked");
}

GraphicsSnapshot GraphicsSupervisor::snapshot() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->state;
}

std::uint64_t GraphicsSupervisor::loss_count() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->state.loss_count;
}

}  // namespace kivo::agent
