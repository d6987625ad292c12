#include "kivo/x264/x264_encoder.hpp"

#include <x264.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <vector>

#include "kivo/core/log.hpp"

namespace kivo::x264 {
namespace {

using video::EncoderProperty;
using video::EncoderStatus;
namespace status = video::encoder_status;

constexpr std::string_view kTarget = "kivo_capture";

// H.264 VUI code points (ITU-T H.273).
constexpr int kColourPrimariesBt709 = 1;
constexpr int kTransferIec61966_2_1 = 13;
constexpr int kMatrixBt709 = 1;

constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kLengthPrefix = 4;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void log_from_x264(void*, int level, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::string_view message(text);
  while (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  if (level <= X264_LOG_ERROR) {
    KIVO_WARN(kTarget, "x264 error", log::debug_field("message", message));
  } else {
    KIVO_DEBUG(kTarget, "x264 message", log::debug_field("message", message));
  }
}
#pragma GCC diagnostic pop

template <class T>
const T* as(const video::PropertyValue& value) {
  return std::get_if<T>(&value);
}

class X264Session : public video::VideoEncoderSession {
 public:
  X264Session(const x264_param_t& param, video::EncoderOutput output, X264Tuning tuning)
      : param_(param), output_(std::move(output)), tuning_(std::move(tuning)) {}

  ~X264Session() override { close(); }

  EncoderStatus set_property(EncoderProperty property, const video::PropertyValue& value) override {
    if (invalidated_) return status::kInvalidSession;
    x264_param_t next = param_;
    const EncoderStatus result = apply(next, property, value);
    if (result != status::kOk) return result;
    if (encoder_ != nullptr && x264_encoder_reconfig(encoder_, &next) < 0) {
      return status::kParameterError;
    }
    param_ = next;
    return status::kOk;
  }

  EncoderStatus copy_property(EncoderProperty property,
                              std::optional<video::PropertyValue>& value) override {
    value.reset();
    if (invalidated_) return status::kInvalidSession;
    // Per-frame QP is not offered: x264's forced QP would bypass the
    // quality and data-rate settings this stage relies on.
    if (property == EncoderProperty::kSupportsBaseFrameQP) {
      value = false;
      return status::kOk;
    }
    return status::kPropertyNotSupported;
  }

  EncoderStatus prepare_to_encode_frames() override {
    if (invalidated_) return status::kInvalidSession;
    if (encoder_ != nullptr) return status::kOk;
    if (x264_param_apply_profile(&param_, "high") < 0) return status::kParameterError;
    encoder_ = x264_encoder_open(&param_);
    if (encoder_ == nullptr) return status::kEncoderFailed;
    return read_parameter_sets();
  }

  EncoderStatus encode_frame(const video::Nv12View& picture, std::int64_t pts_us,
                             const video::FrameOptions& options,
                             std::uint32_t& info_flags) override {
    info_flags = 0;
    if (invalidated_) return status::kInvalidSession;
    if (encoder_ == nullptr) {
      const EncoderStatus prepared = prepare_to_encode_frames();
      if (prepared != status::kOk) return prepared;
    }
    if (options.base_frame_qp) return status::kPropertyNotSupported;
    if (static_cast<int>(picture.width) != param_.i_width ||
        static_cast<int>(picture.height) != param_.i_height || picture.y == nullptr ||
        picture.uv == nullptr) {
      return status::kParameterError;
    }
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    in.img.plane[0] = picture.y;
    in.img.i_stride[0] = static_cast<int>(picture.y_stride);
    in.img.plane[1] = picture.uv;
    in.img.i_stride[1] = static_cast<int>(picture.uv_stride);
    in.i_pts = pts_us;
    in.i_type = options.force_key_frame ? X264_TYPE_IDR : X264_TYPE_AUTO;
    return encode(&in);
  }

  EncoderStatus complete_frames() override {
    if (invalidated_ || encoder_ == nullptr) return status::kOk;
    while (x264_encoder_delayed_frames(encoder_) > 0) {
      const EncoderStatus result = encode(nullptr);
      if (result != status::kOk) return result;
    }
    return status::kOk;
  }

  void invalidate() override {
    invalidated_ = true;
    close();
  }

 private:
  EncoderStatus apply(x264_param_t& param, EncoderProperty property,
                      const video::PropertyValue& value) const {
    switch (property) {
      case EncoderProperty::kRealTime: {
        // The session is real-time by construction; it cannot be anything else.
        const bool* on = as<bool>(value);
        if (on == nullptr) return status::kParameterError;
        return *on ? status::kOk : status::kPropertyNotSupported;
      }
      case EncoderProperty::kExpectedFrameRate: {
        const std::int32_t* fps = as<std::int32_t>(value);
        if (fps == nullptr || *fps <= 0) return status::kParameterError;
        param.i_fps_num = static_cast<std::uint32_t>(*fps);
        param.i_fps_den = 1;
        return status::kOk;
      }
      case EncoderProperty::kPrioritizeEncodingSpeedOverQuality: {
        const bool* speed = as<bool>(value);
        if (speed == nullptr) return status::kParameterError;
        // The preset already weighs speed against quality.
        return *speed ? status::kPropertyNotSupported : status::kOk;
      }
      case EncoderProperty::kAllowFrameReordering: {
        const bool* reorder = as<bool>(value);
        if (reorder == nullptr) return status::kParameterError;
        if (*reorder) return status::kPropertyNotSupported;
        param.i_bframe = 0;
        return status::kOk;
      }
      case EncoderProperty::kQuality: {
        const double* quality = as<double>(value);
        if (quality == nullptr || !(*quality >= 0.0 && *quality <= 1.0)) {
          return status::kParameterError;
        }
        param.rc.i_rc_method = X264_RC_CRF;
        param.rc.f_rf_constant = static_cast<float>(crf_for_quality(*quality, tuning_.quality_crf));
        return status::kOk;
      }
      case EncoderProperty::kAverageBitRate: {
        const std::int32_t* bits = as<std::int32_t>(value);
        if (bits == nullptr || *bits <= 0) return status::kParameterError;
        param.rc.i_rc_method = X264_RC_ABR;
        param.rc.i_bitrate = std::max(1, *bits / 1000);
        return status::kOk;
      }
      case EncoderProperty::kDataRateLimits: {
        const video::DataRateLimit* limit = as<video::DataRateLimit>(value);
        if (limit == nullptr || limit->bytes <= 0 || !(limit->seconds > 0.0)) {
          return status::kParameterError;
        }
        const double kilobits = static_cast<double>(limit->bytes) * 8.0 / 1000.0;
        const double max_int = static_cast<double>(std::numeric_limits<int>::max());
        param.rc.i_vbv_max_bitrate =
            static_cast<int>(std::clamp(kilobits / limit->seconds, 1.0, max_int));
        param.rc.i_vbv_buffer_size = static_cast<int>(std::clamp(kilobits, 1.0, max_int));
        return status::kOk;
      }
      case EncoderProperty::kMaxAllowedFrameQP: {
        const std::int32_t* qp = as<std::int32_t>(value);
        if (qp == nullptr || *qp < 0 || *qp > 51) return status::kParameterError;
        param.rc.i_qp_max = *qp;
        return status::kOk;
      }
      case EncoderProperty::kMaxKeyFrameInterval: {
        const std::int32_t* frames = as<std::int32_t>(value);
        if (frames == nullptr || *frames == 0 || *frames < -1) return status::kParameterError;
        param.i_keyint_max = *frames == -1 ? X264_KEYINT_MAX_INFINITE : *frames;
        param.i_keyint_min = X264_KEYINT_MIN_AUTO;
        param.i_scenecut_threshold = 0;
        return status::kOk;
      }
      case EncoderProperty::kProfileLevel:
        if (as<video::ProfileLevel>(value) == nullptr) return status::kParameterError;
        // High is applied when the encoder opens; the level is x264's choice.
        param.i_level_idc = -1;
        return status::kOk;
      case EncoderProperty::kColorPrimaries:
        if (as<video::ColorPrimaries>(value) == nullptr) return status::kParameterError;
        param.vui.i_colorprim = kColourPrimariesBt709;
        return status::kOk;
      case EncoderProperty::kTransferFunction:
        if (as<video::TransferFunction>(value) == nullptr) return status::kParameterError;
        param.vui.i_transfer = kTransferIec61966_2_1;
        return status::kOk;
      case EncoderProperty::kYCbCrMatrix:
        if (as<video::YCbCrMatrix>(value) == nullptr) return status::kParameterError;
        param.vui.i_colmatrix = kMatrixBt709;
        return status::kOk;
      case EncoderProperty::kSupportsBaseFrameQP:
        return status::kPropertyReadOnly;
    }
    return status::kPropertyNotSupported;
  }

  EncoderStatus read_parameter_sets() {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_, &nals, &count) < 0) return status::kEncoderFailed;
    parameter_sets_.clear();
    for (int i = 0; i < count; ++i) {
      if (nals[i].i_type != kNalSps && nals[i].i_type != kNalPps) continue;
      if (nals[i].i_payload <= kLengthPrefix) continue;
      parameter_sets_.emplace_back(nals[i].p_payload + kLengthPrefix,
                                   nals[i].p_payload + nals[i].i_payload);
    }
    return status::kOk;
  }

