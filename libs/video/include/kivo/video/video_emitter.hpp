// The emission stage of the capture worker: it takes the encoded samples the
// encoder queued, turns each into an Annex B access unit (parameter sets in
// front of key frames that lack them), holds non-key frames back while the
// stream awaits a key frame, and hands the frames on.
//
// The key-frame gate is decided frame by frame, in stream order: samples
// lost from the queue close it before the first sample taken after the loss,
// a key frame that cannot be decoded (no SPS/PPS anywhere) closes it too and
// asks the encoder for a new key frame, and a sent key frame opens it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "kivo/core/result.hpp"
#include "kivo/video/encoder_state.hpp"

namespace kivo::video {

// One access unit in Annex B form, as it leaves the capture worker.
struct EncodedVideoFrame {
  std::vector<std::uint8_t> data;
  // The pipeline's stream epoch when the drain that emitted it began.
  std::uint64_t stream_epoch = 0;
  // It holds an IDR slice.
  bool key_frame = false;
  friend bool operator==(const EncodedVideoFrame&, const EncodedVideoFrame&) = default;
};

// An encoded sample in Annex B form, with SPS/PPS placed in front of a key
// frame that does not carry them.
struct AccessUnit {
  std::vector<std::uint8_t> data;
  bool key_frame = false;
  // A key frame with no SPS and PPS, in band or among the parameter sets:
  // no decoder can start from it.
  bool undecodable_key_frame = false;
};

// Errors: "invalid H.264 NAL length size", "avcc to annexb failed: {}".
Result<AccessUnit> to_access_unit(const EncodedSample& sample);

// The receiving end of the emitted frames; false when it is gone.
using VideoFrameSink = std::function<bool(EncodedVideoFrame)>;

enum class DrainOutcome : std::uint8_t { kDrained, kReceiverGone };

class VideoEmitter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit VideoEmitter(
      std::shared_ptr<EncoderOutputContext> context,
      Clock clock = [] { return std::chrono::steady_clock::now(); });

  // Sends every queued sample that passes the gate, in order, counting what
  // was sent and logging the measured bit rate every 2 s or more. A
  // conversion error ends the drain (and the capture run) and drops the
  // remaining samples; so does a receiver that is gone.
  Result<DrainOutcome> drain(std::uint64_t stream_epoch, const VideoFrameSink& sink);

 private:
  void measure(std::size_t bytes);

  std::shared_ptr<EncoderOutputContext> context_;
  Clock clock_;
  std::uint64_t window_bytes_ = 0;
  std::optional<std::chrono::steady_clock::time_point> window_start_;
};

// The media writer's gate per capture epoch: a new epoch restarts the
// sequence at 0 and must open with a key frame; earlier frames of it are
// dropped.
class CaptureEpochGate {
 public:
  // The sequence number for the frame, or nothing when it is dropped.
  std::optional<std::uint64_t> admit(std::uint64_t capture_epoch, bool key_frame);

 private:
  std::optional<std::uint64_t> epoch_;
  bool open_ = false;
  std::uint64_t next_sequence_ = 0;
};

}  // namespace kivo::video
