#include "kivo/video/video_emitter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/core/log.hpp"

namespace kivo::video {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kSps{0x67, 0x64, 0x00, 0x1F};
const Bytes kPps{0x68, 0xEE, 0x3C};

Bytes avcc(std::initializer_list<Bytes> nals) {
  Bytes out;
  for (const Bytes& nal : nals) {
    const auto n = static_cast<std::uint32_t>(nal.size());
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<std::uint8_t>(n >> shift));
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

// One encoded sample, described by a letter:
//   K  key frame, parameter sets kept apart (as encoders hand them out)
//   B  key frame with SPS and PPS in band
//   X  key frame and no parameter sets at all
//   P  non-key frame
// and a number for telling them apart in the output.
EncodedSample sample(char kind, std::uint8_t id) {
  EncodedSample s;
  s.nal_length_size = 4;
  s.parameter_sets = {kSps, kPps};
  switch (kind) {
    case 'K':
      s.data = avcc({{0x65, id}});
      break;
    case 'B':
      s.data = avcc({kSps, kPps, {0x65, id}});
      break;
    case 'X':
      s.data = avcc({{0x65, id}});
      s.parameter_sets.clear();
      break;
    default:
      s.data = avcc({{0x41, id}});
      break;
  }
  return s;
}

// The letters and ids of the emitted frames, e.g. "K1 P2".
std::string describe(const std::vector<EncodedVideoFrame>& frames) {
  std::string text;
  for (const auto& frame : frames) {
    if (!text.empty()) text += ' ';
    text += frame.key_frame ? 'K' : 'P';
    text += std::to_string(frame.data.back());
  }
  return text;
}

class VideoEmitterTest : public ::testing::Test {
 protected:
  VideoEmitterTest() { context->flags.request.store(false); }

  void queue(std::string_view kinds) {
    std::uint8_t id = 1;
    for (const char kind : kinds) {
      if (kind == ' ') continue;
      ASSERT_TRUE(context->queue.push(sample(kind, id++)));
    }
  }

  Result<DrainOutcome> drain(std::uint64_t epoch = 3) {
    return emitter.drain(epoch, [this](EncodedVideoFrame frame) {
      sent.push_back(std::move(frame));
      return receiver_alive;
    });
  }

  std::shared_ptr<EncoderOutputContext> context = std::make_shared<EncoderOutputContext>(8);
  std::chrono::steady_clock::time_point now{};
  VideoEmitter emitter{context, [this] { return now; }};
  std::vector<EncodedVideoFrame> sent;
  bool receiver_alive = true;
};

TEST_F(VideoEmitterTest, TheKeyFrameGateIsDecidedFrameByFrame) {
  struct Case {
    std::string_view queued;
    bool awaiting;
    std::string_view emitted;
    bool awaiting_after;
    bool key_frame_requested;
  };
  const Case cases[] = {
      {"KPP", false, "K1 P2 P3", false, false},
      {"PPKPP", false, "P1 P2 K3 P4 P5", false, false},
      // Waiting for a key frame: the P-frames after it in the same drain go.
      {"PPKPP", true, "K3 P4 P5", false, false},
      {"PP", true, "", true, false},
      // A key frame no decoder can start from is dropped, closes the gate and
      // asks for a new key frame.
      {"KPXPP", false, "K1 P2", true, true},
      {"XPBP", false, "K3 P4", false, true},
  };
  for (const Case& c : cases) {
    sent.clear();
    context->flags.awaiting.store(c.awaiting);
    context->flags.request.store(false);
    queue(c.queued);
    ASSERT_EQ(drain().value(), DrainOutcome::kDrained);
    EXPECT_EQ(describe(sent), c.emitted) << c.queued;
    EXPECT_EQ(context->flags.awaiting.load(), c.awaiting_after) << c.queued;
    EXPECT_EQ(context->flags.request.load(), c.key_frame_requested) << c.queued;
  }
}

TEST_F(VideoEmitterTest, KeyFramesGetTheirParameterSetsInFront) {
  queue("KB");
  ASSERT_TRUE(drain());
  ASSERT_EQ(sent.size(), 2u);
  const Bytes expected{0, 0,    0,    1,    0x67, 0x64, 0x00, 0x1F, 0,    0,   0,
                       1, 0x68, 0xEE, 0x3C, 0,    0,    0,    1,    0x65, 0x01};
  EXPECT_EQ(sent[0].data, expected);
  EXPECT_EQ(sent[0].stream_epoch, 3u);
  // In-band sets are not repeated.
  EXPECT_EQ(sent[1].data.size(), expected.size());
}

TEST_F(VideoEmitterTest, AnOverflowHoldsFramesBackUntilAKeyFrame) {
  queue("KPPPPPPP");
  EncoderOutputContext& shared = *context;
  handle_encoder_output(shared, 0, 0, sample('P', 9));  // the oldest, K1, is lost
  EXPECT_TRUE(shared.flags.request.load());
  ASSERT_TRUE(drain());
  EXPECT_EQ(describe(sent), "");
  sent.clear();
  queue("PK P");
  ASSERT_TRUE(drain());
  EXPECT_EQ(describe(sent), "K2 P3");
  EXPECT_EQ(shared.counters.annexb_emitted_frames.load(), 2u);
  EXPECT_EQ(shared.counters.annexb_emitted_keyframes.load(), 1u);
}

TEST_F(VideoEmitterTest, CountsOnlySentFramesAndStopsWhenTheReceiverIsGone) {
  queue("KPP");
  receiver_alive = false;
  ASSERT_EQ(drain().value(), DrainOutcome::kReceiverGone);
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_EQ(context->counters.annexb_emitted_frames.load(), 0u);
  EXPECT_EQ(context->queue.size(), 0u);
}

TEST_F(VideoEmitterTest, ConversionFaultsEndTheDrain) {
  struct Case {
    EncodedSample sample;
    std::string_view error;
  };
  EncodedSample bad_length = sample('P', 1);
  bad_length.nal_length_size = 5;
  EncodedSample bad_layout = sample('P', 1);
  bad_layout.data[3] = 9;
  const Case cases[] = {
      {bad_length, "invalid message: invalid H.264 NAL length size"},
      {bad_layout, "invalid message: avcc to annexb failed: invalid NAL layout"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(context->queue.push(c.sample));
    ASSERT_TRUE(context->queue.push(sample('P', 2)));
    auto result = drain();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), c.error);
    EXPECT_EQ(context->queue.size(), 0u);
  }
  EXPECT_TRUE(sent.empty());
}

TEST_F(VideoEmitterTest, EmptySamplesAreSkipped) {
  EncodedSample empty;
  ASSERT_TRUE(context->queue.push(empty));
  queue("K");
  ASSERT_TRUE(drain());
  EXPECT_EQ(describe(sent), "K1");
}

TEST_F(VideoEmitterTest, LogsTheMeasuredBitRateEveryTwoSeconds) {
  log::ScopedCapture logs;
  const std::size_t key_bytes = to_access_unit(sample('K', 1))->data.size();
  queue("K");
  ASSERT_TRUE(drain());
  now += std::chrono::milliseconds(1999);
  queue("K");
  ASSERT_TRUE(drain());
  EXPECT_TRUE(logs.events().empty());
  now += std::chrono::milliseconds(1);
  queue("K");
  ASSERT_TRUE(drain());
  const auto events = logs.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "actual encoded bitrate");
  EXPECT_EQ(events[0].field("encoded_bytes"), std::to_string(3 * key_bytes));
  EXPECT_EQ(events[0].field("elapsed_secs"), "2");
  EXPECT_EQ(events[0].field("actual_bitrate_kbps"),
            fmt::to_string(static_cast<double>(3 * key_bytes) * 8.0 / 2.0 / 1000.0));
}

TEST(CaptureEpochGate, EachEpochStartsAtSequenceZeroOnAKeyFrame) {
  CaptureEpochGate gate;
  struct Step {
    std::uint64_t epoch;
    bool key;
    std::optional<std::uint64_t> sequence;
  };
  const Step steps[] = {
      {1, false, std::nullopt}, {1, true, 0}, {1, false, 1}, {1, true, 2}, {2, false, std::nullopt},
      {2, false, std::nullopt}, {2, true, 0}, {2, false, 1}, {1, true, 0},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(gate.admit(step.epoch, step.key), step.sequence)
        << "epoch " << step.epoch << (step.key ? " key" : "");
  }
}

}  // namespace
}  // namespace kivo::video
