// The video encoder session port: what the encoding stage needs from an H.264
// encoder, whichever library or hardware does the work. A session is created
// with its picture size and an output function, configured property by
// property (each set answers with a status), prepared, fed NV12 pictures with
// per-frame options, and finally completed and invalidated.
//
// Output is asynchronous: a backend may call the output function on any of
// its threads, during encode_frame or later, until invalidate returns; each
// submitted frame gives exactly one call (a sample, a dropped frame or an
// error). Statuses are integers, 0 for success, so that a backend's own codes
// travel unchanged into logs and error texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "kivo/video/image.hpp"

namespace kivo::video {

using EncoderStatus = std::int32_t;

// The statuses the backends of this project answer with.
namespace encoder_status {
inline constexpr EncoderStatus kOk = 0;
inline constexpr EncoderStatus kPropertyNotSupported = -12900;
inline constexpr EncoderStatus kPropertyReadOnly = -12901;
inline constexpr EncoderStatus kParameterError = -12902;
inline constexpr EncoderStatus kInvalidSession = -12903;
inline constexpr EncoderStatus kAllocationFailed = -12904;
inline constexpr EncoderStatus kEncoderFailed = -12911;
}  // namespace encoder_status

enum class EncoderProperty : std::uint8_t {
  kRealTime,                            // bool
  kExpectedFrameRate,                   // int32, frames per second
  kPrioritizeEncodingSpeedOverQuality,  // bool
  kAllowFrameReordering,                // bool (B-frames)
  kQuality,                             // double, 0.0 to 1.0
  kAverageBitRate,                      // int32, bits per second
  kDataRateLimits,                      // DataRateLimit
  kMaxAllowedFrameQP,                   // int32
  kMaxKeyFrameInterval,                 // int32 frames; -1 for no limit
  kProfileLevel,                        // ProfileLevel
  kColorPrimaries,                      // ColorPrimaries
  kTransferFunction,                    // TransferFunction
  kYCbCrMatrix,                         // YCbCrMatrix
  kSupportsBaseFrameQP,                 // bool, read only
};

std::string_view property_name(EncoderProperty property);

enum class ProfileLevel : std::uint8_t { kH264HighAutoLevel };
enum class ColorPrimaries : std::uint8_t { kItuR709 };
enum class TransferFunction : std::uint8_t { kSrgb };
enum class YCbCrMatrix : std::uint8_t { kItuR709 };

// At most `bytes` in any window of `seconds`.
struct DataRateLimit {
  std::int64_t bytes = 0;
  double seconds = 0.0;
  friend bool operator==(const DataRateLimit&, const DataRateLimit&) = default;
};

using PropertyValue = std::variant<bool, std::int32_t, std::int64_t, double, DataRateLimit,
                                   ProfileLevel, ColorPrimaries, TransferFunction, YCbCrMatrix>;

struct FrameOptions {
  bool force_key_frame = false;
  std::optional<double> base_frame_qp;
  friend bool operator==(const FrameOptions&, const FrameOptions&) = default;
};

// Bits of the info flags of encode_frame and of the output function.
namespace encode_info {
inline constexpr std::uint32_t kAsynchronous = 1;
inline constexpr std::uint32_t kFrameDropped = 2;
}  // namespace encode_info

// One encoded access unit: NAL units each behind a big-endian length of
// `nal_length_size` bytes, and the stream's parameter sets (SPS, PPS, ...;
// each a bare NAL unit) as the encoder currently has them.
struct EncodedSample {
  std::vector<std::uint8_t> data;
  int nal_length_size = 4;
  std::vector<std::vector<std::uint8_t>> parameter_sets;
  std::int64_t pts_us = 0;
};

// (status, info flags, the sample when there is one).
using EncoderOutput =
    std::function<void(EncoderStatus, std::uint32_t, std::optional<EncodedSample>)>;

struct EncoderSessionSettings {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool enable_hardware_acceleration = true;
};

class VideoEncoderSession {
 public:
  virtual ~VideoEncoderSession() = default;

  virtual EncoderStatus set_property(EncoderProperty property, const PropertyValue& value) = 0;
  // kOk with no value means the encoder answered without one.
  virtual EncoderStatus copy_property(EncoderProperty property,
                                      std::optional<PropertyValue>& value) = 0;
  virtual EncoderStatus prepare_to_encode_frames() = 0;
  // The session copies whatever it keeps of `picture` before returning.
  // `info_flags` receives encode_info bits.
  virtual EncoderStatus encode_frame(const Nv12View& picture, std::int64_t pts_us,
                                     const FrameOptions& options, std::uint32_t& info_flags) = 0;
  // Emits every pending frame.
  virtual EncoderStatus complete_frames() = 0;
  // After this returns no new output call starts; later calls fail.
  virtual void invalidate() = 0;
};

class VideoEncoderFactory {
 public:
  virtual ~VideoEncoderFactory() = default;

  // kOk with a session, or a status (a kOk without a session is a failure
  // too, and the caller treats it as one).
  virtual EncoderStatus create_session(const EncoderSessionSettings& settings, EncoderOutput output,
                                       std::unique_ptr<VideoEncoderSession>& session) = 0;
};

}  // namespace kivo::video
