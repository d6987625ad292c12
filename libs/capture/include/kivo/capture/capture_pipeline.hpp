// CapturePipeline: one capture run, from the screen source to encoded frames.
// The agent holds at most one; every operation may be called from any thread,
// and none blocks longer than the wait it names.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "kivo/capture/key_frame_channel.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_config.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/capture_status.hpp"
#include "kivo/video/video_emitter.hpp"

namespace kivo::capture {

// The audio packet counter the pipeline stamps encoded audio with; shared
// with the agent, which resets it at each capture start.
using AudioPacketSequence = std::shared_ptr<std::atomic<std::uint32_t>>;

// The backend name every pipeline status carries.
inline constexpr std::string_view kPipelineBackend = "screencapturekit_videotoolbox";

using EncodedVideoChannel = KeyFrameChannel<video::EncodedVideoFrame>;

// What a started run hands to its consumers.
struct CaptureOutputs {
  // The run's encoded video, closed when the run ends. The consumer that
  // stops taking frames lets the channel fill, which withholds frames until
  // the next key frame; closing it ends the run.
  std::shared_ptr<EncodedVideoChannel> video;
  // Asks the run's encoder for a key frame; safe from any thread, and after
  // the pipeline is gone (it then does nothing useful).
  std::function<void()> request_key_frame;
};

class CapturePipeline {
 public:
  // Dropping a pipeline stops it.
  virtual ~CapturePipeline() = default;

  // Starts a run: sets up the stream and the encoder on a worker thread and
  // waits at most 10 s for them. Fails on a running pipeline. A pipeline
  // that cannot run answers NotImplemented "capture".
  virtual Result<CaptureOutputs> start() { return fail(KivoError::not_implemented("capture")); }

  // Stops the worker and joins it. Stopping a pipeline that is not running
  // succeeds.
  virtual Result<void> stop() = 0;

  // The next submitted frame becomes a key frame.
  virtual void request_keyframe() = 0;

  // Queues `config` for the worker and returns the new reconfigure
  // generation (never 0); the geometry is empty until the worker applies it.
  virtual Result<std::uint64_t> reconfigure(const protocol::CaptureConfig& config) = 0;

  // Applies a new average bit rate; waits at most 2 s for the worker.
  virtual Result<void> set_target_bitrate(std::uint32_t kbps) = 0;

  // Turns audio capture on or off; enabling needs `sequence`.
  virtual Result<void> set_audio_enabled(bool enabled, AudioPacketSequence sequence) = 0;

  virtual protocol::CaptureStatus status() const = 0;
  virtual protocol::CaptureDiagnostics diagnostics() const = 0;
  virtual std::optional<protocol::CaptureGeometry> geometry() const = 0;

  // The worker's running flag, for watchers that must see the capture end;
  // null when the pipeline does not expose it.
  virtual std::shared_ptr<const std::atomic<bool>> running_flag() const = 0;

  // Waits at most 3 s for a geometry, stamped with `expected_generation`
  // when one is given.
  virtual Result<protocol::CaptureGeometry> wait_for_geometry(
      std::optional<std::uint64_t> expected_generation) = 0;
};

}  // namespace kivo::capture
