#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "kivo/capture/fake_screen_source.hpp"
#include "kivo/capture/screen_capture_pipeline.hpp"
#include "kivo/video/fake_encoder_session.hpp"

namespace kivo::capture {
namespace {

using namespace std::chrono_literals;
using video::EncodedVideoFrame;

constexpr auto kWait = 5s;

protocol::CaptureConfig config_of(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                  std::uint32_t kbps) {
  protocol::CaptureConfig config;
  config.width = width;
  config.height = height;
  config.fps = fps;
  config.bitrate_kbps = kbps;
  return config;
}

// Whether `data` holds a NAL unit of `type` behind a 4-byte start code.
bool has_nal(const std::vector<std::uint8_t>& data, std::uint8_t type) {
  for (std::size_t i = 0; i + 4 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1 &&
        (data[i + 4] & 0x1F) == type) {
      return true;
    }
  }
  return false;
}

// Polls a condition another thread makes true; fails the test after 5 s.
template <class Predicate>
bool eventually(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class CapturePipelineTest : public ::testing::Test {
 protected:
  CapturePipelineTest() { set_display(1280, 720); }

  void set_display(std::uint32_t width, std::uint32_t height) {
    ShareableContent content;
    content.displays = {
        {.id = 3,
         .frame = {{0, 0}, {static_cast<double>(width), static_cast<double>(height)}},
         .width = width,
         .height = height}};
    source_->set_content(content);
    source_->set_main_display_id(3);
    width_ = width;
    height_ = height;
  }

  PipelinePorts ports() {
    return PipelinePorts{.source = source_,
                         .encoders = encoders_,
                         .screen_access = [this] { return access_; },
                         .clock = clock_,
                         .worker_clock = &CaptureClock::system(),
                         .video_channel_limit = kVideoChannelLimit};
  }

  std::unique_ptr<CapturePipeline> create(protocol::CaptureConfig config = config_of(640, 480, 30,
                                                                                     4000)) {
    auto pipeline = create_pipeline(config, ports());
    EXPECT_TRUE(pipeline) << pipeline.error().display();
    return pipeline ? std::move(*pipeline) : nullptr;
  }

  // A complete frame of the display's size (or the one given).
  bool deliver(std::optional<std::pair<std::uint32_t, std::uint32_t>> size = std::nullopt) {
    const std::uint32_t width = size ? size->first : width_;
    const std::uint32_t height = size ? size->second : height_;
    ScreenSample sample;
    sample.attachments.status = static_cast<std::int64_t>(FrameStatus::kComplete);
    sample.attachments.bounding_rect =
        protocol::Rect{{0, 0}, {static_cast<double>(width), static_cast<double>(height)}};
    sample.attachments.screen_rect = sample.attachments.bounding_rect;
    sample.attachments.scale_factor = 1.0;
    sample.attachments.content_scale = 1.0;
    sample.image = PixelBuffer::allocate(width, height);
    sample.display_time = std::chrono::steady_clock::now();
    return source_->last_stream()->deliver_screen(std::move(sample));
  }

  // Delivers frames until one comes out of the channel.
  std::optional<EncodedVideoFrame> next_frame(EncodedVideoChannel& channel) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto frame = channel.pop_for(20ms)) return frame;
      deliver();
    }
    return std::nullopt;
  }

  // next_frame() may have delivered more frames than came out by then; takes
  // the rest, so that no frame is still in the worker's hands (about to set
  // the geometry) when the test goes on.
  void settle(EncodedVideoChannel& channel) {
    while (channel.pop_for(200ms)) {
    }
  }

  std::shared_ptr<FakeScreenSource> source_ = std::make_shared<FakeScreenSource>();
  std::shared_ptr<video::FakeEncoderFactory> encoders_ =
      std::make_shared<video::FakeEncoderFactory>();
  const CaptureClock* clock_ = &CaptureClock::system();
  bool access_ = true;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
};

