#include "status_report.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "agent_fakes.hpp"

namespace kivo::agent {
namespace {

using protocol::CapabilityHealthState;

// Input figures the status report is built from, set by the test.
class ReportingFeatures final : public UnbuiltFeatures {
 public:
  InputWorkerReport input;
  ClipboardHealthReport clipboard;
  InputWorkerReport input_worker_report() const override { return input; }
  ClipboardHealthReport clipboard_health() const override { return clipboard; }
};

class StatusReportTest : public ::testing::Test {
 protected:
  StatusReportTest() : state_(std::make_unique<ReportingFeatures>()) {
    features_ = static_cast<ReportingFeatures*>(state_.features.get());
    state_.agent_generation = 3;
    state_.capture_epoch = 4;
    state_.input_epoch = 5;
  }

  void set_graphics(GraphicsState graphics, const char* failure = nullptr) {
    state_.graphics_snapshot = [graphics, failure] {
      GraphicsSnapshot snapshot;
      snapshot.state = graphics;
      if (failure != nullptr) {
        snapshot.failure_count = 2;
        snapshot.failure_text = std::string(failure);
      }
      return snapshot;
    };
  }

  protocol::CaptureDiagnostics diagnostics(std::uint64_t now = 1000) {
    return *build_status_report(state_, now).diagnostics;
  }

  AgentState state_;
  ReportingFeatures* features_ = nullptr;
};

TEST_F(StatusReportTest, AFailedMediaWriteIsReportedWithItsErrno) {
  record_media_error(*state_.media_diagnostics, KivoError::io_errno(EPIPE));
  const auto last = diagnostics().last_media_error;
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->domain, "media");
  EXPECT_EQ(last->code, EPIPE);
  EXPECT_EQ(last->detail, KivoError::io_errno(EPIPE).display());
  EXPECT_GT(last->observed_unix_ms, 0u);
}

TEST_F(StatusReportTest, GraphicsFailureIsObservedWhenReported) {
  set_graphics(GraphicsState::kLost, "X server connection lost");
  const auto graphics = diagnostics(123456).graphics_health;
  EXPECT_EQ(graphics.state, CapabilityHealthState::kLost);
  EXPECT_EQ(graphics.failure_count, 2u);
  ASSERT_TRUE(graphics.last_error.has_value());
  EXPECT_EQ(graphics.last_error->domain, "graphics");
  EXPECT_EQ(graphics.last_error->code, 0);
  EXPECT_EQ(graphics.last_error->observed_unix_ms, 123456u);
  EXPECT_EQ(graphics.input_epoch, 5u);
}

TEST_F(StatusReportTest, InputHealthFollowsCaptureGraphicsAndTheWorker) {
  enum class Worker { kNone, kRunning, kExitedWithFailure };
  struct Case {
    const char* name;
    bool capture;
    GraphicsState graphics;
    Worker worker;
    CapabilityHealthState expected;
  };
  const std::vector<Case> cases{
      {"no capture", false, GraphicsState::kReady, Worker::kRunning,
       CapabilityHealthState::kStopped},
      {"graphics lost", true, GraphicsState::kLost, Worker::kRunning, CapabilityHealthState::kLost},
      {"graphics not ready", true, GraphicsState::kNotReady, Worker::kRunning,
       CapabilityHealthState::kStarting},
      {"worker running", true, GraphicsState::kReady, Worker::kRunning,
       CapabilityHealthState::kReady},
      {"worker exited with a failure", true, GraphicsState::kReady, Worker::kExitedWithFailure,
       CapabilityHealthState::kUnavailable},
      {"no worker yet", true, GraphicsState::kReady, Worker::kNone,
       CapabilityHealthState::kStarting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state_.capture_pipeline.reset();
    if (c.capture) {
      state_.capture_pipeline =
          std::make_unique<testing::FakePipeline>(std::make_shared<testing::PipelineLog>());
    }
    set_graphics(c.graphics);
    features_->input = InputWorkerReport{};
    features_->input.worker_running = c.worker == Worker::kRunning;
    if (c.worker == Worker::kExitedWithFailure) {
      features_->input.current_generation_exit_failure = protocol::CaptureErrorRecord{};
      features_->input.current_generation_exit_failure->domain = "input";
      features_->input.current_generation_exit_failure->detail = "XTEST gone";
    }
    const auto input = diagnostics().input_health;
    EXPECT_EQ(input.state, c.expected);
    EXPECT_EQ(input.last_error, features_->input.current_generation_exit_failure);
  }
}

TEST_F(StatusReportTest, ClipboardHealthIsLeftOutWhileUnknown) {
  EXPECT_TRUE(diagnostics().clipboard_health.is_unknown());
  features_->clipboard.state = CapabilityHealthState::kReady;
  const auto clipboard = diagnostics().clipboard_health;
  EXPECT_EQ(clipboard.state, CapabilityHealthState::kReady);
  EXPECT_EQ(clipboard.agent_generation, 3u);
}

}  // namespace
}  // namespace kivo::agent
