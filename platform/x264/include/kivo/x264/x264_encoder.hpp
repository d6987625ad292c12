// H.264 encoding with libx264 behind the video encoder session port.
//
// The session is tuned for live screen streaming: no frame reordering (no
// B-frames), no lookahead, sliced threads, so each submitted picture comes
// out of encode_frame at once; High profile with the level chosen by x264;
// no scene-cut key frames, so key frames come from the interval and from
// requests (a requested key frame is an IDR). Output is length-prefixed
// (4-byte) NAL units with SPS and PPS kept out of the access units and handed
// over as parameter sets. The colour description is signalled in the VUI as
// BT.709 primaries and matrix, sRGB transfer, full range.
#pragma once

#include <memory>
#include <string>

#include "kivo/video/video_encoder_session.hpp"

namespace kivo::x264 {

// The speed preset and the rate factor that quality 0.9 stands for, chosen on
// the screen-content corpus of bench/video_encode_vs_ffmpeg.sh (1080p30, 2
// cores). At equal PSNR, "veryfast" needs about 6% fewer bytes than
// "superfast" and 19% fewer than "ultrafast", and 1080p at 30 fps takes under
// half of one core; "faster" saves about 5% more at 45% more CPU, too much
// for 60 fps on a small machine. Below CRF 20 the
// bytes grow with no gain in PSNR (the QP ceiling of 20 already bounds the
// quality); above it the PSNR drops.
inline constexpr const char* kPreset = "veryfast";
inline constexpr double kQualityCrf = 20.0;

struct X264Tuning {
  std::string preset = kPreset;
  double quality_crf = kQualityCrf;
  // 0: as many threads as x264 finds useful.
  int threads = 0;
};

// The constant rate factor for a quality in 0..1: 0 maps to 51, 0.9 to
// `quality_crf`, 1 to 0, linearly in between.
double crf_for_quality(double quality, double quality_crf);

class X264EncoderFactory : public video::VideoEncoderFactory {
 public:
  explicit X264EncoderFactory(X264Tuning tuning = {});

  video::EncoderStatus create_session(
      const video::EncoderSessionSettings& settings, video::EncoderOutput output,
      std::unique_ptr<video::VideoEncoderSession>& session) override;

 private:
  X264Tuning tuning_;
};

}  // namespace kivo::x264
