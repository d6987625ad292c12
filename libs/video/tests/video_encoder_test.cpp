#include "kivo/video/video_encoder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "kivo/core/log.hpp"
#include "kivo/video/fake_encoder_session.hpp"

namespace kivo::video {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using P = EncoderProperty;

protocol::CaptureConfig config_of(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                  std::uint32_t kbps) {
  protocol::CaptureConfig config;
  config.width = width;
  config.height = height;
  config.fps = fps;
  config.bitrate_kbps = kbps;
  return config;
}

struct Picture {
  Picture(std::uint32_t w, std::uint32_t h) : width(w), height(h), bytes(4 * w * h, 0x80) {}
  RawFrame frame(std::int64_t pts = 0) const {
    return {kPixelFormatBgra, {bytes.data(), width, height, 4 * std::size_t{width}}, pts};
  }
  std::uint32_t width, height;
  std::vector<std::uint8_t> bytes;
};

bool logged(const log::ScopedCapture& capture, std::string_view message) {
  for (const auto& event : capture.events()) {
    if (event.message == message) return true;
  }
  return false;
}

std::optional<log::CapturedEvent> find_event(const log::ScopedCapture& capture,
                                             std::string_view message) {
  for (const auto& event : capture.events()) {
    if (event.message == message) return event;
  }
  return std::nullopt;
}

class VideoEncoderTest : public ::testing::Test {
 protected:
  Result<std::unique_ptr<VideoEncoder>> create(const protocol::CaptureConfig& config,
                                               FakeEncoderScript script = {}) {
    factory.set_script(std::move(script));
    return VideoEncoder::create(factory, config, context);
  }

