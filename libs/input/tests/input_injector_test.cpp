#include "kivo/input/input_injector.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kivo/core/log.hpp"
#include "kivo/input/fake_event_poster.hpp"

namespace kivo::input {
namespace {

using namespace std::chrono_literals;
using protocol::MouseAction;
using protocol::MouseButton;
using T = MouseEventType;
using Kind = InputWorkerExitReason::Kind;

constexpr std::size_t kResetKeyUps = 8;

protocol::InputEvent key_event(std::uint16_t vk, bool down) {
  return protocol::KeyboardEvent{down, false, 0, vk};
}

protocol::InputEvent mouse_at(MouseAction action, std::optional<MouseButton> button, std::int32_t x,
                              std::int32_t y) {
  return protocol::MouseEvent{.action = action, .has_xy = true, .button = button, .x = x, .y = y};
}

std::vector<PostedEvent> modifier_releases() {
  std::vector<PostedEvent> out;
  constexpr std::uint16_t kModifiers[] = {54, 55, 56, 58, 59, 60, 61, 62};
  for (const std::uint16_t code : kModifiers) out.push_back(PostedEvent::key(code, false, 0));
  return out;
}

std::vector<PostedEvent> concat(std::vector<PostedEvent> a, const std::vector<PostedEvent>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// For the few states that only a finished thread shows; fails after 5 s.
template <class Predicate>
bool eventually(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::vector<log::CapturedEvent> warnings(const log::ScopedCapture& log, std::string_view message) {
  std::vector<log::CapturedEvent> out;
  for (const auto& event : log.events()) {
    if (event.level == log::Level::kWarn && event.message == message) out.push_back(event);
  }
  return out;
}

class InputInjectorTest : public ::testing::Test {
 protected:
  InputInjectorTest() {
    geometry_.content_rect_px = {{0, 0}, {101, 101}};
    geometry_.display_bounds_points = {{0, 0}, {201, 201}};
  }

  std::uint64_t start() {
    auto generation = injector_->start_generation();
    EXPECT_TRUE(generation) << generation.error().text();
    return generation.value_or(0);
  }
  void enqueue(const protocol::InputEvent& event) {
    auto outcome = injector_->enqueue(stamp_, geometry_, event);
    ASSERT_TRUE(outcome) << outcome.error().text();
    EXPECT_EQ(*outcome, EnqueueOutcome::kQueued);
  }
  // Blocks the worker on its next post (the first of a Reset it is given).
  void hold_worker() {
    desktop_->block_call(desktop_->calls() + 1);
    injector_->flush_with_reset();
    ASSERT_TRUE(desktop_->wait_until_blocked());
  }

  std::shared_ptr<FakeEventPosterFactory> desktop_ = std::make_shared<FakeEventPosterFactory>();
  std::shared_ptr<ManualInputClock> clock_ = std::make_shared<ManualInputClock>();
  std::unique_ptr<InputInjector> injector_ = std::make_unique<InputInjector>(16, desktop_, clock_);
  protocol::CaptureGeometry geometry_;
  InputStamp stamp_{1, 1, 1};
};

TEST_F(InputInjectorTest, GenerationsStartRunAndReleaseOnStop) {
  log::ScopedCapture log;
  EXPECT_FALSE(injector_->worker_running());
  EXPECT_EQ(start(), 1u);
  EXPECT_EQ(injector_->restart_count(), 0u);
  EXPECT_TRUE(injector_->worker_running());
  EXPECT_EQ(injector_->drain_notifications(),
            std::vector<InputWorkerNotification>{InputWorkerStarted{1}});

  enqueue(key_event(0x41, true));
  ASSERT_TRUE(desktop_->wait_until_posted(kResetKeyUps + 1));
  // The first stamped item of a generation comes after a Reset.
  EXPECT_EQ(desktop_->posted(), concat(modifier_releases(), {PostedEvent::key(0, true, 0)}));

  injector_->stop_generation();
  EXPECT_FALSE(injector_->worker_running());
  EXPECT_EQ(desktop_->posted_by(1),
            concat(concat(modifier_releases(),
                          {PostedEvent::key(0, true, 0), PostedEvent::key(0, false, 0)}),
                   modifier_releases()));
  EXPECT_EQ(injector_->post_attempts(), desktop_->posted().size());
  EXPECT_EQ(injector_->last_exit(), (GenerationExit{1, InputWorkerExitReason::stopped()}));
  EXPECT_TRUE(injector_->drain_notifications().empty());
  auto stopped = injector_->enqueue(stamp_, geometry_, key_event(0x41, true));
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), InputError::worker_stopped());

  EXPECT_EQ(start(), 2u);
  EXPECT_EQ(injector_->restart_count(), 1u);
  EXPECT_EQ(start(), 3u);
  EXPECT_EQ(injector_->restart_count(), 2u);
  EXPECT_EQ(desktop_->posters_created(), 3u);

  std::vector<std::string> started;
  for (const auto& event : log.events()) {
    if (event.message == "input worker generation started") {
      started.push_back(*event.field("generation") + "/" + *event.field("restart_count"));
    }
  }
  EXPECT_EQ(started, (std::vector<std::string>{"1/0", "2/1", "3/2"}));
}

TEST_F(InputInjectorTest, ButtonReleaseOutsideContentStillReleases) {
  start();
  enqueue(mouse_at(MouseAction::kDown, MouseButton::kLeft, 50, 50));
  enqueue(mouse_at(MouseAction::kUp, MouseButton::kLeft, 400, -3));
  auto down_outside = injector_->enqueue(stamp_, geometry_,
                                         mouse_at(MouseAction::kDown, MouseButton::kLeft, 400, -3));
  ASSERT_TRUE(down_outside);
  EXPECT_EQ(*down_outside, EnqueueOutcome::kOutOfBounds);
  ASSERT_TRUE(desktop_->wait_until_posted(kResetKeyUps + 2));
  EXPECT_EQ(desktop_->posted(),
            concat(modifier_releases(), {PostedEvent::mouse(T::kLeftMouseDown, 0, 1, 0, {100, 100}),
                                         PostedEvent::mouse(T::kLeftMouseUp, 0, 1, 0, {200, 0})}));
}

TEST_F(InputInjectorTest, BurstOfMovesPostsOnce) {
  start();
  hold_worker();
  for (std::int32_t i = 0; i <= 100; ++i) enqueue(mouse_at(MouseAction::kMove, std::nullopt, i, i));
  desktop_->release();
  ASSERT_TRUE(desktop_->wait_until_posted(2 * kResetKeyUps + 1));
  injector_->stop_generation();
  const auto posted = desktop_->posted();
  ASSERT_GE(posted.size(), 2 * kResetKeyUps + 1);
  EXPECT_EQ(posted[2 * kResetKeyUps], PostedEvent::mouse(T::kMouseMoved, 0, 1, 0, {200, 200}));
  EXPECT_EQ(posted.size(), 3 * kResetKeyUps + 1);  // the stop's release follows
}

TEST_F(InputInjectorTest, OverflowDiscardsEverythingAndRestartsWithReset) {
  injector_ = std::make_unique<InputInjector>(0, desktop_, clock_);
  start();
  hold_worker();
  enqueue(key_event(0x41, true));  // Reset + key: full
  auto overflow = injector_->enqueue_without_geometry(stamp_, key_event(0x42, true));
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error(), InputError::queue_overflow());
  enqueue(key_event(0x43, true));  // starts afresh: Reset + key
  desktop_->release();
  // The Reset the worker was held in, then the one queued after the overflow.
  ASSERT_TRUE(desktop_->wait_until_posted(2 * kResetKeyUps + 1));
  EXPECT_EQ(desktop_->posted(), concat(concat(modifier_releases(), modifier_releases()),
                                       {PostedEvent::key(8, true, 0)}));
}

TEST_F(InputInjectorTest, CommandFailureEndsGenerationAfterReleasing) {
  log::ScopedCapture log;
  start();
  desktop_->fail_call(kResetKeyUps + 2);
  enqueue(key_event(0x10, true));  // Shift
  enqueue(key_event(0x41, true));  // fails
  ASSERT_TRUE(desktop_->wait_until_no_live_posters());
  ASSERT_TRUE(eventually([&] { return !injector_->worker_running(); }));

  const GenerationExit failed{
      1, InputWorkerExitReason::failed(InputError::event_creation_failed("keyboard"))};
  EXPECT_EQ(injector_->drain_notifications(),
            (std::vector<InputWorkerNotification>{InputWorkerStarted{1}, failed}));
  EXPECT_EQ(injector_->last_exit(), failed);
  EXPECT_EQ(desktop_->posted(),
            concat(modifier_releases(), {
                                            PostedEvent::key(56, true, kFlagShift),
                                            PostedEvent::key(54, false, kFlagShift),
                                            PostedEvent::key(55, false, kFlagShift),
                                            PostedEvent::key(56, false, 0),
                                            PostedEvent::key(58, false, 0),
                                            PostedEvent::key(59, false, 0),
                                            PostedEvent::key(60, false, 0),
                                            PostedEvent::key(61, false, 0),
                                            PostedEvent::key(62, false, 0),
                                        }));
  auto stopped = injector_->enqueue_without_geometry(stamp_, key_event(0x41, true));
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), InputError::worker_stopped());
  const auto warned = warnings(log, "input worker event creation failed");
  ASSERT_EQ(warned.size(), 1u);
  EXPECT_EQ(warned[0].field("error"), "failed to create keyboard input event");
}

