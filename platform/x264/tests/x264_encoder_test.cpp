#include "kivo/x264/x264_encoder.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kivo/core/log.hpp"
#include "kivo/testing/temp_dir.hpp"
#include "kivo/video/annexb.hpp"
#include "kivo/video/video_emitter.hpp"
#include "kivo/video/video_encoder.hpp"

namespace kivo::x264 {
namespace {

using video::EncoderProperty;
namespace status = video::encoder_status;

protocol::CaptureConfig config_of(std::uint32_t width, std::uint32_t height, std::uint32_t fps) {
  protocol::CaptureConfig config;
  config.width = width;
  config.height = height;
  config.fps = fps;
  config.bitrate_kbps = 2000;
  return config;
}

// A frame with a moving gradient and some texture, so that every frame has
// something to code.
std::vector<std::uint8_t> frame_pixels(std::uint32_t width, std::uint32_t height, std::uint32_t n) {
  std::vector<std::uint8_t> bytes(4 * std::size_t{width} * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = &bytes[4 * (std::size_t{y} * width + x)];
      p[0] = static_cast<std::uint8_t>(x * 3 + n * 7);
      p[1] = static_cast<std::uint8_t>(y * 5 + n * 3);
      p[2] = static_cast<std::uint8_t>(((x / 8 + y / 8 + n) % 2) * 200);
      p[3] = 255;
    }
  }
  return bytes;
}

std::optional<std::string> run(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return out;
}

bool have_ffprobe() {
  return std::system("command -v ffprobe > /dev/null 2>&1") == 0;
}

std::map<std::string, std::string> key_values(const std::string& text) {
  std::map<std::string, std::string> values;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (const auto eq = line.find('='); eq != std::string::npos) {
      values.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    start = end + 1;
  }
  return values;
}

// Encodes `count` frames through the whole encoding stage (sharpening,
// conversion, x264, Annex B), forcing a key frame at the given indices.
struct EncodedRun {
  std::vector<video::EncodedVideoFrame> frames;
  video::EncodedSize size;
};

EncodedRun encode(const protocol::CaptureConfig& config, std::uint32_t count,
                  const std::set<std::uint32_t>& forced) {
  X264EncoderFactory factory;
  auto context = std::make_shared<video::EncoderOutputContext>();
  auto encoder = video::VideoEncoder::create(factory, config, context);
  EXPECT_TRUE(encoder) << encoder.error().display();
  video::VideoEmitter emitter(context);
  EncodedRun result;
  if (!encoder) return result;
  result.size = (*encoder)->encoded_size();
  for (std::uint32_t n = 0; n < count; ++n) {
    const auto pixels = frame_pixels(config.width, config.height, n);
    const video::RawFrame frame{
        video::kPixelFormatBgra,
        {pixels.data(), config.width, config.height, 4 * std::size_t{config.width}},
        std::int64_t{n} * 1000000 / config.fps};
    const bool force = context->flags.request.exchange(false) || forced.count(n) != 0;
    auto submitted = (*encoder)->encode_frame(frame, force);
    EXPECT_TRUE(submitted) << submitted.error().display();
    auto drained = emitter.drain(0, [&](video::EncodedVideoFrame f) {
      result.frames.push_back(std::move(f));
      return true;
    });
    EXPECT_TRUE(drained);
  }
  (*encoder)->tear_down();
  auto drained = emitter.drain(0, [&](video::EncodedVideoFrame f) {
    result.frames.push_back(std::move(f));
    return true;
  });
  EXPECT_TRUE(drained);
  return result;
}

TEST(X264Encoder, KeyFramesComeAtTheIntervalAndOnRequestAsIdrWithParameterSets) {
  // 2 fps: a key frame every 30 frames; one forced at frame 5 restarts the count.
  const EncodedRun run_ = encode(config_of(160, 96, 2), 40, {5});
  ASSERT_EQ(run_.frames.size(), 40u);
  std::vector<std::uint32_t> key_frames;
  for (std::uint32_t n = 0; n < run_.frames.size(); ++n) {
    const video::NalSummary summary = video::scan_annexb(run_.frames[n].data);
    EXPECT_EQ(summary.key_frame, run_.frames[n].key_frame);
    // Parameter sets travel in front of key frames only.
    EXPECT_EQ(summary.has_sps, summary.key_frame) << n;
    EXPECT_EQ(summary.has_pps, summary.key_frame) << n;
    if (summary.key_frame) key_frames.push_back(n);
  }
  EXPECT_EQ(key_frames, (std::vector<std::uint32_t>{0, 5, 35}));
}

TEST(X264Encoder, TheStreamDecodesAsHighProfileWithItsColourDescription) {
  if (!have_ffprobe()) GTEST_SKIP() << "ffprobe is not installed";
  // An odd size is encoded at the even size inside it.
  const EncodedRun encoded = encode(config_of(161, 97, 30), 12, {7});
  ASSERT_EQ(encoded.frames.size(), 12u);
  EXPECT_EQ(encoded.size, (video::EncodedSize{160, 96}));
  testing::TempDir dir;
  const auto path = dir / "stream.h264";
  {
    std::ofstream out(path, std::ios::binary);
    for (const auto& frame : encoded.frames) {
      out.write(reinterpret_cast<const char*>(frame.data.data()),
                static_cast<std::streamsize>(frame.data.size()));
    }
  }
  const auto streams =
      run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
          "stream=codec_name,profile,width,height,has_b_frames,color_range,color_space,"
          "color_transfer,color_primaries,nb_read_frames -of default=nw=1 '" +
          path.string() + "'");
  ASSERT_TRUE(streams) << "ffprobe failed on the stream";
  const auto values = key_values(*streams);
  EXPECT_EQ(values.at("codec_name"), "h264");
  EXPECT_EQ(values.at("profile"), "High");
  EXPECT_EQ(values.at("width"), "160");
  EXPECT_EQ(values.at("height"), "96");
  EXPECT_EQ(values.at("has_b_frames"), "0");
  EXPECT_EQ(values.at("color_range"), "pc");
  EXPECT_EQ(values.at("color_space"), "bt709");
  EXPECT_EQ(values.at("color_transfer"), "iec61966-2-1");
  EXPECT_EQ(values.at("color_primaries"), "bt709");
  EXPECT_EQ(values.at("nb_read_frames"), "12");

