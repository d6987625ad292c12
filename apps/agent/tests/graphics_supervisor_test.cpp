#include "graphics_supervisor.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fake_window_server_probe.hpp"
#include "kivo/core/log.hpp"
#include "thread_names.hpp"

namespace kivo::agent {
namespace {

using std::chrono::milliseconds;
using testing::FakeWindowServer;
using testing::FakeWindowServerProbe;

// Time that moves only by the supervisor's own sleeps. Each sleep holds the
// supervisor until the test releases it, so the test looks at the state
// between two probes; a watch holds it until the test signals activity.
class FakeTimer final : public SupervisorTimer {
 public:
  time_point now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }

  void sleep_for(milliseconds duration) override {
    std::unique_lock lock(mutex_);
    sleeps_.push_back(duration);
    now_ += duration;
    const std::size_t index = sleeps_.size();
    changed_.notify_all();
    changed_.wait(lock, [&] { return woken_ || released_ >= index; });
  }

  void wait_readable(int fd, milliseconds) override {
    std::unique_lock lock(mutex_);
    watched_fds_.push_back(fd);
    changed_.notify_all();
    changed_.wait(lock, [&] { return woken_ || activity_; });
    activity_ = false;
  }

  void wake() override {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
  }

  // Lets the next `count` sleeps (taken or to come) end.
  void release(std::size_t count = 1) {
    std::lock_guard lock(mutex_);
    released_ += count;
    changed_.notify_all();
  }
  // Something happened on the watched descriptor.
  void signal_activity() {
    std::lock_guard lock(mutex_);
    activity_ = true;
    changed_.notify_all();
  }

  bool wait_for_sleeps(std::size_t count) {
    return wait_until([&] { return sleeps_.size() >= count; });
  }
  bool wait_for_watches(std::size_t count) {
    return wait_until([&] { return watched_fds_.size() >= count; });
  }
  std::vector<milliseconds> sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  std::vector<int> watched_fds() const {
    std::lock_guard lock(mutex_);
    return watched_fds_;
  }

 private:
  template <class Predicate>
  bool wait_until(Predicate predicate) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), predicate);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  time_point now_{};
  std::vector<milliseconds> sleeps_;
  std::vector<int> watched_fds_;
  std::size_t released_ = 0;
  bool activity_ = false;
  bool woken_ = false;
};

std::size_t count_events(const log::ScopedCapture& capture, log::Level level,
                         std::string_view message) {
  std::size_t count = 0;
  for (const log::CapturedEvent& event : capture.events()) {
    if (event.level == level && event.message == message) ++count;
  }
  return count;
}

std::vector<milliseconds> ms(std::initializer_list<int> values) {
  std::vector<milliseconds> result;
  for (int value : values) result.emplace_back(value);
  return result;
}

constexpr std::string_view kProbeWarning = "window server port probe returned NULL";
constexpr std::string_view kLostWarning = "window server port lost";
constexpr std::string_view kReadyInfo = "window server port ready";

class GraphicsSupervisorTest : public ::testing::Test {
 protected:
  GraphicsSupervisor& supervisor(GraphicsSupervisor::Options options = {}) {
    options.timer = timer_;
    supervisor_ = std::make_unique<GraphicsSupervisor>(
        std::make_unique<FakeWindowServerProbe>(server_), std::move(options));
    return *supervisor_;
  }

  GraphicsSnapshot snapshot() const { return supervisor_->snapshot(); }

  static GraphicsSnapshot state(GraphicsState value, std::uint64_t failures,
                                std::optional<std::string> text, std::uint64_t losses = 0) {
    return GraphicsSnapshot{
        .state = value, .failure_count = failures, .loss_count = losses, .failure_text = text};
  }

  log::ScopedCapture capture_;
  std::shared_ptr<FakeWindowServer> server_ = std::make_shared<FakeWindowServer>();
  std::shared_ptr<FakeTimer> timer_ = std::make_shared<FakeTimer>();
  std::unique_ptr<GraphicsSupervisor> supervisor_;
};