TEST_F(InputInjectorTest, InitializationFailureIsReportedAndWarnedAtMostEvery30s) {
  log::ScopedCapture log;
  const InputError unavailable = InputError::event_source_unavailable("no display");
  desktop_->fail_create(unavailable);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    auto started = injector_->start_generation();
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), unavailable);
    EXPECT_EQ(injector_->last_exit(),
              (GenerationExit{static_cast<std::uint64_t>(attempt),
                              InputWorkerExitReason::initialization_failed(unavailable)}));
    EXPECT_TRUE(injector_->drain_notifications().empty());
    clock_->advance(attempt == 1 ? 29s : 1s);
  }
  // At 0 s and 30 s, not at 29 s.
  EXPECT_EQ(warnings(log, "input worker event source initialization failed").size(), 2u);
  EXPECT_EQ(injector_->generation(), 3u);
  EXPECT_EQ(injector_->restart_count(), 2u);
  EXPECT_FALSE(injector_->worker_running());
  auto stopped = injector_->enqueue_without_geometry(stamp_, key_event(0x41, true));
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), InputError::worker_stopped());

  desktop_->fail_create(std::nullopt);
  EXPECT_EQ(start(), 4u);
  enqueue(key_event(0x41, true));
  EXPECT_TRUE(desktop_->wait_until_posted(kResetKeyUps + 1));
}

