#include "kivo/capture/stream_output_delegate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kivo/core/log.hpp"

namespace kivo::capture {
namespace {

class StreamOutputDelegateTest : public ::testing::Test {
 protected:
  StreamOutputDelegateTest()
      : cells_{
            .raw_frames = std::make_shared<RawFrameQueue>(kRawFrameQueueLimit, clock_),
            .raw_audio = std::make_shared<RawAudioQueue>(kRawAudioQueueLimit, clock_),
            .running = std::make_shared<std::atomic<bool>>(true),
            .stream_failed = std::make_shared<std::atomic<bool>>(false),
            .audio_enabled = std::make_shared<std::atomic<bool>>(false),
            .capture_start = std::make_shared<InstantCell>(),
            .last_sample = std::make_shared<InstantCell>(),
            .screen_callbacks = std::make_shared<std::atomic<std::uint32_t>>(0),
            .counters = std::make_shared<CaptureCounters>(),
        },
        delegate_(cells_, clock_) {}

  static ScreenSample sample(std::optional<std::int64_t> status, bool with_image = true,
                             std::uint32_t width = 8) {
    ScreenSample s;
    s.attachments.status = status;
    s.attachments.bounding_rect = protocol::Rect{{0, 0}, {4, 2}};
    s.attachments.scale_factor = 2.0;
    if (with_image) s.image = PixelBuffer::allocate(width, 4);
    return s;
  }

  protocol::CaptureDiagnostics diagnostics() const {
    protocol::CaptureDiagnostics d;
    cells_.counters->fill(d);
    return d;
  }

