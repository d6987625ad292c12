// Capture start and stop on the fake screen source and encoder: the running
// capture is replaced only by one that works, the epochs move once, and the
// media socket sees each capture epoch numbered from 0, opening on a key
// frame.
#include "capture_session.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "agent_state.hpp"
#include "desktop_features.hpp"
#include "kivo/capture/fake_screen_source.hpp"
#include "kivo/input/fake_event_poster.hpp"
#include "kivo/video/fake_encoder_session.hpp"
#include "socket_io.hpp"
#include "socket_test_support.hpp"

namespace kivo::agent {
namespace {

using namespace std::chrono_literals;
using protocol::MediaFrame;

protocol::CaptureConfig display_config() {
  protocol::CaptureConfig config;
  config.width = 640;
  config.height = 360;
  config.fps = 30;
  config.bitrate_kbps = 2000;
  return config;
}

bool has_nal(const protocol::Bytes& data, std::uint8_t type) {
  for (std::size_t i = 0; i + 4 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1 &&
        (data[i + 4] & 0x1F) == type) {
      return true;
    }
  }
  return false;
}

// A scripted encoder per session: one fake factory scripts one live session,
// and a replacement has two alive at once.
class FakeEncoderPerSession final : public video::VideoEncoderFactory {
 public:
  video::EncoderStatus create_session(
      const video::EncoderSessionSettings& settings, video::EncoderOutput output,
      std::unique_ptr<video::VideoEncoderSession>& session) override {
    auto factory = std::make_shared<video::FakeEncoderFactory>();
    std::lock_guard guard(mutex_);
    factories_.push_back(factory);
    return factory->create_session(settings, std::move(output), session);
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<video::FakeEncoderFactory>> factories_;
};

class CaptureSessionTest : public ::testing::Test {
 protected:
  enum class Feed : std::uint8_t { kFrames, kStopNewStreams };

  void SetUp() override {
    capture::ShareableContent content;
    content.displays = {{.id = 3, .frame = {{0, 0}, {640, 360}}, .width = 640, .height = 360}};
    source_->set_content(content);
    source_->set_main_display_id(3);
    state_ = std::make_unique<AgentState>(std::make_unique<DesktopFeatures>(
        DesktopPorts{.source = source_,
                     .encoders = std::make_shared<FakeEncoderPerSession>(),
                     .screen_access = [this] { return access_.load(); },
                     .post_event_access = {},
                     .posters = std::make_shared<input::FakeEventPosterFactory>(),
                     .input_clock = {},
                     .lock_session = {},
                     .post_to_main = {}}));
    state_->agent_generation = 7;
    auto installed = install_media_socket(std::move(pair_.agent));
    ASSERT_TRUE(installed);
    state_->media_writer = installed->writer;
    timeval timeout{.tv_sec = 5, .tv_usec = 0};
    ASSERT_EQ(::setsockopt(pair_.peer.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
    feeder_ = std::thread([this] { feed(); });
  }

  void TearDown() override {
    if (state_) (void)stop_capture_session(*state_, true);
    done_ = true;
    feeder_.join();
    state_.reset();
  }

  // Plays the platform: frames for every live stream, or stops the streams
  // created after the ones that existed when told to.
  void feed() {
    while (!done_) {
      const auto streams = source_->streams();
      for (std::size_t i = 0; i < streams.size(); ++i) {
        if (!streams[i]->started()) continue;
        if (feed_ == Feed::kStopNewStreams && i >= stop_from_) {
          streams[i]->stop_with_error(capture::FakeScreenSource::kFakeError);
          continue;
        }
        capture::ScreenSample sample;
        sample.attachments.status = 0;
        sample.attachments.bounding_rect = protocol::Rect{{0, 0}, {640, 360}};
        sample.attachments.screen_rect = sample.attachments.bounding_rect;
        sample.attachments.scale_factor = 1.0;
        sample.image = capture::PixelBuffer::allocate(640, 360);
        sample.display_time = std::chrono::steady_clock::now();
        streams[i]->deliver_screen(std::move(sample));
      }
      std::this_thread::sleep_for(5ms);
    }
  }

  Result<void> start(std::uint64_t capture_epoch) {
    return state_->features->start_capture_session(*state_, display_config(), capture_epoch);
  }

  // The next video frame of `capture_epoch` on the peer's end.
  std::optional<MediaFrame::Video> next_video(std::uint64_t capture_epoch) {
    for (int i = 0; i < 1000; ++i) {
      auto bytes = read_framed_packet(pair_.peer.get(), protocol::kMaxMediaBodyLength, "peer");
      if (!bytes) return std::nullopt;
      auto frame = protocol::decode_media_frame(*bytes);
      if (!frame) return std::nullopt;
      const auto* video = std::get_if<MediaFrame::Video>(&frame->value);
      if (video && video->capture_epoch == capture_epoch) return *video;
    }
    return std::nullopt;
  }

  std::shared_ptr<capture::FakeScreenSource> source_ =
      std::make_shared<capture::FakeScreenSource>();
  testing::SocketPair pair_;
  std::unique_ptr<AgentState> state_;
  std::atomic<bool> access_{true};
  std::atomic<Feed> feed_{Feed::kFrames};
  std::atomic<std::size_t> stop_from_{0};
  std::atomic<bool> done_{false};
  std::thread feeder_;
};

TEST_F(CaptureSessionTest, AStartInstallsTheCaptureAndItsFramesOpenAtSequenceZeroOnAKeyFrame) {
  ASSERT_TRUE(start(10));
  AgentState& state = *state_;
  ASSERT_TRUE(state.capture_pipeline);
  EXPECT_TRUE(state.geometry);
  EXPECT_EQ(state.capture_status,
            (protocol::CaptureStatus{true, "screencapturekit_videotoolbox", "capture.running"}));
  EXPECT_EQ(state.capture_epoch, 10u);
  EXPECT_EQ(state.input_epoch, 1u);
  EXPECT_EQ(state.capture_config, display_config());

  auto first = next_video(10);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->agent_generation, 7u);
  EXPECT_EQ(first->sequence, 0u);
  EXPECT_TRUE(first->keyframe);
  EXPECT_TRUE(has_nal(first->data, 7) && has_nal(first->data, 8) && has_nal(first->data, 5));
  auto second = next_video(10);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->sequence, 1u);

