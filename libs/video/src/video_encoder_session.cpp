#include "kivo/video/video_encoder_session.hpp"

namespace kivo::video {

std::string_view property_name(EncoderProperty property) {
  switch (property) {
    case EncoderProperty::kRealTime:
      return "RealTime";
    case EncoderProperty::kExpectedFrameRate:
      return "ExpectedFrameRate";
    case EncoderProperty::kPrioritizeEncodingSpeedOverQuality:
      return "PrioritizeEncodingSpeedOverQuality";
    case EncoderProperty::kAllowFrameReordering:
      return "AllowFrameReordering";
    case EncoderProperty::kQuality:
      return "Quality";
    case EncoderProperty::kAverageBitRate:
      return "AverageBitRate";
    case EncoderProperty::kDataRateLimits:
      return "DataRateLimits";
    case EncoderProperty::kMaxAllowedFrameQP:
      return "MaxAllowedFrameQP";
    case EncoderProperty::kMaxKeyFrameInterval:
      return "MaxKeyFrameInterval";
    case EncoderProperty::kProfileLevel:
      return "ProfileLevel";
    case EncoderProperty::kColorPrimaries:
      return "ColorPrimaries";
    case EncoderProperty::kTransferFunction:
      return "TransferFunction";
    case EncoderProperty::kYCbCrMatrix:
      return "YCbCrMatrix";
    case EncoderProperty::kSupportsBaseFrameQP:
      return "SupportsBaseFrameQP";
  }
  return "unknown";
}

}  // namespace kivo::video
