#include "kivo/capture/capture_stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "kivo/capture/fake_screen_source.hpp"

namespace kivo::capture {
namespace {

using Calls = std::vector<std::string>;

protocol::CaptureConfig capture_config(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                       std::uint32_t kbps,
                                       std::optional<std::uint32_t> display_id = std::nullopt) {
  protocol::CaptureConfig config;
  config.width = width;
  config.height = height;
  config.fps = fps;
  config.bitrate_kbps = kbps;
  config.display_id = display_id;
  return config;
}

FakeStreamScript script(CompletionScript start, CompletionScript stop, CompletionScript update,
                        bool refuse_screen = false, bool refuse_audio = false,
                        bool refuse_remove = false) {
  FakeStreamScript s;
  s.start = start;
  s.stop = stop;
  s.update = update;
  s.refuse_screen_output = refuse_screen;
  s.refuse_audio_output = refuse_audio;
  s.refuse_remove_output = refuse_remove;
  return s;
}

constexpr CompletionScript kOk = CompletionScript::kSucceed;

class CaptureStreamTest : public ::testing::Test {
 protected:
  CaptureStreamTest() {
    ShareableContent content;
    content.displays = {
        {.id = 5, .frame = {{0, 0}, {1920, 1080}}, .width = 1920, .height = 1080},
        {.id = 9, .frame = {{1920, 0}, {1280, 1024}}, .width = 1280, .height = 1024},
    };
    WindowDescriptor window;
    window.id = 0x400001;
    window.frame = {{100, 100}, {800, 600}};
    window.title = "Term";
    content.windows = {window};
    source_.set_content(content);
    source_.set_main_display_id(9);
  }

  CaptureStreamCells cells() {
    return {
        .running = running_,
        .audio_enabled = audio_enabled_,
        .counters = counters_,
        .raw_frames = raw_frames_,
        .raw_audio = raw_audio_,
    };
  }

  Result<std::unique_ptr<CaptureStream>> setup(const protocol::CaptureConfig& config) {
    return CaptureStream::setup(source_, config, cells(), CaptureStreamOptions{.clock = &clock_});
  }

  std::unique_ptr<CaptureStream> started() { return started(kConfig); }
  std::unique_ptr<CaptureStream> started(const protocol::CaptureConfig& config) {
    auto stream = setup(config);
    EXPECT_TRUE(stream) << stream.error().display();
    return stream ? std::move(*stream) : nullptr;
  }

  const protocol::CaptureConfig kConfig = capture_config(1920, 1080, 30, 4000);

  ManualCaptureClock clock_;
  FakeScreenSource source_;
  std::shared_ptr<std::atomic<bool>> running_ = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<std::atomic<bool>> audio_enabled_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<CaptureCounters> counters_ = std::make_shared<CaptureCounters>();
  std::shared_ptr<RawFrameQueue> raw_frames_ =
      std::make_shared<RawFrameQueue>(kRawFrameQueueLimit, clock_);
  std::shared_ptr<RawAudioQueue> raw_audio_ =
      std::make_shared<RawAudioQueue>(kRawAudioQueueLimit, clock_);
};

TEST_F(CaptureStreamTest, StartsTheMainDisplayAndDeliversFrames) {
  std::unique_ptr<CaptureStream> stream = started();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->target().display.id, 9u);
  EXPECT_TRUE(stream->capture_start_time());

  const auto control = source_.last_stream();
  EXPECT_EQ(control->filter(), ContentFilter::display(9));
  EXPECT_EQ(control->calls(), (Calls{"add_output screen", "add_output audio", "start"}));
  EXPECT_FALSE(control->configuration().captures_audio);

  ASSERT_TRUE(control->deliver_status(0));
  std::optional<RawFrame> frame = stream->take_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->pixel_width, 4u);
  // Nothing more queued: the wait is bounded.
  const auto before = clock_.now();
  EXPECT_FALSE(stream->take_frame());
  EXPECT_EQ(clock_.now() - before, kFrameWait);
}

TEST_F(CaptureStreamTest, WindowCaptureRecordsTheWindowOnItsOwn) {
  protocol::CaptureConfig config = kConfig;
  config.window_id = 0x400001;
  std::unique_ptr<CaptureStream> stream = started(config);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(stream->target().window);
  EXPECT_EQ(source_.last_stream()->filter(), ContentFilter::window(0x400001));
  EXPECT_EQ(source_.last_stream()->configuration().width, 800u);
  EXPECT_EQ(source_.last_stream()->configuration().height, 600u);
}