  ManualCaptureClock clock_;
  StreamDelegateCells cells_;
  StreamOutputDelegate delegate_;
};

TEST_F(StreamOutputDelegateTest, CountsEveryStatusAndQueuesOnlyUsableFrames) {
  using D = protocol::CaptureDiagnostics;
  struct Case {
    const char* name;
    std::optional<std::int64_t> status;
    bool with_image;
    std::uint64_t D::*counter;
    bool queued;
  };
  const Case cases[] = {
      {"complete", 0, true, &D::source_status_complete, true},
      {"idle with an image is used", 1, true, &D::source_status_idle, true},
      {"blank", 2, true, &D::source_status_blank, false},
      {"suspended", 3, true, &D::source_status_suspended, false},
      {"started", 4, true, &D::source_status_started, true},
      {"stopped", 5, true, &D::source_status_stopped, false},
      {"unknown value counts as missing", 6, true, &D::source_status_missing, false},
      {"negative value counts as missing", -1, true, &D::source_status_missing, false},
      {"no status", std::nullopt, true, &D::source_status_missing, false},
      {"complete without image", 0, false, &D::source_status_complete, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const D before = diagnostics();
    delegate_.on_screen_sample(sample(c.status, c.with_image));
    const D after = diagnostics();
    EXPECT_EQ(after.*c.counter, before.*c.counter + 1);
    EXPECT_EQ(after.source_callbacks, before.source_callbacks + 1);
    EXPECT_EQ(after.source_null_image_buffers,
              before.source_null_image_buffers + (c.with_image ? 0 : 1));
    EXPECT_EQ(after.source_usable_frames, before.source_usable_frames + (c.queued ? 1 : 0));
    EXPECT_EQ(cells_.raw_frames->size(), c.queued ? 1u : 0u);
    cells_.raw_frames->clear();
  }
}

TEST_F(StreamOutputDelegateTest, FullQueueKeepsTheFourNewestFrames) {
  for (std::uint32_t width = 1; width <= 6; ++width) {
    delegate_.on_screen_sample(sample(0, true, width));
  }
  EXPECT_EQ(diagnostics().raw_queue_overflows, 2u);
  for (std::uint32_t width = 3; width <= 6; ++width) {
    std::optional<RawFrame> frame = cells_.raw_frames->try_pop();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->pixel_width, width);
  }
  EXPECT_FALSE(cells_.raw_frames->try_pop());
}

TEST_F(StreamOutputDelegateTest, DroppedFramesReleaseTheirImages) {
  PixelBuffer image = PixelBuffer::allocate(2, 2);
  ScreenSample first = sample(0);
  first.image = image;
  delegate_.on_screen_sample(std::move(first));
  EXPECT_EQ(image.use_count(), 2);
  for (int i = 0; i < 4; ++i) delegate_.on_screen_sample(sample(0));
  EXPECT_EQ(image.use_count(), 1);
}

TEST_F(StreamOutputDelegateTest, BuildsTheFrameRecord) {
  struct Case {
    const char* name;
    std::optional<protocol::Rect> bounds;
    std::optional<double> scale;
    bool valid;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"bounds times scale", protocol::Rect{{1, 2}, {4, 3}}, 2.0, true},
      {"no scale", protocol::Rect{{1, 2}, {4, 3}}, std::nullopt, false},
      {"zero scale", protocol::Rect{{1, 2}, {4, 3}}, 0.0, false},
      {"zero width", protocol::Rect{{1, 2}, {0, 3}}, 2.0, false},
      {"infinite height", protocol::Rect{{1, 2}, {4, inf}}, 2.0, false},
      {"product overflows", protocol::Rect{{1, 2}, {1e308, 3}}, 1e10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameAttachments attachments;
    attachments.bounding_rect = c.bounds;
    attachments.scale_factor = c.scale;
    const RawFrame frame = make_raw_frame(attachments, PixelBuffer::allocate(8, 6), {});
    EXPECT_EQ(frame.content_rect_valid, c.valid);
    if (c.valid) {
      EXPECT_EQ(frame.content_rect, (protocol::Rect{{2, 4}, {8, 6}}));
    }
    EXPECT_EQ(frame.pixel_width, 8u);
    EXPECT_EQ(frame.pixel_height, 6u);
  }
  const RawFrame empty = make_raw_frame({}, PixelBuffer::allocate(8, 0), {});
  EXPECT_EQ(empty.pixel_width, 0u);
  EXPECT_EQ(empty.pixel_height, 0u);
}

TEST_F(StreamOutputDelegateTest, IgnoresSamplesWhileNotRunning) {
  cells_.running->store(false);
  delegate_.on_screen_sample(sample(0));
  EXPECT_EQ(diagnostics().source_callbacks, 0u);
  EXPECT_EQ(cells_.raw_frames->size(), 0u);
}

TEST_F(StreamOutputDelegateTest, AudioPassesOnlyWhileEnabled) {
  delegate_.on_audio_sample(AudioSample{});
  EXPECT_EQ(cells_.raw_audio->size(), 0u);
  cells_.audio_enabled->store(true);
  delegate_.on_audio_sample(AudioSample{});
  EXPECT_EQ(cells_.raw_audio->size(), 1u);
  EXPECT_EQ(diagnostics().source_callbacks, 0u);
}

TEST_F(StreamOutputDelegateTest, StoppingWithAnErrorRecordsItAndEndsTheRun) {
  log::ScopedCapture logs;
  clock_.set_unix_ms(1'234);
  delegate_.on_stopped_with_error({"X11", 2, "connection lost"});
  EXPECT_FALSE(cells_.running->load());
  EXPECT_TRUE(cells_.stream_failed->load());
  const protocol::CaptureDiagnostics d = diagnostics();
  ASSERT_TRUE(d.last_source_error);
  EXPECT_EQ(*d.last_source_error,
            (protocol::CaptureErrorRecord{"X11", 2, "connection lost", 1'234}));
  const std::vector<log::CapturedEvent> events = logs.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().message, "SCK stream stopped with error");
  EXPECT_EQ(events.back().level, log::Level::kError);
}

TEST_F(StreamOutputDelegateTest, LogsTheFirstSampleWithTheTimeSinceStart) {
  log::ScopedCapture logs;
  cells_.capture_start->set(clock_.now());
  clock_.advance(std::chrono::milliseconds(42));
  delegate_.on_screen_sample(sample(0));
  const std::vector<log::CapturedEvent> events = logs.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().message, "first SCK screen sample arrived");
  EXPECT_EQ(events.front().field("elapsed_ms"), "42");
}

TEST(BoundedQueueTest, WaitsBoundedAndClosesForGood) {
  ManualCaptureClock clock;
  BoundedQueue<int> queue(2, clock);
  const auto before = clock.now();
  EXPECT_FALSE(queue.pop_for(std::chrono::milliseconds(50)));
  EXPECT_EQ(clock.now() - before, std::chrono::milliseconds(50));

  EXPECT_TRUE(queue.push(1).accepted);
  queue.close();
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_FALSE(queue.push(2).accepted);
  EXPECT_FALSE(queue.pop_for(std::chrono::milliseconds(50)));
}

TEST(BoundedQueueTest, AWaitingConsumerWakesForAPush) {
  BoundedQueue<int> queue(4);
  std::thread producer([&] { queue.push(7); });
  // The system clock: the wait ends with the push, long before the bound.
  const std::optional<int> value = queue.pop_for(std::chrono::seconds(30));
  producer.join();
  EXPECT_EQ(value, 7);
}

}  // namespace
}  // namespace kivo::capture
