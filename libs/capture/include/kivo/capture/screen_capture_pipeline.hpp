// The capture pipeline over the two ports of the platform: a ScreenSource
// for the frames and a VideoEncoderFactory for the H.264 sessions. One worker
// thread per run owns the stream and the encoder; callers reach it only
// through the shared cells (pending reconfiguration, bit-rate slot, audio
// request, key-frame flag) and read the running flag, the geometry and the
// counters.
#pragma once

#include <functional>
#include <memory>

#include "kivo/capture/capture_clock.hpp"
#include "kivo/capture/capture_pipeline.hpp"
#include "kivo/capture/screen_source.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_config.hpp"
#include "kivo/video/video_encoder_session.hpp"

namespace kivo::capture {

struct PipelinePorts {
  std::shared_ptr<ScreenSource> source;
  std::shared_ptr<video::VideoEncoderFactory> encoders;
  // Whether the platform lets this process capture the screen now; asked
  // by every start. Absent: always.
  std::function<bool()> screen_access;
  // The callers' waits on the running worker (bit-rate reply 2 s, geometry
  // 3 s). Must outlive the pipeline.
  const CaptureClock* clock = &CaptureClock::system();
  // The waits of the worker's setup and loop (stream completions, frames),
  // and the start's wait for the setup (10 s). Must outlive the pipeline.
  const CaptureClock* worker_clock = &CaptureClock::system();
  // Capacity of the encoded video channel handed out by start.
  std::size_t video_channel_limit = kVideoChannelLimit;
};

inline constexpr std::chrono::seconds kPipelineStartTimeout{10};
inline constexpr std::chrono::seconds kBitrateUpdateTimeout{2};
inline constexpr std::chrono::seconds kGeometryTimeout{3};
inline constexpr std::chrono::milliseconds kGeometryPoll{25};

// Validates `config` ("capture width and height must be non-zero", "capture
// fps must be 1..=120", "capture bitrate must be non-zero", first failure
// wins) and builds a stopped pipeline; starts nothing. Both ports must be
// set.
Result<std::unique_ptr<CapturePipeline>> create_pipeline(const protocol::CaptureConfig& config,
                                                         PipelinePorts ports);

}  // namespace kivo::capture