TEST_F(CapturePipelineTest, CreationValidatesTheConfigurationFirstRuleFirst) {
  struct Case {
    protocol::CaptureConfig config;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {config_of(0, 480, 0, 4000), "invalid message: capture width and height must be non-zero"},
      {config_of(640, 0, 30, 4000), "invalid message: capture width and height must be non-zero"},
      {config_of(640, 480, 0, 4000), "invalid message: capture fps must be 1..=120"},
      {config_of(640, 480, 121, 4000), "invalid message: capture fps must be 1..=120"},
      {config_of(640, 480, 30, 0), "invalid message: capture bitrate must be non-zero"},
      {config_of(640, 480, 120, 1), nullptr},
  };
  for (const Case& c : cases) {
    auto pipeline = create_pipeline(c.config, ports());
    if (c.error) {
      ASSERT_FALSE(pipeline) << c.error;
      EXPECT_EQ(pipeline.error().display(), c.error);
    } else {
      EXPECT_TRUE(pipeline);
    }
  }
}

TEST_F(CapturePipelineTest, StartRunsAtTheDisplaySizeAndOpensWithAKeyFrameAndParameterSets) {
  auto pipeline = create();
  EXPECT_TRUE(pipeline->stop());  // never started
  auto outputs = pipeline->start();
  ASSERT_TRUE(outputs) << outputs.error().display();
  EXPECT_EQ(pipeline->status(),
            (protocol::CaptureStatus{true, "screencapturekit_videotoolbox", "capture.running"}));
  EXPECT_FALSE(pipeline->geometry());

  auto first = next_frame(*outputs->video);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->key_frame);
  EXPECT_TRUE(has_nal(first->data, 7));
  EXPECT_TRUE(has_nal(first->data, 8));
  EXPECT_TRUE(has_nal(first->data, 5));

  auto geometry = pipeline->wait_for_geometry(std::nullopt);
  ASSERT_TRUE(geometry) << geometry.error().display();
  EXPECT_EQ(geometry->surface_size_px, (protocol::Size{1280, 720}));
  EXPECT_EQ(geometry->display_id, 3u);
  EXPECT_EQ(geometry->reconfigure_generation, 0u);
  ASSERT_TRUE(encoders_->settings());
  EXPECT_EQ(encoders_->settings()->width, 1280u);  // the display's size, not the requested one

  auto again = pipeline->start();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().display(), "invalid message: capture pipeline already running");
  EXPECT_TRUE(pipeline->status().running);

  EXPECT_TRUE(pipeline->stop());
  EXPECT_FALSE(pipeline->status().running);
  EXPECT_EQ(pipeline->status().message_key, "capture.stopped");
  EXPECT_FALSE(pipeline->geometry());
  EXPECT_TRUE(eventually([&] { return outputs->video->finished() || outputs->video->closed(); }));
  EXPECT_GE(pipeline->diagnostics().annexb_emitted_keyframes, 1u);
}

TEST_F(CapturePipelineTest, StartFailsWithoutScreenAccessOrWithAFailingStream) {
  access_ = false;
  auto pipeline = create();
  auto denied = pipeline->start();
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().display(), "permission denied: screen_recording");

  access_ = true;
  FakeStreamScript script;
  script.start = CompletionScript::kFail;
  source_->set_stream_script(script);
  auto failed = pipeline->start();
  ASSERT_FALSE(failed);
  EXPECT_FALSE(pipeline->status().running);

  source_->set_stream_script(FakeStreamScript{});
  EXPECT_TRUE(pipeline->start());  // a failed start leaves the pipeline usable
}

TEST_F(CapturePipelineTest, GeometryWaitEndsWhenTheStreamStopsOrTheTimeRunsOut) {
  auto pipeline = create();
  ASSERT_TRUE(pipeline->start());
  ASSERT_TRUE(source_->last_stream()->stop_with_error(FakeScreenSource::kFakeError));
  auto stopped = pipeline->wait_for_geometry(std::nullopt);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().display(),
            "invalid message: capture stream stopped before geometry became available");
  EXPECT_TRUE(pipeline->stop());

  ManualCaptureClock manual;
  clock_ = &manual;
  auto quiet = create();
  ASSERT_TRUE(quiet->start());
  auto timed_out = quiet->wait_for_geometry(std::nullopt);
  ASSERT_FALSE(timed_out);
  EXPECT_EQ(timed_out.error().display(), "invalid message: capture geometry timed out");
  EXPECT_TRUE(quiet->stop());
}

