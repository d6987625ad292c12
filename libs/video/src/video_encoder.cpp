#include "kivo/video/video_encoder.hpp"

#include <fmt/format.h>

#include <utility>

#include "kivo/core/log.hpp"
#include "kivo/video/color_convert.hpp"

namespace kivo::video {
namespace {

constexpr std::string_view kTarget = "kivo_capture";
// One picture being converted while the backend still holds none: two of
// each kind cover a frame in flight and the next.
constexpr std::size_t kIdlePictures = 2;

KivoError set_property_failed(EncoderStatus status) {
  return KivoError::invalid_message(fmt::format("VTSessionSetProperty failed: {}", status));
}

}  // namespace

VideoEncoder::VideoEncoder(const protocol::CaptureConfig& config,
                           std::shared_ptr<EncoderOutputContext> context,
                           VideoEncoderOptions options)
    : config_(config),
      size_(even_size(config.width, config.height)),
      context_(std::move(context)),
      options_(options),
      pictures_(kIdlePictures) {}

VideoEncoder::~VideoEncoder() {
  tear_down();
}

Result<std::unique_ptr<VideoEncoder>> VideoEncoder::create(
    VideoEncoderFactory& factory, const protocol::CaptureConfig& config,
    std::shared_ptr<EncoderOutputContext> context, VideoEncoderOptions options) {
  KIVO_TRY(validate_capture_config(config));
  std::unique_ptr<VideoEncoder> encoder(new VideoEncoder(config, std::move(context), options));
  EncoderCounters& counters = encoder->context_->counters;

  const EncoderSessionSettings settings{encoder->size_.width, encoder->size_.height, true};
  EncoderOutput output = [context = encoder->context_](EncoderStatus status, std::uint32_t flags,
                                                       std::optional<EncodedSample> sample) {
    handle_encoder_output(*context, status, flags, std::move(sample));
  };
  std::unique_ptr<VideoEncoderSession> session;
  EncoderStatus status = factory.create_session(settings, std::move(output), session);
  if (status != encoder_status::kOk || !session) {
    if (status == encoder_status::kOk) status = encoder_status::kInvalidSession;
    counters.record_encoder_error(status, "VTCompressionSessionCreate failed");
    return fail(
        KivoError::invalid_message(fmt::format("VTCompressionSessionCreate failed: {}", status)));
  }
  encoder->session_ = std::move(session);
  // From here on, returning the error destroys `encoder`, whose destructor
  // invalidates the session and waits for its output calls.

  KIVO_TRY(encoder->set_required(EncoderProperty::kRealTime, true));
  KIVO_TRY(encoder->set_required(EncoderProperty::kExpectedFrameRate,
                                 static_cast<std::int32_t>(config.fps)));
  KIVO_TRY(encoder->set_required(EncoderProperty::kPrioritizeEncodingSpeedOverQuality, false));
  KIVO_TRY(encoder->set_required(EncoderProperty::kAllowFrameReordering, false));
  KIVO_TRY(encoder->apply_rate_control(config));
  KIVO_TRY(encoder->set_key_frame_interval(config.fps));
  KIVO_TRY(encoder->set_required(EncoderProperty::kProfileLevel, ProfileLevel::kH264HighAutoLevel));

  status = encoder->session_->prepare_to_encode_frames();
  if (status != encoder_status::kOk) {
    counters.record_encoder_error(status, "VTCompressionSessionPrepareToEncodeFrames failed");
    return fail(KivoError::invalid_message(
        fmt::format("VTCompressionSessionPrepareToEncodeFrames failed: {}", status)));
  }
  encoder->query_base_frame_qp();
  return encoder;
}

Result<void> VideoEncoder::set_required(EncoderProperty property, const PropertyValue& value) {
  const EncoderStatus status = session_->set_property(property, value);
  if (status != encoder_status::kOk) return fail(set_property_failed(status));
  return ok();
}

void VideoEncoder::query_base_frame_qp() {
  std::optional<PropertyValue> value;
  const EncoderStatus status =
      session_->copy_property(EncoderProperty::kSupportsBaseFrameQP, value);
  use_base_frame_qp_ = false;
  if (status != encoder_status::kOk) {
    KIVO_WARN(kTarget,
              "VideoToolbox BaseFrameQP support query failed; falling back to AverageBitRate ABR "
              "rate control",
              log::field("status", status));
  } else if (!value) {
    KIVO_WARN(kTarget,
              "VideoToolbox BaseFrameQP support query returned no value; falling back to "
              "AverageBitRate ABR rate control");
  } else if (const bool* supported = std::get_if<bool>(&*value); supported && *supported) {
    use_base_frame_qp_ = true;
    KIVO_INFO(kTarget, "VideoToolbox BaseFrameQP supported; using per-frame QP constant quality",
              log::field("base_frame_qp", kBaseFrameQp));
  } else {
    KIVO_WARN(kTarget,
              "VideoToolbox encoder does not support BaseFrameQP; falling back to AverageBitRate "
              "ABR rate control");
  }
}

Result<void> VideoEncoder::apply_rate_control(const protocol::CaptureConfig& config) {
  EncoderStatus status = session_->set_property(EncoderProperty::kQuality, kEncoderQuality);
  const bool used_quality = status == encoder_status::kOk;
  if (!used_quality) {
    KIVO_WARN(kTarget, "VideoToolbox Quality rejected; falling back to AverageBitRate",
              log::field("error", status), log::field("quality", kEncoderQuality));
    status = session_->set_property(EncoderProperty::kAverageBitRate,
                                    average_bit_rate(config.bitrate_kbps));
    if (status != encoder_status::kOk) return fail(set_property_failed(status));
  }

  const std::int64_t limit_bytes = data_rate_limit_bytes(config.bitrate_kbps);
  status = session_->set_property(EncoderProperty::kDataRateLimits,
                                  DataRateLimit{limit_bytes, kDataRateWindowSeconds});
  if (status != encoder_status::kOk) {
    KIVO_WARN(kTarget, "VideoToolbox DataRateLimits rejected", log::field("error", status),
              log::field("limit_bytes", limit_bytes),
              log::field("window_seconds", kDataRateWindowSeconds));
  }

  status = session_->set_property(EncoderProperty::kMaxAllowedFrameQP, kMaxAllowedFrameQp);
  if (status != encoder_status::kOk) {
    KIVO_WARN(kTarget, "VideoToolbox MaxAllowedFrameQP rejected", log::field("error", status),
              log::field("max_allowed_frame_qp", kMaxAllowedFrameQp));
  }

  status = session_->set_property(EncoderProperty::kColorPrimaries, ColorPrimaries::kItuR709);
  if (status != encoder_status::kOk) {
    KIVO_WARN(kTarget, "VideoToolbox ColorPrimaries rejected", log::field("error", status));
  }
  status = session_->set_property(EncoderProperty::kTransferFunction, TransferFunction::kSrgb);
  if (status != encoder_status::kOk) {
    KIVO_WARN(kTarget, "VideoToolbox TransferFunction rejected", log::field("error", status));
  }
  status = session_->set_property(EncoderProperty::kYCbCrMatrix, YCbCrMatrix::kItuR709);
  if (status != encoder_status::kOk) {
    KIVO_WARN(kTarget, "VideoToolbox YCbCrMatrix rejected", log::field("error", status));
  }

  KIVO_INFO(kTarget, "VideoToolbox rate control applied",
            log::field("bitrate_kbps", config.bitrate_kbps), log::field("quality", kEncoderQuality),
            log::field("used_quality", used_quality),
            log::field("max_allowed_frame_qp", kMaxAllowedFrameQp),
            log::field("data_rate_limit_bytes", limit_bytes));
  return ok();
}

Result<void> VideoEncoder::set_key_frame_interval(std::uint32_t fps) {
  return set_required(EncoderProperty::kMaxKeyFrameInterval, key_frame_interval(fps));
}

Result<void> VideoEncoder::encode_frame(const RawFrame& frame, bool force_key_frame) {
  if (!session_) return fail(KivoError::invalid_message("video encoder session torn down"));
  if (frame.pixel_format != kPixelFormatBgra) {
    return fail(KivoError::invalid_message(
        fmt::format("expected BGRA capture pixel format, got {:x}", frame.pixel_format)));
  }
  const EncodedSize size = even_size(frame.image.width, frame.image.height);
  if (size.width == 0 || size.height == 0 || frame.image.data == nullptr ||
      frame.image.stride < 4 * std::size_t{frame.image.width}) {
    return fail(KivoError::invalid_message(
        fmt::format("BGRA capture size {}x{} is not a valid even NV12 size", frame.image.width,
                    frame.image.height)));
  }
  if (size != size_) {
    return fail(KivoError::invalid_message(
        fmt::format("BGRA capture size {}x{} does not match the encoder size {}x{}",
                    frame.image.width, frame.image.height, size_.width, size_.height)));
  }

  // The even part of the frame; an odd last row or column is left out.
  const BgraView source{frame.image.data, size.width, size.height, frame.image.stride};
  // Sharpening happens on the way into the picture. Either pass fails only
  // on a geometry, which would fail the other pass too: there is no
  // unsharpened fallback to take.
  Nv12Picture picture = pictures_.acquire_nv12(size.width, size.height);
  const bool converted = options_.sharpen ? sharpen_bgra_to_nv12(source, picture.view())
                                          : bgra_to_nv12(source, picture.view());
  if (!converted) {
    return fail(KivoError::invalid_message(
        "vImageConvert_ARGB8888To420Yp8_CbCr8 failed: picture geometry"));
  }

  FrameOptions options;
  options.force_key_frame = force_key_frame;
  if (use_base_frame_qp_) options.base_frame_qp = kBaseFrameQp;
  std::uint32_t info_flags = 0;
  EncoderCounters& counters = context_->counters;
  const EncoderStatus status =
      session_->encode_frame(picture.view(), frame.pts_us, options, info_flags);
  if (status != encoder_status::kOk) {
    counters.vt_submit_error.fetch_add(1);
    counters.record_encoder_error(status, "VTCompressionSessionEncodeFrame failed");
    return fail(KivoError::invalid_message(
        fmt::format("VTCompressionSessionEncodeFrame failed: {}", status)));
  }
  counters.vt_submit_ok.fetch_add(1);
  if ((info_flags & encode_info::kFrameDropped) != 0) counters.vt_output_dropped.fetch_add(1);
  return ok();
}

Result<void> VideoEncoder::apply_bitrate_update(const protocol::CaptureConfig& requested) {
  protocol::CaptureConfig next = requested;
  if (next.window_id && next.window_id == config_.window_id) {
    next.width = config_.width;
    next.height = config_.height;
  }
  if (next == config_) {
    context_->flags.request.store(true);
    return ok();
  }
  KIVO_TRY(apply_rate_control(next));
  KIVO_TRY(set_key_frame_interval(next.fps));
  config_ = next;
  context_->flags.request.store(true);
  return ok();
}

Result<void> VideoEncoder::reconfigure_in_place(const protocol::CaptureConfig& config) {
  const bool fps_changed = config.fps != config_.fps;
  config_ = config;
  KIVO_TRY(apply_rate_control(config));
  KIVO_TRY(set_key_frame_interval(config.fps));
  if (fps_changed) context_->flags.request.store(true);
  return ok();
}

void VideoEncoder::tear_down() {
  if (!session_) return;
  session_->complete_frames();
  session_->invalidate();
  context_->activity.wait_idle();
  session_.reset();
}

}  // namespace kivo::video