TEST_F(InputInjectorTest, StartGivesUpAfterTwoSeconds) {
  clock_->set_waits_expire(true);
  desktop_->block_create();
  const auto before = clock_->now();
  auto started = injector_->start_generation();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().text(),
            "input worker failed to start: input worker initialization timed out");
  EXPECT_EQ(clock_->now() - before, 2s);
  EXPECT_FALSE(injector_->worker_running());

  // The late worker finds itself abandoned and ends without posting.
  ASSERT_TRUE(desktop_->wait_until_blocked());
  desktop_->release();
  ASSERT_TRUE(eventually([&] { return desktop_->posters_created() == 1; }));
  ASSERT_TRUE(desktop_->wait_until_no_live_posters());
  EXPECT_EQ(injector_->drain_notifications(),
            (std::vector<InputWorkerNotification>{
                InputWorkerStarted{1}, GenerationExit{1, InputWorkerExitReason::stopped()}}));
  EXPECT_TRUE(desktop_->posted().empty());
}

TEST_F(InputInjectorTest, StopAbandonsABlockedWorkerWhoseLaterPostsAreRefused) {
  log::ScopedCapture log;
  start();
  desktop_->block_call(kResetKeyUps + 1);
  enqueue(mouse_at(MouseAction::kDoubleClick, MouseButton::kLeft, 0, 0));
  ASSERT_TRUE(desktop_->wait_until_blocked());

  clock_->set_waits_expire(true);
  const auto before = clock_->now();
  injector_->stop_generation();
  EXPECT_EQ(clock_->now() - before, 500ms);
  EXPECT_FALSE(injector_->worker_running());
  const auto warned = warnings(log, "input worker shutdown timeout; generation abandoned");
  ASSERT_EQ(warned.size(), 1u);
  EXPECT_EQ(warned[0].field("generation"), "1");
  EXPECT_EQ(warned[0].field("timeout_ms"), "500");

  // The next generation runs while the abandoned one is still stuck; its
  // first Reset releases the buttons the abandoned one may have left down.
  clock_->set_waits_expire(false);
  EXPECT_EQ(start(), 2u);
  injector_->flush_with_reset();
  std::vector<PostedEvent> buttons_released{
      PostedEvent::mouse(T::kLeftMouseUp, 0, 1, 0, {0, 0}),
      PostedEvent::mouse(T::kOtherMouseUp, 2, 1, 0, {0, 0}),
      PostedEvent::mouse(T::kRightMouseUp, 1, 1, 0, {0, 0}),
      PostedEvent::mouse(T::kOtherMouseUp, 3, 1, 0, {0, 0}),
      PostedEvent::mouse(T::kOtherMouseUp, 4, 1, 0, {0, 0}),
  };
  ASSERT_TRUE(desktop_->wait_until_posted(kResetKeyUps + 5 + kResetKeyUps));
  EXPECT_EQ(desktop_->posted_by(2), concat(buttons_released, modifier_releases()));

  // Released, the stuck post completes; the double click's next post is
  // refused and the old generation ends without posting anything more.
  desktop_->release();
  ASSERT_TRUE(eventually([&] { return desktop_->live_posters() == 1; }));
  const auto old_posts = desktop_->posted_by(1);
  ASSERT_EQ(old_posts.size(), kResetKeyUps + 1);
  EXPECT_EQ(old_posts.back(), PostedEvent::mouse(T::kLeftMouseDown, 0, 1, 0, {0, 0}));
  const GenerationExit old_exit{
      1, InputWorkerExitReason::failed(
             InputError::event_source_unavailable("input generation abandoned"))};
  const auto drained = injector_->drain_notifications();
  ASSERT_FALSE(drained.empty());
  // An older generation's end is reported as it is; telling it from the
  // current generation's is the agent's business.
  EXPECT_EQ(drained.back(), InputWorkerNotification{old_exit});
  EXPECT_EQ(injector_->last_exit(), old_exit);
  EXPECT_TRUE(injector_->worker_running());
  EXPECT_EQ(injector_->generation(), 2u);

  // A second Reset of generation 2 no longer touches the buttons.
  injector_->flush_with_reset();
  ASSERT_TRUE(desktop_->wait_until_posted(kResetKeyUps + 1 + 5 + 2 * kResetKeyUps));
  EXPECT_EQ(desktop_->posted_by(2),
            concat(concat(buttons_released, modifier_releases()), modifier_releases()));
}