  ASSERT_TRUE(stop_capture_session(state, true));
  EXPECT_FALSE(state.capture_pipeline);
  EXPECT_FALSE(state.video_writers);
  EXPECT_FALSE(state.geometry);
  EXPECT_FALSE(state.capture_status.running);
  EXPECT_EQ(state.input_epoch, 2u);
}

TEST_F(CaptureSessionTest, AFailedStartLeavesTheRunningCaptureAndTheEpochsAlone) {
  ASSERT_TRUE(start(10));
  AgentState& state = *state_;
  const capture::CapturePipeline* running = state.capture_pipeline.get();
  ASSERT_TRUE(next_video(10));

  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* error;
  };
  const Case cases[] = {
      {"no screen access", [this] { access_ = false; }, "permission denied: agent.screen-denied"},
      {"stream stops before its geometry",
       [this] {
         access_ = true;
         stop_from_ = source_->streams().size();
         feed_ = Feed::kStopNewStreams;
       },
       "invalid message: capture stream stopped before geometry became available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    auto failed = start(11);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(), c.error);
    EXPECT_EQ(state.capture_pipeline.get(), running);
    EXPECT_EQ(state.capture_epoch, 10u);
    EXPECT_EQ(state.input_epoch, 1u);
    EXPECT_TRUE(state.capture_status.running);
    EXPECT_TRUE(state.geometry);
  }
  // The old capture still streams.
  auto later = next_video(10);
  ASSERT_TRUE(later);
  EXPECT_GT(later->sequence, 0u);
}

TEST_F(CaptureSessionTest, AReplacementMovesTheEpochsOnceAndRestartsTheSequence) {
  ASSERT_TRUE(start(10));
  AgentState& state = *state_;
  ASSERT_TRUE(next_video(10));
  ASSERT_TRUE(next_video(10));
  const auto first_stream = source_->last_stream();

  ASSERT_TRUE(start(11));
  EXPECT_EQ(state.capture_epoch, 11u);
  EXPECT_EQ(state.input_epoch, 2u);  // the inner stop does not advance it
  EXPECT_TRUE(first_stream->destroyed());
  auto first = next_video(11);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->sequence, 0u);
  EXPECT_TRUE(first->keyframe);
  auto second = next_video(11);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->sequence, 1u);

  // A reconfiguration under a new epoch renumbers from 0 too, once a key
  // frame comes.
  state.capture_epoch = 12;
  state.features->publish_capture_epoch(state);
  auto renumbered = next_video(12);
  ASSERT_TRUE(renumbered);
  EXPECT_EQ(renumbered->sequence, 0u);
  EXPECT_TRUE(renumbered->keyframe);
}

TEST_F(CaptureSessionTest, DesiredAudioThatThePlatformLacksDoesNotFailTheStart) {
  state_->desired_audio = true;
  ASSERT_TRUE(start(10));
  ASSERT_TRUE(state_->capture_pipeline);
  EXPECT_TRUE(state_->capture_status.running);
  EXPECT_EQ(state_->capture_config, display_config());
  EXPECT_TRUE(next_video(10));
}

TEST_F(CaptureSessionTest, AFailedMediaWriteIsRecordedAndEndsOnlyTheWriters) {
  ASSERT_TRUE(start(10));
  ASSERT_TRUE(next_video(10));
  pair_.peer.reset();  // the service went away
  EXPECT_TRUE(
      testing::eventually([this] { return state_->media_diagnostics->last_error().has_value(); }));
  // The capture itself is the service's to stop.
  EXPECT_TRUE(state_->capture_pipeline);
  EXPECT_TRUE(stop_capture_session(*state_, true));
}

}  // namespace
}  // namespace kivo::agent
