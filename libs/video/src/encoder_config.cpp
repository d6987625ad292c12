#include "kivo/video/encoder_config.hpp"

#include <limits>

namespace kivo::video {

Result<void> validate_capture_config(const protocol::CaptureConfig& config) {
  if (config.width == 0 || config.height == 0) {
    return fail(KivoError::invalid_message("capture width and height must be non-zero"));
  }
  if (config.fps < 1 || config.fps > kMaxFps) {
    return fail(KivoError::invalid_message("capture fps must be 1..=120"));
  }
  if (config.bitrate_kbps == 0) {
    return fail(KivoError::invalid_message("capture bitrate must be non-zero"));
  }
  return ok();
}

std::int32_t key_frame_interval(std::uint32_t fps) {
  const std::uint64_t frames = std::uint64_t{fps} * kKeyFrameIntervalSeconds;
  if (frames > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return -1;
  return static_cast<std::int32_t>(frames);
}

std::int32_t average_bit_rate(std::uint32_t bitrate_kbps) {
  const std::uint64_t bits = std::uint64_t{bitrate_kbps} * 1000;
  const auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(bits > max ? max : bits);
}

std::int64_t data_rate_limit_bytes(std::uint32_t bitrate_kbps) {
  return static_cast<std::int64_t>(std::uint64_t{bitrate_kbps} * 250);
}

}  // namespace kivo::video
