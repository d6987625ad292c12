#include "input_supervisor.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "kivo/input/fake_event_poster.hpp"
#include "kivo/input/input_clock.hpp"
#include "kivo/protocol/agent_error.hpp"

namespace kivo::agent {
namespace {

using namespace std::chrono_literals;
using input::InputError;

constexpr std::uint64_t kUnixMs = 1'765'000'000'000;

GraphicsSnapshot ready(std::uint64_t losses = 0) {
  return GraphicsSnapshot{.state = GraphicsState::kReady,
                          .failure_count = losses,
                          .loss_count = losses,
                          .failure_text = std::nullopt};
}

protocol::CaptureGeometry geometry(std::uint64_t epoch) {
  protocol::CaptureGeometry geometry;
  geometry.epoch = epoch;
  geometry.display_bounds_points = {{0, 0}, {1280, 720}};
  geometry.surface_size_px = {1280, 720};
  geometry.content_rect_px = {{0, 0}, {1280, 720}};
  return geometry;
}

protocol::InjectInput mouse_move(std::int32_t x, std::int32_t y, std::uint64_t input_epoch) {
  protocol::MouseEvent move;
  move.action = protocol::MouseAction::kMove;
  move.has_xy = true;
  move.x = x;
  move.y = y;
  return protocol::InjectInput{.event = move, .geometry_epoch = 3, .input_epoch = input_epoch};
}

protocol::InjectInput key(std::uint16_t vk_code, std::uint64_t input_epoch) {
  protocol::KeyboardEvent event;
  event.is_down = true;
  event.vk_code = vk_code;
  return protocol::InjectInput{.event = event, .geometry_epoch = 0, .input_epoch = input_epoch};
}

class InputSupervisorTest : public ::testing::Test {
 protected:
  std::shared_ptr<input::FakeEventPosterFactory> posters_ =
      std::make_shared<input::FakeEventPosterFactory>();
  std::shared_ptr<input::ManualInputClock> clock_ = std::make_shared<input::ManualInputClock>();
  InputSupervisor supervisor_{InputSupervisorPorts{
      .posters = posters_, .clock = clock_, .unix_ms = [] { return kUnixMs; }}};
  std::uint64_t input_epoch_ = 1;
};

TEST_F(InputSupervisorTest, StartsAWorkerOnlyWhileGraphicsIsReadyAndCaptureHasAGeometry) {
  supervisor_.maintenance_step(GraphicsSnapshot{}, true, input_epoch_);
  EXPECT_FALSE(supervisor_.worker_running());
  supervisor_.maintenance_step(ready(), false, input_epoch_);
  EXPECT_FALSE(supervisor_.worker_running());
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  EXPECT_TRUE(supervisor_.worker_running());
  EXPECT_EQ(supervisor_.report().worker_generation, 1u);
  EXPECT_EQ(input_epoch_, 1u);  // a first start keeps the epoch

  supervisor_.stop_worker();
  EXPECT_FALSE(supervisor_.worker_running());
}

TEST_F(InputSupervisorTest, ACaptureStartForgetsTheLastFailureAndStartsAWorkerAtOnce) {
  posters_->fail_create(InputError::event_source_unavailable("no display"));
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  ASSERT_TRUE(supervisor_.health().failed_since_last_start);
  posters_->fail_create(std::nullopt);

  // Within the back-off nothing starts, but the failure no longer moves the
  // epoch on: the capture start has already given the service a new one.
  supervisor_.capture_started(ready(), input_epoch_);
  EXPECT_FALSE(supervisor_.worker_running());
  EXPECT_FALSE(supervisor_.health().failed_since_last_start);
  clock_->advance(200ms);
  supervisor_.capture_started(ready(), input_epoch_);
  EXPECT_TRUE(supervisor_.worker_running());
  EXPECT_EQ(input_epoch_, 1u);
}

TEST_F(InputSupervisorTest, FailedStartsBackOffAndAdvanceTheEpochBeforeTheNextTry) {
  posters_->fail_create(InputError::event_source_unavailable("no display"));
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  EXPECT_EQ(supervisor_.health().failure_count, 1u);
  EXPECT_EQ(supervisor_.health().backoff, 200ms);
  ASSERT_TRUE(supervisor_.health().last_failure);
  EXPECT_EQ(supervisor_.health().last_failure->domain, "input");
  EXPECT_EQ(supervisor_.health().last_failure->code, 5);
  EXPECT_EQ(supervisor_.health().last_failure->detail,
            "input event source unavailable: no display");
  EXPECT_EQ(supervisor_.health().last_failure->observed_unix_ms, kUnixMs);

  // Within the back-off nothing is tried.
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  EXPECT_EQ(supervisor_.health().failure_count, 1u);
  EXPECT_EQ(input_epoch_, 1u);

  // Each later failure doubles the wait, up to a second.
  const std::chrono::milliseconds expected_backoff[] = {400ms, 800ms, 1000ms, 1000ms};
  for (std::chrono::milliseconds backoff : expected_backoff) {
    clock_->advance(1s);
    supervisor_.maintenance_step(ready(), true, input_epoch_);
    EXPECT_EQ(supervisor_.health().backoff, backoff);
  }
  EXPECT_EQ(supervisor_.health().failure_count, 5u);
  EXPECT_EQ(supervisor_.health().ready_failure_streak, 5u);
  EXPECT_TRUE(supervisor_.health().streak_warning_given);
  const std::uint64_t epoch_before = input_epoch_;
  EXPECT_GT(epoch_before, 1u);  // each retry after a failure moved it on

  posters_->fail_create(std::nullopt);
  clock_->advance(1s);
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  EXPECT_TRUE(supervisor_.worker_running());
  EXPECT_EQ(input_epoch_, epoch_before + 1);
  EXPECT_EQ(supervisor_.health().backoff, 100ms);
  EXPECT_FALSE(supervisor_.health().last_failure);
  EXPECT_EQ(supervisor_.health().failure_count, 5u);  // the count stays
}

TEST_F(InputSupervisorTest, AWindowServerLossInvalidatesTheGenerationAndTheEpoch) {
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  ASSERT_TRUE(supervisor_.worker_running());

  GraphicsSnapshot lost{.state = GraphicsState::kLost,
                        .failure_count = 1,
                        .loss_count = 1,
                        .failure_text = "X server went away"};
  supervisor_.maintenance_step(lost, true, input_epoch_);
  EXPECT_FALSE(supervisor_.worker_running());
  EXPECT_EQ(input_epoch_, 2u);
  ASSERT_TRUE(supervisor_.health().last_failure);
  EXPECT_EQ(supervisor_.health().last_failure->domain, "graphics");
  EXPECT_EQ(supervisor_.health().last_failure->detail, "X server went away");

  // The same loss seen again changes nothing; ready again starts generation 2.
  supervisor_.maintenance_step(lost, true, input_epoch_);
  EXPECT_EQ(input_epoch_, 2u);
  supervisor_.maintenance_step(ready(1), true, input_epoch_);
  EXPECT_TRUE(supervisor_.worker_running());
  EXPECT_EQ(supervisor_.report().worker_generation, 2u);
  EXPECT_EQ(supervisor_.report().restart_count, 1u);
}

TEST_F(InputSupervisorTest, AWorkerThatFailsIsReportedAndRestarted) {
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  posters_->fail_call(1);
  ASSERT_TRUE(supervisor_.enqueue({.agent_generation = 1, .capture_epoch = 1},
                                  mouse_move(10, 10, input_epoch_), geometry(3)));
  // The worker posts the leading release (eight key-ups) and then fails.
  ASSERT_TRUE(posters_->wait_until_no_live_posters());
  // The thread reports its exit and then ends.
  for (int tries = 0; supervisor_.worker_running() && tries < 10'000; ++tries) {
    std::this_thread::sleep_for(1ms);
  }

  supervisor_.maintenance_step(ready(), true, input_epoch_);
  EXPECT_EQ(supervisor_.health().failure_count, 1u);
  EXPECT_FALSE(supervisor_.worker_running());
  const InputWorkerReport report = supervisor_.report();
  ASSERT_TRUE(report.current_generation_exit_failure);
  EXPECT_EQ(report.current_generation_exit_failure->code, 6);
  EXPECT_EQ(report.current_generation_exit_failure->detail,
            "failed to create keyboard input event");
  clock_->advance(100ms);
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  EXPECT_TRUE(supervisor_.worker_running());
  EXPECT_EQ(input_epoch_, 2u);
}

TEST_F(InputSupervisorTest, EnqueueAnswersInTheServicesTerms) {
  const protocol::AgentStamp stamp{.agent_generation = 1, .capture_epoch = 1};
  supervisor_.maintenance_step(ready(), true, input_epoch_);
  struct Case {
    protocol::InjectInput command;
    std::optional<protocol::AgentError> error;
  };
  const Case cases[] = {
      {key(0x41, input_epoch_), std::nullopt},
      {key(0x13, input_epoch_),
       protocol::agent_error_from(KivoError::invalid_message("unsupported virtual key: 0x0013"))},
      {mouse_move(640, 360, input_epoch_), std::nullopt},
      {mouse_move(1280, 0, input_epoch_), protocol::input_out_of_bounds_error()},
  };
  for (const Case& c : cases) {
    auto answer = supervisor_.enqueue(stamp, c.command, geometry(3));
    if (c.error) {
      ASSERT_FALSE(answer);
      EXPECT_EQ(answer.error(), *c.error);
    } else {
      EXPECT_TRUE(answer);
    }
  }

  // A stopped worker's queue is closed: the service sees the agent as not
  // connected to the desktop.
  supervisor_.stop_worker();
  auto refused = supervisor_.enqueue(stamp, key(0x41, input_epoch_), std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), protocol::agent_error_from(KivoError::not_connected()));
}

}  // namespace
}  // namespace kivo::agent
