// The video writers of one capture run: the epoch thread stamps each encoded
// frame of the pipeline with the capture epoch the agent publishes, and the
// media thread numbers the frames of each capture epoch from 0 (it alone
// owns that counter), holds a new epoch back until its first key frame, and
// writes them whole to the media socket.
//
// The channel between the two threads is bounded: when the socket cannot
// keep up, frames are dropped, the encoder is asked for a key frame and
// nothing but a key frame passes until it comes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "kivo/capture/capture_pipeline.hpp"
#include "kivo/core/result.hpp"
#include "media_diagnostics.hpp"
#include "media_writer.hpp"

namespace kivo::agent {

inline constexpr std::string_view kVideoEpochThread = "kivo-agent-video-epoch";
inline constexpr std::string_view kVideoMediaThread = "kivo-agent-video-media";

// The capture epoch as the media threads see it; the agent publishes a new
// one at each capture start and reconfiguration.
using SharedCaptureEpoch = std::shared_ptr<std::atomic<std::uint64_t>>;

struct VideoWriterInputs {
  std::uint64_t agent_generation = 0;
  SharedCaptureEpoch capture_epoch;
  // The pipeline's outputs of the run (its video channel and key-frame
  // request).
  capture::CaptureOutputs outputs;
  std::shared_ptr<MediaWriter> writer;
  std::shared_ptr<MediaDiagnostics> diagnostics;
};

class VideoWriters {
 public:
  // Starts both threads; all inputs must be set.
  static Result<std::unique_ptr<VideoWriters>> start(VideoWriterInputs inputs);

  // Stops and joins.
  ~VideoWriters();
  VideoWriters(const VideoWriters&) = delete;
  VideoWriters& operator=(const VideoWriters&) = delete;

  // Both threads end within their 50 ms waits (a frame being written is
  // finished first, within the writer's bound).
  void request_stop();
  // Waits for both threads; false when one of them ended by an exception.
  bool join();

 private:
  struct Shared;
  explicit VideoWriters(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
  std::thread epoch_thread_;
  std::thread media_thread_;
};

}  // namespace kivo::agent