  EncoderStatus encode(x264_picture_t* in) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(encoder_, &nals, &count, in, &out);
    if (size < 0) return status::kEncoderFailed;
    if (size == 0) return status::kOk;  // held by the encoder; comes out later
    video::EncodedSample sample;
    sample.nal_length_size = kLengthPrefix;
    sample.pts_us = out.i_pts;
    sample.parameter_sets = parameter_sets_;
    // The NAL units of one call are contiguous, each behind its length.
    sample.data.assign(nals[0].p_payload, nals[0].p_payload + size);
    output_(status::kOk, 0, std::move(sample));
    return status::kOk;
  }

  void close() {
    if (encoder_ != nullptr) x264_encoder_close(encoder_);
    encoder_ = nullptr;
  }

  x264_param_t param_;
  video::EncoderOutput output_;
  X264Tuning tuning_;
  x264_t* encoder_ = nullptr;
  bool invalidated_ = false;
  std::vector<std::vector<std::uint8_t>> parameter_sets_;
};

}  // namespace

double crf_for_quality(double quality, double quality_crf) {
  constexpr double kWorst = 51.0;
  constexpr double kAnchor = 0.9;
  quality = std::clamp(quality, 0.0, 1.0);
  if (quality <= kAnchor) return kWorst - (kWorst - quality_crf) * quality / kAnchor;
  return quality_crf * (1.0 - quality) / (1.0 - kAnchor);
}