  log::ScopedCapture logs;
  FakeEncoderFactory factory;
  std::shared_ptr<EncoderOutputContext> context = std::make_shared<EncoderOutputContext>();
};

TEST_F(VideoEncoderTest, CreationSetsEveryPropertyInOrder) {
  auto encoder = create(config_of(1920, 1080, 30, 4000));
  ASSERT_TRUE(encoder) << encoder.error().display();
  ASSERT_TRUE(factory.settings());
  EXPECT_EQ(factory.settings()->width, 1920u);
  EXPECT_EQ(factory.settings()->height, 1080u);
  EXPECT_TRUE(factory.settings()->enable_hardware_acceleration);
  EXPECT_TRUE(factory.prepared());
  EXPECT_THAT(factory.properties(),
              ElementsAre(Pair(P::kRealTime, PropertyValue(true)),
                          Pair(P::kExpectedFrameRate, PropertyValue(std::int32_t{30})),
                          Pair(P::kPrioritizeEncodingSpeedOverQuality, PropertyValue(false)),
                          Pair(P::kAllowFrameReordering, PropertyValue(false)),
                          Pair(P::kQuality, PropertyValue(0.9)),
                          Pair(P::kDataRateLimits, PropertyValue(DataRateLimit{1000000, 1.0})),
                          Pair(P::kMaxAllowedFrameQP, PropertyValue(std::int32_t{20})),
                          Pair(P::kColorPrimaries, PropertyValue(ColorPrimaries::kItuR709)),
                          Pair(P::kTransferFunction, PropertyValue(TransferFunction::kSrgb)),
                          Pair(P::kYCbCrMatrix, PropertyValue(YCbCrMatrix::kItuR709)),
                          Pair(P::kMaxKeyFrameInterval, PropertyValue(std::int32_t{450})),
                          Pair(P::kProfileLevel, PropertyValue(ProfileLevel::kH264HighAutoLevel))));
  const auto applied = find_event(logs, "VideoToolbox rate control applied");
  ASSERT_TRUE(applied);
  EXPECT_EQ(applied->field("bitrate_kbps"), "4000");
  EXPECT_EQ(applied->field("used_quality"), "true");
  EXPECT_EQ(applied->field("max_allowed_frame_qp"), "20");
  EXPECT_EQ(applied->field("data_rate_limit_bytes"), "1000000");
}

TEST_F(VideoEncoderTest, RefusedQualityFallsBackToTheAverageBitRate) {
  struct Case {
    std::uint32_t kbps;
    std::int32_t bits_per_second;
  };
  for (const Case c : {Case{4000, 4000000}, Case{3000000, 2147483647}}) {
    FakeEncoderScript script;
    script.rejected[P::kQuality] = encoder_status::kPropertyNotSupported;
    auto encoder = create(config_of(640, 480, 30, c.kbps), script);
    ASSERT_TRUE(encoder) << encoder.error().display();
    EXPECT_EQ(factory.property(P::kAverageBitRate), PropertyValue(c.bits_per_second));
    EXPECT_TRUE(logged(logs, "VideoToolbox Quality rejected; falling back to AverageBitRate"));
    EXPECT_EQ(find_event(logs, "VideoToolbox rate control applied")->field("used_quality"),
              "false");
    logs.clear();
  }
}

TEST_F(VideoEncoderTest, RefusingQualityAndAverageBitRateFailsCreation) {
  FakeEncoderScript script;
  script.rejected[P::kQuality] = encoder_status::kPropertyNotSupported;
  script.rejected[P::kAverageBitRate] = encoder_status::kParameterError;
  auto encoder = create(config_of(640, 480, 30, 4000), script);
  ASSERT_FALSE(encoder);
  EXPECT_EQ(encoder.error().display(), "invalid message: VTSessionSetProperty failed: -12902");
  EXPECT_TRUE(factory.invalidated());
}

TEST_F(VideoEncoderTest, OptionalPropertiesAreOnlyWarnedAbout) {
  const std::pair<P, std::string_view> cases[] = {
      {P::kDataRateLimits, "VideoToolbox DataRateLimits rejected"},
      {P::kMaxAllowedFrameQP, "VideoToolbox MaxAllowedFrameQP rejected"},
      {P::kColorPrimaries, "VideoToolbox ColorPrimaries rejected"},
      {P::kTransferFunction, "VideoToolbox TransferFunction rejected"},
      {P::kYCbCrMatrix, "VideoToolbox YCbCrMatrix rejected"},
  };
  for (const auto& [property, warning] : cases) {
    FakeEncoderScript script;
    script.rejected[property] = encoder_status::kPropertyNotSupported;
    auto encoder = create(config_of(640, 480, 30, 4000), script);
    ASSERT_TRUE(encoder) << property_name(property);
    const auto event = find_event(logs, warning);
    ASSERT_TRUE(event) << warning;
    EXPECT_EQ(event->level, log::Level::kWarn);
    EXPECT_EQ(event->field("error"), "-12900");
    logs.clear();
  }
  EXPECT_EQ(find_event(logs, "x"), std::nullopt);
}

TEST_F(VideoEncoderTest, RequiredPropertiesEndCreation) {
  for (const P property :
       {P::kRealTime, P::kExpectedFrameRate, P::kPrioritizeEncodingSpeedOverQuality,
        P::kAllowFrameReordering, P::kMaxKeyFrameInterval, P::kProfileLevel}) {
    FakeEncoderScript script;
    script.rejected[property] = encoder_status::kPropertyNotSupported;
    auto encoder = create(config_of(640, 480, 30, 4000), script);
    ASSERT_FALSE(encoder) << property_name(property);
    EXPECT_EQ(encoder.error().display(), "invalid message: VTSessionSetProperty failed: -12900");
    EXPECT_TRUE(factory.invalidated());
    EXPECT_FALSE(factory.prepared());
  }
}

TEST_F(VideoEncoderTest, CreateAndPrepareFailuresAreRecorded) {
  struct Case {
    FakeEncoderScript script;
    std::string_view error;
    std::string_view detail;
  };
  FakeEncoderScript create_fails;
  create_fails.create_status = encoder_status::kAllocationFailed;
  FakeEncoderScript prepare_fails;
  prepare_fails.prepare_status = encoder_status::kEncoderFailed;
  const Case cases[] = {
      {create_fails, "invalid message: VTCompressionSessionCreate failed: -12904",
       "VTCompressionSessionCreate failed"},
      {prepare_fails, "invalid message: VTCompressionSessionPrepareToEncodeFrames failed: -12911",
       "VTCompressionSessionPrepareToEncodeFrames failed"},
  };
  for (const Case& c : cases) {
    auto encoder = create(config_of(640, 480, 30, 4000), c.script);
    ASSERT_FALSE(encoder);
    EXPECT_EQ(encoder.error().display(), c.error);
    const auto record = context->counters.last_vt_error.get();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->domain, "VideoToolbox");
    EXPECT_EQ(record->code,
              c.script.create_status != 0 ? c.script.create_status : c.script.prepare_status);
    EXPECT_EQ(record->detail, std::string(c.detail));
    EXPECT_GT(record->observed_unix_ms, 0u);
  }
}

