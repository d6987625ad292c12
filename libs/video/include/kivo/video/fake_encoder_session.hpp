// A scripted encoder for tests of the encoding stage and of the pipeline
// built on it: it refuses chosen properties, answers the base-QP question as
// told, fails creation, preparation or encodes on request, drops frames, and
// can hold its output back until the test releases it (from any thread), as
// an asynchronous hardware encoder does.
//
// Its samples are tiny but well-formed AVCC access units: an IDR slice (NAL
// type 5) for key frames, a non-IDR slice (type 1) otherwise, each behind a
// 4-byte length, with one SPS and one PPS as parameter sets.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "kivo/video/video_encoder_session.hpp"

namespace kivo::video {

struct FakeEncoderScript {
  enum class BaseQpAnswer : std::uint8_t { kSupported, kUnsupported, kNoValue, kQueryFails };

  EncoderStatus create_status = encoder_status::kOk;
  std::map<EncoderProperty, EncoderStatus> rejected;
  BaseQpAnswer base_qp = BaseQpAnswer::kUnsupported;
  EncoderStatus prepare_status = encoder_status::kOk;
  EncoderStatus encode_status = encoder_status::kOk;
  // Submits succeed but report the frame as dropped.
  bool drop_on_submit = false;
  // The output call reports this status instead of a sample.
  EncoderStatus output_status = encoder_status::kOk;
  bool output_without_sample = false;
  // Outputs wait for release_held_output() or complete_frames().
  bool hold_output = false;
  // Key frames carry their SPS and PPS in the access unit too.
  bool in_band_parameter_sets = false;
};

class FakeEncoderFactory : public VideoEncoderFactory {
 public:
  static const std::vector<std::uint8_t>& sps();
  static const std::vector<std::uint8_t>& pps();

  FakeEncoderFactory();

  EncoderStatus create_session(const EncoderSessionSettings& settings, EncoderOutput output,
                               std::unique_ptr<VideoEncoderSession>& session) override;

  // Changes the script; affects the live session too.
  void set_script(FakeEncoderScript script);

  struct SubmittedFrame {
    std::uint32_t width;
    std::uint32_t height;
    std::int64_t pts_us;
    FrameOptions options;
    bool key_frame;
  };
  std::optional<EncoderSessionSettings> settings() const;
  std::vector<std::pair<EncoderProperty, PropertyValue>> properties() const;
  // The last value set (and accepted) for `property`.
  std::optional<PropertyValue> property(EncoderProperty property) const;
  std::vector<SubmittedFrame> frames() const;
  // The first luma byte of each submitted picture, to see what was encoded.
  std::vector<std::uint8_t> first_luma_bytes() const;
  bool prepared() const;
  bool invalidated() const;
  std::size_t held_outputs() const;

  // Delivers the held outputs on the calling thread; returns how many.
  std::size_t release_held_output();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kivo::video