  const auto frames =
      run("ffprobe -v error -select_streams v:0 -show_entries frame=pict_type,key_frame "
          "-of csv=p=0 '" +
          path.string() + "'");
  ASSERT_TRUE(frames);
  std::string expected;
  for (int n = 0; n < 12; ++n) expected += (n == 0 || n == 7) ? "1,I\n" : "0,P\n";
  EXPECT_EQ(*frames, expected);
}

TEST(X264Encoder, AccessUnitsAreLengthPrefixedWithoutRepeatedHeaders) {
  X264EncoderFactory factory;
  std::vector<video::EncodedSample> samples;
  std::unique_ptr<video::VideoEncoderSession> session;
  ASSERT_EQ(factory.create_session(
                {64, 64, true},
                [&](video::EncoderStatus s, std::uint32_t, auto sample) {
                  ASSERT_EQ(s, status::kOk);
                  samples.push_back(std::move(*sample));
                },
                session),
            status::kOk);
  ASSERT_EQ(session->prepare_to_encode_frames(), status::kOk);
  std::vector<std::uint8_t> y(64 * 64, 16), uv(64 * 32, 128);
  const video::Nv12View picture{y.data(), 64, uv.data(), 64, 64, 64};
  std::uint32_t flags = 0;
  ASSERT_EQ(session->encode_frame(picture, 0, {}, flags), status::kOk);
  ASSERT_EQ(session->encode_frame(picture, 1, {true, std::nullopt}, flags), status::kOk);
  ASSERT_EQ(samples.size(), 2u);
  for (const auto& sample : samples) {
    EXPECT_EQ(sample.nal_length_size, 4);
    ASSERT_EQ(sample.parameter_sets.size(), 2u);
    EXPECT_EQ(sample.parameter_sets[0][0] & 0x1F, video::kNalTypeSps);
    EXPECT_EQ(sample.parameter_sets[1][0] & 0x1F, video::kNalTypePps);
    auto annexb = video::avcc_to_annexb(sample.data, 4);
    ASSERT_TRUE(annexb);
    const video::NalSummary summary = video::scan_annexb(*annexb);
    EXPECT_TRUE(summary.key_frame);
    EXPECT_FALSE(summary.has_sps);
    EXPECT_FALSE(summary.has_pps);
  }
  EXPECT_EQ(samples[1].pts_us, 1);
}