TEST_F(VideoEncoderTest, AnOddSizeTooSmallForAnEvenPictureFailsCreation) {
  auto encoder = create(config_of(1, 480, 30, 4000));
  ASSERT_FALSE(encoder);
  EXPECT_EQ(encoder.error().display(),
            "invalid message: VTCompressionSessionCreate failed: -12902");
}

TEST_F(VideoEncoderTest, ConfigurationIsValidatedFirstRuleFirst) {
  const std::pair<protocol::CaptureConfig, std::string_view> cases[] = {
      {config_of(0, 480, 0, 4000), "invalid message: capture width and height must be non-zero"},
      {config_of(640, 0, 30, 4000), "invalid message: capture width and height must be non-zero"},
      {config_of(640, 480, 0, 4000), "invalid message: capture fps must be 1..=120"},
      {config_of(640, 480, 121, 4000), "invalid message: capture fps must be 1..=120"},
      {config_of(640, 480, 30, 0), "invalid message: capture bitrate must be non-zero"},
  };
  for (const auto& [config, text] : cases) {
    auto encoder = create(config);
    ASSERT_FALSE(encoder);
    EXPECT_EQ(encoder.error().display(), text);
  }
  EXPECT_TRUE(create(config_of(640, 480, 120, 1)));
}

TEST_F(VideoEncoderTest, BaseQpAnswersChooseTheFrameOptions) {
  using A = FakeEncoderScript::BaseQpAnswer;
  struct Case {
    A answer;
    bool used;
    std::string_view message;
  };
  const Case cases[] = {
      {A::kSupported, true,
       "VideoToolbox BaseFrameQP supported; using per-frame QP constant quality"},
      {A::kUnsupported, false,
       "VideoToolbox encoder does not support BaseFrameQP; falling back to AverageBitRate ABR "
       "rate control"},
      {A::kNoValue, false,
       "VideoToolbox BaseFrameQP support query returned no value; falling back to AverageBitRate "
       "ABR rate control"},
      {A::kQueryFails, false,
       "VideoToolbox BaseFrameQP support query failed; falling back to AverageBitRate ABR rate "
       "control"},
  };
  for (const Case& c : cases) {
    FakeEncoderFactory fresh;
    FakeEncoderScript script;
    script.base_qp = c.answer;
    fresh.set_script(script);
    auto encoder = VideoEncoder::create(fresh, config_of(64, 64, 30, 4000), context);
    ASSERT_TRUE(encoder);
    EXPECT_EQ((*encoder)->uses_base_frame_qp(), c.used);
    EXPECT_TRUE(logged(logs, c.message)) << c.message;
    Picture picture(64, 64);
    ASSERT_TRUE((*encoder)->encode_frame(picture.frame(), false));
    const auto frames = fresh.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].options.base_frame_qp, c.used ? std::optional(22.0) : std::nullopt);
    logs.clear();
  }
}