X264EncoderFactory::X264EncoderFactory(X264Tuning tuning) : tuning_(std::move(tuning)) {}

EncoderStatus X264EncoderFactory::create_session(
    const video::EncoderSessionSettings& settings, video::EncoderOutput output,
    std::unique_ptr<video::VideoEncoderSession>& session) {
  if (settings.width == 0 || settings.height == 0 || settings.width % 2 != 0 ||
      settings.height % 2 != 0 || settings.width > 16384 || settings.height > 16384 || !output) {
    return status::kParameterError;
  }
  x264_param_t param;
  if (x264_param_default_preset(&param, tuning_.preset.c_str(), "zerolatency") < 0) {
    return status::kParameterError;
  }
  param.i_width = static_cast<int>(settings.width);
  param.i_height = static_cast<int>(settings.height);
  param.i_csp = X264_CSP_NV12;
  param.i_threads = tuning_.threads == 0 ? X264_THREADS_AUTO : tuning_.threads;
  param.i_bframe = 0;
  param.rc.i_lookahead = 0;
  param.i_sync_lookahead = 0;
  param.i_scenecut_threshold = 0;
  param.b_annexb = 0;
  param.b_repeat_headers = 0;
  param.b_aud = 0;
  // The conversion produces full-range samples.
  param.vui.b_fullrange = 1;
  param.i_log_level = X264_LOG_WARNING;
  param.pf_log = log_from_x264;
  session = std::make_unique<X264Session>(param, std::move(output), tuning_);
  return status::kOk;
}

}  // namespace kivo::x264