TEST_F(CaptureStreamTest, SetupFailuresNameTheStepAndReleaseTheStream) {
  using Content = FakeScreenSource::ContentScript;
  struct Case {
    const char* name;
    Content content;
    FakeStreamScript script;
    std::optional<std::uint32_t> display_id;
    std::optional<std::uint32_t> window_id;
    bool refuse_stream;
    const char* error;
  };
  const FakeStreamScript fine = script(kOk, kOk, kOk);
  const auto none = std::nullopt;
  const Case cases[] = {
      {"content fails", Content::kError, fine, none, none, false,
       "screencapturekit shareable content failed"},
      {"content empty", Content::kNothing, fine, none, none, false,
       "screencapturekit returned empty shareable content"},
      {"content never comes", Content::kNever, fine, none, none, false,
       "screencapturekit shareable content timed out"},
      {"display not attached", Content::kContent, fine, 7, none, false, "display id 7 not found"},
      {"window not listed", Content::kContent, fine, none, 0xabc, false, "window id abc not found"},
      {"stream refused", Content::kContent, fine, none, none, true, "unsupported"},
      {"screen output refused", Content::kContent, script(kOk, kOk, kOk, true), none, none, false,
       "screencapturekit add stream output failed"},
      {"audio output refused", Content::kContent, script(kOk, kOk, kOk, false, true), none, none,
       false, "screencapturekit add audio output failed"},
      {"start fails", Content::kContent, script(CompletionScript::kFail, kOk, kOk), none, none,
       false, "screencapturekit start capture failed"},
      {"start never completes", Content::kContent, script(CompletionScript::kNever, kOk, kOk), none,
       none, false, "screencapturekit start capture timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t streams_before = source_.streams().size();
    source_.set_content_script(c.content);
    source_.set_stream_script(c.script);
    source_.refuse_streams(c.refuse_stream ? std::optional(KivoError::unsupported("x"))
                                           : std::nullopt);
    protocol::CaptureConfig config = kConfig;
    config.display_id = c.display_id;
    config.window_id = c.window_id;
    auto stream = setup(config);
    ASSERT_FALSE(stream);
    EXPECT_NE(stream.error().display().find(c.error), std::string::npos)
        << stream.error().display();
    for (const auto& control : source_.streams()) EXPECT_TRUE(control->destroyed());
    if (source_.streams().size() > streams_before) {
      EXPECT_FALSE(source_.last_stream()->deliver_status(0));
    }
  }
}

TEST_F(CaptureStreamTest, AStartCompletionAfterTheTimeOutIsHarmless) {
  source_.set_stream_script(script(CompletionScript::kHold, kOk, kOk));
  auto stream = setup(kConfig);
  ASSERT_FALSE(stream);
  EXPECT_EQ(stream.error(), KivoError::invalid_message("screencapturekit start capture timed out"));
  EXPECT_TRUE(source_.last_stream()->finish_held_start());
  EXPECT_EQ(raw_frames_->size(), 0u);
}

TEST_F(CaptureStreamTest, TeardownRunsEveryStepInOrder) {
  std::unique_ptr<CaptureStream> stream = started();
  ASSERT_TRUE(stream);
  bool audio_stopped = false;
  ASSERT_TRUE(stream->teardown([&] { audio_stopped = true; }));
  EXPECT_TRUE(audio_stopped);
  EXPECT_EQ(source_.last_stream()->calls(),
            (Calls{"add_output screen", "add_output audio", "start", "stop", "remove_output audio",
                   "remove_output screen", "wait_for_callbacks", "destroyed"}));
  EXPECT_TRUE(stream->teardown());
}

TEST_F(CaptureStreamTest, TeardownFinishesAfterAFailedStepAndReturnsTheFirstError) {
  struct Case {
    const char* name;
    FakeStreamScript script;
    const char* error;
  };
  const Case cases[] = {
      {"stop fails", script(kOk, CompletionScript::kFail, kOk),
       "screencapturekit stop capture failed"},
      {"stop never completes", script(kOk, CompletionScript::kNever, kOk),
       "screencapturekit stop capture timed out"},
      {"stop late", script(kOk, CompletionScript::kHold, kOk),
       "screencapturekit stop capture timed out"},
      {"stop fails and removal fails",
       script(kOk, CompletionScript::kFail, kOk, false, false, true),
       "screencapturekit stop capture failed"},
      {"removal fails", script(kOk, kOk, kOk, false, false, true),
       "screencapturekit remove stream output failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    source_.set_stream_script(c.script);
    std::unique_ptr<CaptureStream> stream = started();
    ASSERT_TRUE(stream);
    const auto control = source_.last_stream();
    const Result<void> result = stream->teardown();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), KivoError::invalid_message(c.error));
    const Calls calls = control->calls();
    EXPECT_EQ(calls.back(), "destroyed");
    EXPECT_NE(std::find(calls.begin(), calls.end(), "wait_for_callbacks"), calls.end());
    control->finish_held_stop();
  }
}

TEST_F(CaptureStreamTest, AFailedStreamTearsDownWithoutError) {
  std::unique_ptr<CaptureStream> stream = started();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(source_.last_stream()->stop_with_error({"X11", 1, "gone"}));
  EXPECT_TRUE(stream->failed());
  EXPECT_FALSE(running_->load());
  ASSERT_TRUE(counters_->last_source_error());
  EXPECT_EQ(counters_->last_source_error()->detail, "gone");
  EXPECT_TRUE(stream->teardown());
}