TEST_F(VideoEncoderTest, EncodesAndCountsFramesAndForcesKeyFrames) {
  auto encoder = create(config_of(64, 48, 30, 4000));
  ASSERT_TRUE(encoder);
  Picture picture(64, 48);
  ASSERT_TRUE((*encoder)->encode_frame(picture.frame(1000), true));
  ASSERT_TRUE((*encoder)->encode_frame(picture.frame(2000), false));
  const auto frames = factory.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].options.force_key_frame);
  EXPECT_FALSE(frames[1].options.force_key_frame);
  EXPECT_EQ(frames[1].pts_us, 2000);
  EXPECT_EQ(context->counters.vt_submit_ok.load(), 2u);
  EXPECT_EQ(context->counters.vt_output_ok.load(), 2u);
  EXPECT_EQ(context->queue.size(), 2u);
  // Pictures come from the pool: two frames, one allocation. Sharpening
  // happens on the way into the picture and takes no BGRA copy.
  EXPECT_EQ((*encoder)->pictures().nv12_buffers().allocations(), 1u);
  EXPECT_EQ((*encoder)->pictures().bgra_buffers().allocations(), 0u);
}

TEST_F(VideoEncoderTest, OddFramesAreEncodedAtTheEvenSizeInsideThem) {
  auto encoder = create(config_of(1919, 1081, 30, 4000));
  ASSERT_TRUE(encoder);
  EXPECT_EQ(factory.settings()->width, 1918u);
  EXPECT_EQ(factory.settings()->height, 1080u);
  Picture picture(1919, 1081);
  ASSERT_TRUE((*encoder)->encode_frame(picture.frame(), false));
  EXPECT_EQ(factory.frames().at(0).width, 1918u);
  EXPECT_EQ(factory.frames().at(0).height, 1080u);
}

TEST_F(VideoEncoderTest, UnusableFramesAreRefused) {
  auto encoder = create(config_of(64, 48, 30, 4000));
  ASSERT_TRUE(encoder);
  Picture good(64, 48), thin(1, 48), other(32, 48);
  RawFrame nv12 = good.frame();
  nv12.pixel_format = fourcc('4', '2', '0', 'f');
  const std::pair<RawFrame, std::string_view> cases[] = {
      {nv12, "invalid message: expected BGRA capture pixel format, got 34323066"},
      {thin.frame(), "invalid message: BGRA capture size 1x48 is not a valid even NV12 size"},
      {other.frame(),
       "invalid message: BGRA capture size 32x48 does not match the encoder size 64x48"},
  };
  for (const auto& [frame, text] : cases) {
    auto result = (*encoder)->encode_frame(frame, false);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), text);
  }
  EXPECT_TRUE(factory.frames().empty());
}

TEST_F(VideoEncoderTest, SubmitFailuresAndDropsAreCounted) {
  auto encoder = create(config_of(64, 48, 30, 4000));
  ASSERT_TRUE(encoder);
  Picture picture(64, 48);
  FakeEncoderScript script;
  script.drop_on_submit = true;
  factory.set_script(script);
  ASSERT_TRUE((*encoder)->encode_frame(picture.frame(), false));
  EXPECT_EQ(context->counters.vt_output_dropped.load(), 1u);
  script = {};
  script.encode_status = encoder_status::kEncoderFailed;
  factory.set_script(script);
  auto failed = (*encoder)->encode_frame(picture.frame(), false);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(),
            "invalid message: VTCompressionSessionEncodeFrame failed: -12911");
  EXPECT_EQ(context->counters.vt_submit_ok.load(), 1u);
  EXPECT_EQ(context->counters.vt_submit_error.load(), 1u);
  EXPECT_EQ(context->counters.last_vt_error.get()->detail,
            "VTCompressionSessionEncodeFrame failed");
}