TEST_F(CapturePipelineTest, ARunThatEndedByItselfStartsAgainOnAKeyFrame) {
  auto pipeline = create();
  auto first = pipeline->start();
  ASSERT_TRUE(first);
  ASSERT_TRUE(next_frame(*first->video));
  ASSERT_TRUE(source_->last_stream()->stop_with_error(FakeScreenSource::kFakeError));
  ASSERT_TRUE(eventually([&] { return !pipeline->status().running; }));
  EXPECT_TRUE(eventually([&] { return first->video->closed(); }));

  auto second = pipeline->start();  // no stop in between
  ASSERT_TRUE(second) << second.error().display();
  auto frame = next_frame(*second->video);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(frame->key_frame);
  EXPECT_TRUE(has_nal(frame->data, 7));
  EXPECT_TRUE(pipeline->stop());
}

TEST_F(CapturePipelineTest, OnlyTheLastReconfigurationIsAppliedAndGeometryCarriesItsGeneration) {
  auto pipeline = create();
  auto outputs = pipeline->start();
  ASSERT_TRUE(outputs);
  ASSERT_TRUE(next_frame(*outputs->video));
  settle(*outputs->video);

  auto first = pipeline->reconfigure(config_of(640, 480, 15, 3000));
  auto second = pipeline->reconfigure(config_of(640, 480, 20, 3000));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, 1u);
  EXPECT_EQ(*second, 2u);
  EXPECT_FALSE(pipeline->geometry());
  auto invalid = pipeline->reconfigure(config_of(640, 480, 0, 3000));
  EXPECT_FALSE(invalid);

  std::optional<protocol::CaptureGeometry> geometry;
  ASSERT_TRUE(eventually([&] {
    deliver();
    auto g = pipeline->geometry();
    if (g && g->reconfigure_generation == 2) geometry = g;
    return geometry.has_value();
  }));
  EXPECT_TRUE(pipeline->wait_for_geometry(2));
  // The stream got the frame rate of the second configuration only.
  EXPECT_EQ(source_->last_stream()->configuration().minimum_frame_interval,
            std::chrono::nanoseconds(1'000'000'000 / 20));
  EXPECT_TRUE(pipeline->stop());
}

TEST_F(CapturePipelineTest, KeyFrameRequestsForceTheNextSubmittedFrame) {
  auto pipeline = create();
  auto outputs = pipeline->start();
  ASSERT_TRUE(outputs);
  ASSERT_TRUE(next_frame(*outputs->video));
  // Let a plain frame through, then ask.
  ASSERT_TRUE(eventually([&] {
    deliver();
    auto frame = outputs->video->pop_for(20ms);
    return frame && !frame->key_frame;
  }));
  pipeline->request_keyframe();
  ASSERT_TRUE(eventually([&] {
    deliver();
    auto frame = outputs->video->pop_for(20ms);
    return frame && frame->key_frame;
  }));
  const auto frames = encoders_->frames();
  const auto forced = std::count_if(frames.begin(), frames.end(),
                                    [](const auto& f) { return f.options.force_key_frame; });
  EXPECT_EQ(forced, 2);
  EXPECT_TRUE(pipeline->stop());
}

TEST_F(CapturePipelineTest, BitRateUpdatesNeedARunningWorkerThatAnswersInTime) {
  auto pipeline = create();
  auto stopped = pipeline->set_target_bitrate(2000);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().display(), "permission denied: agent.inactive-session");
  EXPECT_FALSE(pipeline->set_target_bitrate(0));

  auto outputs = pipeline->start();
  ASSERT_TRUE(outputs);
  EXPECT_TRUE(pipeline->set_target_bitrate(2500));
  EXPECT_TRUE(pipeline->stop());

  // A worker stuck in a stream update cannot answer: the caller gives up
  // after its wait (moved at once by the manual clock) and the slot is free
  // again.
  FakeStreamScript held;
  held.update = CompletionScript::kHold;
  source_->set_stream_script(held);
  ManualCaptureClock manual;
  clock_ = &manual;
  auto stuck = create();
  ASSERT_TRUE(stuck->start());
  ASSERT_TRUE(stuck->reconfigure(config_of(640, 480, 10, 3000)));
  ASSERT_TRUE(eventually([&] {
    const auto calls = source_->last_stream()->calls();
    return std::find(calls.begin(), calls.end(), "update") != calls.end();
  }));
  auto timed_out = stuck->set_target_bitrate(2000);
  ASSERT_FALSE(timed_out);
  EXPECT_EQ(timed_out.error().display(), "invalid message: capture bitrate update timed out");
  auto again = stuck->set_target_bitrate(2000);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().display(), "invalid message: capture bitrate update timed out");
  source_->last_stream()->finish_held_update();
  EXPECT_TRUE(stuck->stop());
}