TEST_F(GraphicsSupervisorTest, WithoutAServerStaysNotReadyAndBacksOff) {
  supervisor().start();
  ASSERT_TRUE(timer_->wait_for_sleeps(1));
  EXPECT_EQ(snapshot(), state(GraphicsState::kNotReady, 1, "no window server"));

  timer_->release(6);
  ASSERT_TRUE(timer_->wait_for_sleeps(7));
  EXPECT_EQ(timer_->sleeps(), ms({100, 200, 400, 800, 1000, 1000, 1000}));
  EXPECT_EQ(snapshot(), state(GraphicsState::kNotReady, 7, "no window server"));
  EXPECT_EQ(supervisor_->loss_count(), 0U);
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, kProbeWarning), 1U);
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, kLostWarning), 0U);
}

TEST_F(GraphicsSupervisorTest, ProbeWarningIsLoggedTwiceAMinute) {
  supervisor().start();
  // Probes run at 0, 0.1, 0.3, 0.7, 1.5, 2.5 ... 29.5 s, then 30.5 s.
  timer_->release(32);
  ASSERT_TRUE(timer_->wait_for_sleeps(33));
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, kProbeWarning), 1U);
  timer_->release();
  ASSERT_TRUE(timer_->wait_for_sleeps(34));
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, kProbeWarning), 2U);
  EXPECT_EQ(snapshot().failure_count, 34U);
}

TEST_F(GraphicsSupervisorTest, GoesReadyLostAndReadyAgain) {
  supervisor().start();
  ASSERT_TRUE(timer_->wait_for_sleeps(1));
  server_->set_up(true);
  timer_->release();

  // Ready: the failure before it stays counted, its text goes.
  ASSERT_TRUE(timer_->wait_for_watches(1));
  EXPECT_EQ(snapshot(), state(GraphicsState::kReady, 1, std::nullopt));
  EXPECT_NE(timer_->watched_fds().front(), -1);
  EXPECT_EQ(count_events(capture_, log::Level::kInfo, kReadyInfo), 1U);

  // Nothing wrong: the watch goes on.
  timer_->signal_activity();
  ASSERT_TRUE(timer_->wait_for_watches(2));
  EXPECT_EQ(snapshot().state, GraphicsState::kReady);

  // Lost: one loss, one failure, one warning.
  server_->set_up(false);
  server_->lose_connection("connection closed");
  timer_->signal_activity();
  ASSERT_TRUE(timer_->wait_for_sleeps(2));
  EXPECT_EQ(snapshot(), state(GraphicsState::kLost, 2, "connection closed", 1));
  EXPECT_EQ(supervisor_->loss_count(), 1U);

  // Failed probes while lost are the same loss; no probe warning either.
  timer_->release(3);
  ASSERT_TRUE(timer_->wait_for_sleeps(5));
  EXPECT_EQ(snapshot(), state(GraphicsState::kLost, 2, "no window server", 1));
  EXPECT_EQ(supervisor_->loss_count(), 1U);
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, kLostWarning), 1U);
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, kProbeWarning), 1U);

  // Back: ready again, with one more line.
  server_->set_up(true);
  timer_->release();
  ASSERT_TRUE(timer_->wait_for_watches(3));
  EXPECT_EQ(snapshot(), state(GraphicsState::kReady, 2, std::nullopt, 1));
  EXPECT_EQ(count_events(capture_, log::Level::kInfo, kReadyInfo), 2U);
  // The pause after the loss, then a back-off that starts at 200 ms.
  EXPECT_EQ(timer_->sleeps(), ms({100, 100, 200, 400, 800}));
}

TEST_F(GraphicsSupervisorTest, LossWarningNamesTheReason) {
  server_->set_up(true);
  supervisor().start();
  ASSERT_TRUE(timer_->wait_for_watches(1));
  server_->lose_connection("X connection lost: socket, pipe or stream error");
  timer_->signal_activity();
  ASSERT_TRUE(timer_->wait_for_sleeps(1));
  for (const log::CapturedEvent& event : capture_.events()) {
    if (event.message == kLostWarning) {
      EXPECT_EQ(event.field("detail"), "X connection lost: socket, pipe or stream error");
    }
  }
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, kLostWarning), 1U);
}