TEST_F(VideoEncoderTest, SharpeningCanBeTurnedOffForMeasurements) {
  // A bright dot on grey: sharpening lifts it further.
  Picture picture(8, 8);
  for (int c = 0; c < 3; ++c) picture.bytes[static_cast<std::size_t>(c)] = 0xC0;
  auto sharp = create(config_of(8, 8, 30, 4000));
  ASSERT_TRUE(sharp);
  ASSERT_TRUE((*sharp)->encode_frame(picture.frame(), false));
  auto plain = VideoEncoder::create(factory, config_of(8, 8, 30, 4000), context,
                                    VideoEncoderOptions{.sharpen = false});
  ASSERT_TRUE(plain);
  ASSERT_TRUE((*plain)->encode_frame(picture.frame(), false));
  const auto luma = factory.first_luma_bytes();
  ASSERT_EQ(luma.size(), 2u);
  EXPECT_EQ(luma[1], 0xC0);
  EXPECT_GT(luma[0], luma[1]);
}

TEST_F(VideoEncoderTest, TearDownDeliversHeldOutputBeforeInvalidating) {
  FakeEncoderScript script;
  script.hold_output = true;
  auto encoder = create(config_of(64, 48, 30, 4000), script);
  ASSERT_TRUE(encoder);
  Picture picture(64, 48);
  ASSERT_TRUE((*encoder)->encode_frame(picture.frame(), false));
  ASSERT_TRUE((*encoder)->encode_frame(picture.frame(), false));
  EXPECT_EQ(context->queue.size(), 0u);
  // One output arrives from another thread, as a hardware encoder's would.
  std::thread([&] { factory.release_held_output(); }).join();
  EXPECT_EQ(context->queue.size(), 2u);
  ASSERT_TRUE((*encoder)->encode_frame(picture.frame(), false));
  (*encoder)->tear_down();
  EXPECT_EQ(context->queue.size(), 3u);
  EXPECT_TRUE(factory.invalidated());
  auto after = (*encoder)->encode_frame(picture.frame(), false);
  EXPECT_FALSE(after);
}

TEST_F(VideoEncoderTest, BitRateUpdateReappliesRateControlAndAsksForAKeyFrame) {
  auto encoder = create(config_of(640, 480, 30, 4000));
  ASSERT_TRUE(encoder);
  context->flags.request.store(false);
  const std::size_t before = factory.properties().size();
  ASSERT_TRUE((*encoder)->apply_bitrate_update(config_of(640, 480, 30, 4000)));
  EXPECT_TRUE(context->flags.request.exchange(false));
  EXPECT_EQ(factory.properties().size(), before);

  ASSERT_TRUE((*encoder)->apply_bitrate_update(config_of(640, 480, 30, 8000)));
  EXPECT_TRUE(context->flags.request.load());
  EXPECT_EQ(factory.property(P::kDataRateLimits), PropertyValue(DataRateLimit{2000000, 1.0}));
  EXPECT_EQ(factory.properties().back().first, P::kMaxKeyFrameInterval);
  EXPECT_EQ((*encoder)->config().bitrate_kbps, 8000u);
}

TEST_F(VideoEncoderTest, BitRateUpdateOfTheSameWindowKeepsItsSize) {
  protocol::CaptureConfig window = config_of(640, 480, 30, 4000);
  window.window_id = 7;
  auto encoder = create(window);
  ASSERT_TRUE(encoder);
  protocol::CaptureConfig request = config_of(1, 1, 30, 5000);
  request.window_id = 7;
  ASSERT_TRUE((*encoder)->apply_bitrate_update(request));
  EXPECT_EQ((*encoder)->config().width, 640u);
  EXPECT_EQ((*encoder)->config().height, 480u);
  EXPECT_EQ((*encoder)->config().bitrate_kbps, 5000u);
}