TEST_F(CaptureStreamTest, AStopRacingTeardownEndsCleanly) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    std::shared_ptr<FakeStreamControl> control;
    std::thread racer;
    FakeStreamScript racing = script(kOk, kOk, kOk);
    racing.on_stop = [&] {
      racer = std::thread([&control] { control->stop_with_error({"X11", 1, "gone"}); });
    };
    source_.set_stream_script(racing);
    running_->store(true);
    std::unique_ptr<CaptureStream> stream = started();
    ASSERT_TRUE(stream);
    control = source_.last_stream();
    EXPECT_TRUE(stream->teardown());
    racer.join();
    EXPECT_TRUE(control->destroyed());
    EXPECT_FALSE(control->deliver_status(0));
  }
}

TEST_F(CaptureStreamTest, ReconfigurationUpdatesTheStreamOnlyForSizeOrRate) {
  struct Case {
    const char* name;
    protocol::CaptureConfig next;
    ReconfigureOutcome outcome;
  };
  const Case cases[] = {
      {"same", kConfig, ReconfigureOutcome::kUnchanged},
      {"bit rate", capture_config(1920, 1080, 30, 900), ReconfigureOutcome::kOtherChanged},
      {"display id", capture_config(1920, 1080, 30, 4000, 5), ReconfigureOutcome::kOtherChanged},
      {"fps", capture_config(1920, 1080, 60, 4000), ReconfigureOutcome::kStreamUpdated},
      {"size", capture_config(1280, 720, 30, 4000), ReconfigureOutcome::kStreamUpdated},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<CaptureStream> stream = started();
    ASSERT_TRUE(stream);
    const auto control = source_.last_stream();
    control->deliver_status(0);
    protocol::CaptureConfig next = c.next;
    auto outcome = stream->apply_reconfiguration(kConfig, next);
    ASSERT_TRUE(outcome) << outcome.error().display();
    EXPECT_EQ(*outcome, c.outcome);
    EXPECT_EQ(raw_frames_->size(), 0u) << "frames of the old configuration are dropped";
    const Calls calls = control->calls();
    const bool updated = std::find(calls.begin(), calls.end(), "update") != calls.end();
    EXPECT_EQ(updated, c.outcome == ReconfigureOutcome::kStreamUpdated);
    if (updated) {
      EXPECT_EQ(control->configuration().width, next.width);
      EXPECT_EQ(control->configuration().minimum_frame_interval,
                std::chrono::nanoseconds(1'000'000'000 / next.fps));
    }
  }
}

TEST_F(CaptureStreamTest, WindowReconfigurationKeepsTheWindowSize) {
  protocol::CaptureConfig current = kConfig;
  current.window_id = 0x400001;
  std::unique_ptr<CaptureStream> stream = started(current);
  ASSERT_TRUE(stream);
  protocol::CaptureConfig next = current;
  next.width = 640;
  next.height = 480;
  auto outcome = stream->apply_reconfiguration(current, next);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(*outcome, ReconfigureOutcome::kUnchanged);
  EXPECT_EQ(next.width, current.width);
  EXPECT_EQ(next.height, current.height);
}

TEST_F(CaptureStreamTest, ConfigurationUpdatesAreBounded) {
  struct Case {
    CompletionScript update;
    const char* error;
  };
  for (const Case& c :
       {Case{CompletionScript::kFail, "screencapturekit update configuration failed"},
        Case{CompletionScript::kNever, "screencapturekit update configuration timed out"},
        Case{CompletionScript::kHold, "screencapturekit update configuration timed out"}}) {
    SCOPED_TRACE(c.error);
    source_.set_stream_script(script(kOk, kOk, c.update));
    std::unique_ptr<CaptureStream> stream = started();
    ASSERT_TRUE(stream);
    const Result<void> result = stream->apply_audio_request(true, kConfig);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), KivoError::invalid_message(c.error));
    const auto before = clock_.now();
    EXPECT_TRUE(stream->teardown());
    EXPECT_LE(clock_.now() - before, kStopTimeout);
    source_.last_stream()->finish_held_update();
  }
}

TEST_F(CaptureStreamTest, AudioRequestsSwitchTheStreamsAudio) {
  audio_enabled_->store(true);
  std::unique_ptr<CaptureStream> stream = started();
  ASSERT_TRUE(stream);
  const auto control = source_.last_stream();
  EXPECT_TRUE(control->configuration().captures_audio);
  ASSERT_TRUE(control->deliver_audio(AudioSample{}));
  EXPECT_EQ(raw_audio_->size(), 1u);

  ASSERT_TRUE(stream->apply_audio_request(std::nullopt, kConfig));
  EXPECT_EQ(control->calls().back(), "start");

  audio_enabled_->store(false);
  ASSERT_TRUE(stream->apply_audio_request(false, kConfig));
  EXPECT_EQ(raw_audio_->size(), 0u);
  EXPECT_FALSE(control->configuration().captures_audio);
  EXPECT_FALSE(control->deliver_audio(AudioSample{}));
  EXPECT_EQ(raw_audio_->size(), 0u);
}

}  // namespace
}  // namespace kivo::capture
