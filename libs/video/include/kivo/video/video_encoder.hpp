// VideoEncoder: one encoder session for one capture configuration, run by the
// capture worker. It creates and configures the session (rate control with
// its fallbacks), turns each BGRA frame into a sharpened NV12 picture from a
// pool and submits it, and tears the session down so that no output call
// outlives it. Output goes, through handle_encoder_output, to the shared
// EncoderOutputContext.
#pragma once

#include <cstdint>
#include <memory>

#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_config.hpp"
#include "kivo/video/encoder_config.hpp"
#include "kivo/video/encoder_state.hpp"
#include "kivo/video/image.hpp"
#include "kivo/video/video_encoder_session.hpp"

namespace kivo::video {

// A captured frame as the capture source hands it over.
struct RawFrame {
  std::uint32_t pixel_format = kPixelFormatBgra;
  BgraView image;
  std::int64_t pts_us = 0;
};

struct VideoEncoderOptions {
  // The text-sharpening pass before conversion; off only for measurements.
  bool sharpen = true;
};

class VideoEncoder {
 public:
  // Validates `config`, creates the session at the largest even size inside
  // the configured one, sets its properties in order, prepares it and finds
  // out whether per-frame base QP can be used. Failures record the encoder
  // error in the context's counters.
  static Result<std::unique_ptr<VideoEncoder>> create(VideoEncoderFactory& factory,
                                                      const protocol::CaptureConfig& config,
                                                      std::shared_ptr<EncoderOutputContext> context,
                                                      VideoEncoderOptions options = {});

  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Quality mode, or average bit rate when quality is refused; then the data
  // rate limit, the QP ceiling and the colour description, whose refusals
  // are only logged.
  Result<void> apply_rate_control(const protocol::CaptureConfig& config);
  Result<void> set_key_frame_interval(std::uint32_t fps);

  // Sharpens, converts and submits one frame. Frames of an odd size are
  // encoded at the largest even size inside them; that size must be the
  // session's.
  Result<void> encode_frame(const RawFrame& frame, bool force_key_frame);

  // The worker's side of a bit-rate change: applies `requested` (keeping the
  // current size for the same window) and asks for a key frame.
  Result<void> apply_bitrate_update(const protocol::CaptureConfig& requested);
  // A new configuration of the same size: rate control and key-frame
  // interval; a new fps asks for a key frame.
  Result<void> reconfigure_in_place(const protocol::CaptureConfig& config);

  // Completes pending frames, invalidates the session and waits until no
  // output call is running. Safe to call twice; the destructor calls it.
  void tear_down();

  const protocol::CaptureConfig& config() const { return config_; }
  EncodedSize encoded_size() const { return size_; }
  bool uses_base_frame_qp() const { return use_base_frame_qp_; }
  const PicturePool& pictures() const { return pictures_; }

 private:
  VideoEncoder(const protocol::CaptureConfig& config, std::shared_ptr<EncoderOutputContext> context,
               VideoEncoderOptions options);

  Result<void> set_required(EncoderProperty property, const PropertyValue& value);
  void query_base_frame_qp();

  protocol::CaptureConfig config_;
  EncodedSize size_;
  std::shared_ptr<EncoderOutputContext> context_;
  VideoEncoderOptions options_;
  std::unique_ptr<VideoEncoderSession> session_;
  bool use_base_frame_qp_ = false;
  PicturePool pictures_;
};

}  // namespace kivo::video