TEST_F(VideoEncoderTest, InPlaceReconfigurationAsksForAKeyFrameOnlyForANewFrameRate) {
  auto encoder = create(config_of(640, 480, 30, 4000));
  ASSERT_TRUE(encoder);
  context->flags.request.store(false);
  ASSERT_TRUE((*encoder)->reconfigure_in_place(config_of(640, 480, 30, 6000)));
  EXPECT_FALSE(context->flags.request.load());
  ASSERT_TRUE((*encoder)->reconfigure_in_place(config_of(640, 480, 60, 6000)));
  EXPECT_TRUE(context->flags.request.load());
  EXPECT_EQ(factory.property(P::kMaxKeyFrameInterval), PropertyValue(std::int32_t{900}));
}

TEST(EncoderConfig, DerivedValues) {
  EXPECT_EQ(key_frame_interval(30), 450);
  EXPECT_EQ(key_frame_interval(143165576), 2147483640);
  EXPECT_EQ(key_frame_interval(143165577), -1);
  EXPECT_EQ(average_bit_rate(4000), 4000000);
  EXPECT_EQ(average_bit_rate(3000000), 2147483647);
  EXPECT_EQ(data_rate_limit_bytes(4000), 1000000);
  EXPECT_EQ(data_rate_limit_bytes(4294967295u), 1073741823750);
}

class OutputAccountingTest : public ::testing::Test {
 protected:
  static EncodedSample sample() { return {{0, 0, 0, 1, 0x41}, 4, {}, 0}; }
  EncoderOutputContext context{2};
};

TEST_F(OutputAccountingTest, CountsEachKindOfOutput) {
  handle_encoder_output(context, encoder_status::kOk, 0, sample());
  handle_encoder_output(context, encoder_status::kOk, encode_info::kFrameDropped, std::nullopt);
  handle_encoder_output(context, encoder_status::kEncoderFailed, 0, std::nullopt);
  EXPECT_EQ(context.counters.last_vt_error.get()->detail, "VT output callback failed");
  EXPECT_EQ(context.counters.last_vt_error.get()->code, encoder_status::kEncoderFailed);
  handle_encoder_output(context, encoder_status::kOk, 0, std::nullopt);
  EXPECT_EQ(context.counters.last_vt_error.get()->detail,
            "VT output callback returned no sample buffer");
  EXPECT_EQ(context.counters.vt_output_ok.load(), 1u);
  EXPECT_EQ(context.counters.vt_output_dropped.load(), 1u);
  EXPECT_EQ(context.counters.vt_output_error.load(), 2u);
  EXPECT_EQ(context.activity.running(), 0u);
}

TEST_F(OutputAccountingTest, OverflowDropsTheOldestAndAsksForAKeyFrame) {
  context.flags.request.store(false);
  handle_encoder_output(context, encoder_status::kOk, 0, sample());
  handle_encoder_output(context, encoder_status::kOk, 0, sample());
  handle_encoder_output(context, encoder_status::kOk, 0, sample());
  EXPECT_EQ(context.counters.encoded_queue_overflows.load(), 1u);
  EXPECT_TRUE(context.flags.request.load());
  const EncodedBatch batch = context.queue.take_all();
  EXPECT_EQ(batch.samples.size(), 2u);
  EXPECT_TRUE(batch.lost_before);
  EXPECT_FALSE(context.queue.take_all().lost_before);
}

TEST_F(OutputAccountingTest, TearDownWaitsForARunningOutputCall) {
  context.activity.enter();
  auto waited = std::async(std::launch::async, [&] { context.activity.wait_idle(); });
  EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  context.activity.leave();
  waited.get();
  context.activity.leave();  // an unmatched leave stays at zero
  EXPECT_EQ(context.activity.running(), 0u);
}

TEST_F(OutputAccountingTest, AClosedQueueTakesNoMore) {
  handle_encoder_output(context, encoder_status::kOk, 0, sample());
  context.queue.close();
  handle_encoder_output(context, encoder_status::kOk, 0, sample());
  EXPECT_EQ(context.queue.size(), 0u);
  EXPECT_EQ(context.counters.encoded_queue_overflows.load(), 0u);
}

}  // namespace
}  // namespace kivo::video