TEST_F(CapturePipelineTest, OddSizedScreensAreEncodedAtTheEvenSizeInside) {
  set_display(1367, 769);
  auto pipeline = create();
  auto outputs = pipeline->start();
  ASSERT_TRUE(outputs);
  ASSERT_TRUE(next_frame(*outputs->video));
  ASSERT_TRUE(encoders_->settings());
  EXPECT_EQ(encoders_->settings()->width, 1366u);
  EXPECT_EQ(encoders_->settings()->height, 768u);
  auto geometry = pipeline->wait_for_geometry(std::nullopt);
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->surface_size_px, (protocol::Size{1366, 768}));
  EXPECT_EQ(pipeline->diagnostics().stream_epoch, 0u);  // no session was replaced

  // A source that changes size mid-run gets a new session and stream epoch,
  // opening with a key frame.
  ASSERT_TRUE(eventually([&] {
    deliver(std::make_pair(801u, 601u));
    auto frame = outputs->video->pop_for(20ms);
    return frame && frame->stream_epoch == 1;
  }));
  EXPECT_EQ(encoders_->settings()->width, 800u);
  EXPECT_TRUE(pipeline->stop());
}

TEST_F(CapturePipelineTest, AudioCannotBeTurnedOnButOffAlwaysSucceeds) {
  auto pipeline = create();
  ASSERT_TRUE(pipeline->start());
  auto no_sequence = pipeline->set_audio_enabled(true, nullptr);
  ASSERT_FALSE(no_sequence);
  EXPECT_EQ(no_sequence.error().display(),
            "invalid message: audio capture enable requires a route sequence");
  auto on = pipeline->set_audio_enabled(true, std::make_shared<std::atomic<std::uint32_t>>(0));
  ASSERT_FALSE(on);
  EXPECT_EQ(on.error().display(), "not implemented: audio");
  EXPECT_TRUE(pipeline->set_audio_enabled(false, nullptr));
  EXPECT_TRUE(pipeline->stop());
}

TEST(KeyFrameChannelTest, AFullChannelDropsAndWithholdsFramesUntilTheNextKeyFrame) {
  int gaps = 0;
  KeyFrameChannel<int> channel(2, [&gaps] { ++gaps; });
  using Push = KeyFrameChannel<int>::Push;
  EXPECT_EQ(channel.push(1, true), Push::kQueued);
  EXPECT_EQ(channel.push(2, false), Push::kQueued);
  EXPECT_EQ(channel.push(3, false), Push::kDropped);  // full
  EXPECT_EQ(channel.push(4, false), Push::kDropped);  // still full
  EXPECT_EQ(gaps, 1);
  EXPECT_EQ(channel.pop_for(0ms), 1);
  EXPECT_EQ(channel.push(5, false), Push::kDropped);  // room, but refers to a lost frame
  EXPECT_EQ(channel.push(6, true), Push::kQueued);
  EXPECT_EQ(channel.pop_for(0ms), 2);
  EXPECT_EQ(channel.push(7, false), Push::kQueued);
  EXPECT_EQ(channel.dropped(), 3u);
  channel.close();
  EXPECT_EQ(channel.push(8, true), Push::kClosed);
  EXPECT_FALSE(channel.finished());
  EXPECT_EQ(channel.pop_for(0ms), 6);
  EXPECT_EQ(channel.pop_for(0ms), 7);
  EXPECT_TRUE(channel.finished());
  EXPECT_EQ(channel.pop_for(1s), std::nullopt);  // closed: no wait
}

}  // namespace
}  // namespace kivo::capture