TEST(X264Encoder, AnswersPropertiesAsTheStageExpects) {
  X264EncoderFactory factory;
  std::unique_ptr<video::VideoEncoderSession> session;
  ASSERT_EQ(factory.create_session(
                {64, 64, true}, [](auto, auto, auto) {}, session),
            status::kOk);
  struct Case {
    EncoderProperty property;
    video::PropertyValue value;
    video::EncoderStatus expected;
  };
  const Case cases[] = {
      {EncoderProperty::kRealTime, true, status::kOk},
      {EncoderProperty::kRealTime, false, status::kPropertyNotSupported},
      {EncoderProperty::kAllowFrameReordering, false, status::kOk},
      {EncoderProperty::kAllowFrameReordering, true, status::kPropertyNotSupported},
      {EncoderProperty::kQuality, 0.9, status::kOk},
      {EncoderProperty::kQuality, 1.5, status::kParameterError},
      {EncoderProperty::kQuality, std::int32_t{1}, status::kParameterError},
      {EncoderProperty::kAverageBitRate, std::int32_t{4000000}, status::kOk},
      {EncoderProperty::kDataRateLimits, video::DataRateLimit{1000000, 1.0}, status::kOk},
      {EncoderProperty::kDataRateLimits, video::DataRateLimit{1000000, 0.0},
       status::kParameterError},
      {EncoderProperty::kMaxAllowedFrameQP, std::int32_t{20}, status::kOk},
      {EncoderProperty::kMaxAllowedFrameQP, std::int32_t{52}, status::kParameterError},
      {EncoderProperty::kMaxKeyFrameInterval, std::int32_t{-1}, status::kOk},
      {EncoderProperty::kMaxKeyFrameInterval, std::int32_t{0}, status::kParameterError},
      {EncoderProperty::kSupportsBaseFrameQP, true, status::kPropertyReadOnly},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(session->set_property(c.property, c.value), c.expected)
        << video::property_name(c.property);
  }
  std::optional<video::PropertyValue> value;
  EXPECT_EQ(session->copy_property(EncoderProperty::kSupportsBaseFrameQP, value), status::kOk);
  EXPECT_EQ(value, video::PropertyValue(false));

  ASSERT_EQ(session->prepare_to_encode_frames(), status::kOk);
  std::vector<std::uint8_t> y(64 * 64, 16), uv(64 * 32, 128);
  std::uint32_t flags = 0;
  const video::Nv12View picture{y.data(), 64, uv.data(), 64, 64, 64};
  EXPECT_EQ(session->encode_frame(picture, 0, {false, 22.0}, flags), status::kPropertyNotSupported);
  const video::Nv12View smaller{y.data(), 64, uv.data(), 64, 32, 64};
  EXPECT_EQ(session->encode_frame(smaller, 0, {}, flags), status::kParameterError);
  // Rate control changes reach the open encoder.
  EXPECT_EQ(
      session->set_property(EncoderProperty::kDataRateLimits, video::DataRateLimit{2000000, 1.0}),
      status::kOk);
  session->invalidate();
  EXPECT_EQ(session->encode_frame(picture, 0, {}, flags), status::kInvalidSession);
}

TEST(X264Encoder, RateChangesApplyToTheOpenEncoderWithoutRefusals) {
  log::ScopedCapture logs;
  X264EncoderFactory factory;
  auto context = std::make_shared<video::EncoderOutputContext>();
  auto encoder = video::VideoEncoder::create(factory, config_of(64, 64, 30), context);
  ASSERT_TRUE(encoder);
  const auto pixels = frame_pixels(64, 64, 0);
  const video::RawFrame frame{video::kPixelFormatBgra, {pixels.data(), 64, 64, 256}, 0};
  ASSERT_TRUE((*encoder)->encode_frame(frame, true));
  logs.clear();  // creation warns that per-frame QP is not offered
  protocol::CaptureConfig faster = config_of(64, 64, 60);
  faster.bitrate_kbps = 6000;
  EXPECT_TRUE((*encoder)->apply_bitrate_update(faster));
  EXPECT_TRUE((*encoder)->reconfigure_in_place(config_of(64, 64, 30)));
  ASSERT_TRUE((*encoder)->encode_frame(frame, false));
  std::size_t applied = 0;
  for (const auto& event : logs.events()) {
    EXPECT_NE(event.level, log::Level::kWarn) << event.message;
    if (event.message == "VideoToolbox rate control applied") ++applied;
  }
  EXPECT_EQ(applied, 2u);
}

TEST(X264Encoder, RefusesSizesItCannotEncode) {
  X264EncoderFactory factory;
  for (const auto& [width, height] : {std::pair{0u, 64u}, {63u, 64u}, {64u, 65u}}) {
    std::unique_ptr<video::VideoEncoderSession> session;
    EXPECT_EQ(factory.create_session(
                  {width, height, true}, [](auto, auto, auto) {}, session),
              status::kParameterError);
    EXPECT_FALSE(session);
  }
}

TEST(X264Encoder, QualityMapsToARateFactor) {
  const std::pair<double, double> cases[] = {{0.0, 51.0}, {0.9, 20.0}, {1.0, 0.0}, {0.45, 35.5}};
  for (const auto& [quality, crf] : cases) {
    EXPECT_DOUBLE_EQ(crf_for_quality(quality, 20.0), crf) << quality;
  }
}

}  // namespace
}  // namespace kivo::x264