TEST_F(GraphicsSupervisorTest, ConnectionDeadOnArrivalIsAFailedProbe) {
  server_->set_up(true);
  server_->fail_after_open("dead on arrival");
  supervisor().start();
  ASSERT_TRUE(timer_->wait_for_sleeps(1));
  EXPECT_EQ(snapshot(), state(GraphicsState::kNotReady, 1, "dead on arrival"));
  EXPECT_FALSE(server_->connected());

  server_->fail_after_open(std::nullopt);
  timer_->release();
  ASSERT_TRUE(timer_->wait_for_watches(1));
  EXPECT_EQ(snapshot(), state(GraphicsState::kReady, 1, std::nullopt));
}

TEST_F(GraphicsSupervisorTest, StopEndsABackOffAtOnce) {
  supervisor().start();
  ASSERT_TRUE(timer_->wait_for_sleeps(1));
  supervisor_->stop();
  EXPECT_EQ(server_->opens(), 1);
  EXPECT_EQ(count_events(capture_, log::Level::kWarn,
                         "graphics supervisor shutdown timeout; thread detached"),
            0U);
}

TEST_F(GraphicsSupervisorTest, StopEndsTheWatchAndClosesTheConnection) {
  server_->set_up(true);
  supervisor().start();
  ASSERT_TRUE(timer_->wait_for_watches(1));
  supervisor_->stop();
  EXPECT_FALSE(server_->connected());
  EXPECT_EQ(snapshot().state, GraphicsState::kReady);
  supervisor_->stop();  // again: nothing to do
}

TEST_F(GraphicsSupervisorTest, StopLeavesAHungProbeBehindAfterTheTimeOut) {
  server_->block_opens();
  GraphicsSupervisor::Options options;
  options.stop_timeout = milliseconds(20);
  supervisor(std::move(options)).start();
  ASSERT_TRUE(server_->wait_for_opens(1));
  supervisor_->stop();
  EXPECT_EQ(count_events(capture_, log::Level::kWarn,
                         "graphics supervisor shutdown timeout; thread detached"),
            1U);
  for (const log::CapturedEvent& event : capture_.events()) {
    if (event.level == log::Level::kWarn) {
      EXPECT_EQ(event.field("timeout_ms"), "20");
    }
  }
  // The detached thread still owns what it uses: it ends cleanly once the
  // probe returns, after the supervisor object is gone.
  supervisor_.reset();
  EXPECT_FALSE(server_->probe_destroyed());
  server_->unblock();
  EXPECT_TRUE(server_->wait_for_probe_destroyed());
  EXPECT_EQ(server_->opens(), 1);
}

TEST_F(GraphicsSupervisorTest, ThreadThatCannotStartLeavesTheStateLost) {
  GraphicsSupervisor::Options options;
  options.spawn = [](std::string_view, std::function<void()>) -> Result<std::thread> {
    return fail(KivoError::io_errno(EAGAIN));
  };
  supervisor(std::move(options)).start();
  const GraphicsSnapshot failed = snapshot();
  EXPECT_EQ(failed.state, GraphicsState::kLost);
  EXPECT_EQ(failed.failure_count, 1U);
  EXPECT_EQ(failed.failure_text,
            "failed to start graphics supervisor: " + KivoError::io_errno(EAGAIN).display());
  supervisor_->stop();
  EXPECT_EQ(server_->opens(), 0);
}

TEST(GraphicsSupervisorThreadTest, HasAShortNameThatLinuxKeeps) {
  EXPECT_EQ(os_thread_name(kGraphicsSupervisorThread), "kivo-gfx-watch");
}

TEST_F(GraphicsSupervisorTest, ExceptionInTheThreadIsReportedAtStop) {
  server_->throw_on_open();
  supervisor().start();
  ASSERT_TRUE(server_->wait_for_opens(1));
  supervisor_->stop();
  EXPECT_EQ(count_events(capture_, log::Level::kWarn, "graphics supervisor thread panicked"), 1U);
}

}  // namespace
}  // namespace kivo::agent