TEST_F(InputInjectorTest, CrashedWorkerIsFoundOnDrainAndReportedAsPanicked) {
  start();
  desktop_->throw_on_call(kResetKeyUps + 1);
  enqueue(mouse_at(MouseAction::kDown, MouseButton::kRight, 0, 0));
  ASSERT_TRUE(eventually([&] { return !injector_->worker_running(); }));

  const GenerationExit panicked{1, InputWorkerExitReason::panicked()};
  EXPECT_EQ(injector_->drain_notifications(),
            (std::vector<InputWorkerNotification>{InputWorkerStarted{1}, panicked}));
  EXPECT_EQ(injector_->last_exit(), panicked);
  EXPECT_EQ(panicked.reason.failure(), InputError::worker_panicked());
  auto stopped = injector_->enqueue_without_geometry(stamp_, key_event(0x41, true));
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), InputError::worker_stopped());

  // What the crashed worker held is released by the next generation.
  EXPECT_EQ(start(), 2u);
  injector_->flush_with_reset();
  ASSERT_TRUE(desktop_->wait_until_posted(2 * kResetKeyUps + 5));
  EXPECT_EQ(desktop_->posted_by(2).size(), 5 + kResetKeyUps);
}

TEST_F(InputInjectorTest, CrashFoundByStopIsReportedAsPanicked) {
  start();
  desktop_->throw_on_call(kResetKeyUps + 1);
  enqueue(key_event(0x41, true));
  ASSERT_TRUE(desktop_->wait_until_no_live_posters());
  injector_->stop_generation();
  EXPECT_EQ(injector_->last_exit(), (GenerationExit{1, InputWorkerExitReason::panicked()}));
  EXPECT_TRUE(injector_->drain_notifications().empty());
}

TEST_F(InputInjectorTest, FailedReleaseOnStopEndsAsFailed) {
  start();
  enqueue(key_event(0x41, true));
  ASSERT_TRUE(desktop_->wait_until_posted(kResetKeyUps + 1));
  desktop_->fail_call(kResetKeyUps + 2);  // the release of A
  injector_->stop_generation();
  EXPECT_EQ(injector_->last_exit(),
            (GenerationExit{
                1, InputWorkerExitReason::failed(InputError::event_creation_failed("keyboard"))}));
  // The release went on past the failure.
  EXPECT_EQ(desktop_->posted(), concat(concat(modifier_releases(), {PostedEvent::key(0, true, 0)}),
                                       modifier_releases()));
}

TEST(InputInjectorClockTest, RunsOnTheSystemClockWithoutOne) {
  auto desktop = std::make_shared<FakeEventPosterFactory>();
  InputInjector injector(8, desktop, nullptr);
  auto started = injector.start_generation();
  ASSERT_TRUE(started);
  injector.stop_generation();
  EXPECT_EQ(injector.last_exit(), (GenerationExit{1, InputWorkerExitReason::stopped()}));
}

TEST(InputWorkerExitReasonTest, FailureOfEachReason) {
  const InputError error = InputError::event_creation_failed("mouse");
  EXPECT_EQ(InputWorkerExitReason::initialization_failed(error).failure(), error);
  EXPECT_EQ(InputWorkerExitReason::failed(error).failure(), error);
  EXPECT_EQ(InputWorkerExitReason::stopped().failure(), std::nullopt);
  EXPECT_EQ(InputWorkerExitReason::panicked().failure(), InputError::worker_panicked());
}

}  // namespace
}  // namespace kivo::input
