// The encoder's fixed settings and the values it derives from a
// CaptureConfig.
#pragma once

#include <cstdint>

#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_config.hpp"

namespace kivo::video {

inline constexpr double kEncoderQuality = 0.9;
inline constexpr std::int32_t kMaxAllowedFrameQp = 20;
inline constexpr double kBaseFrameQp = 22.0;
inline constexpr double kDataRateWindowSeconds = 1.0;
inline constexpr std::uint32_t kKeyFrameIntervalSeconds = 15;
inline constexpr std::uint32_t kMaxFps = 120;

// Checks, in order: non-zero size, fps within 1..=120, non-zero bit rate.
Result<void> validate_capture_config(const protocol::CaptureConfig& config);

// fps x 15 frames, or -1 (no limit) when that does not fit an int32.
std::int32_t key_frame_interval(std::uint32_t fps);
// bits per second, capped at the int32 maximum.
std::int32_t average_bit_rate(std::uint32_t bitrate_kbps);
// bitrate_kbps x 250 bytes: twice the average rate, per one-second window.
std::int64_t data_rate_limit_bytes(std::uint32_t bitrate_kbps);

// The picture the encoder works on: the largest even size inside the
// requested one (4:2:0 needs even sizes).
struct EncodedSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const EncodedSize&, const EncodedSize&) = default;
};
inline EncodedSize even_size(std::uint32_t width, std::uint32_t height) {
  return {width & ~std::uint32_t{1}, height & ~std::uint32_t{1}};
}

}  // namespace kivo::video
