// StreamOutputDelegate: what a running stream calls. It keeps the usable
// screen samples (complete, idle and started frames with an image) in the
// raw frame queue, counts every sample by status, passes audio on while audio
// is enabled, and records the stream stopping by itself.
//
// Runs on the stream's threads concurrently with the capture worker; it
// touches only the shared cells below, never the stream.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "kivo/capture/capture_clock.hpp"
#include "kivo/capture/capture_counters.hpp"
#include "kivo/capture/raw_frame.hpp"
#include "kivo/capture/screen_source.hpp"

namespace kivo::capture {

// An optional instant under a lock. Safe for concurrent use.
class InstantCell {
 public:
  void set(CaptureClock::time_point at) {
    std::lock_guard guard(mutex_);
    value_ = at;
  }
  std::optional<CaptureClock::time_point> get() const {
    std::lock_guard guard(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<CaptureClock::time_point> value_;
};

// The cells the delegate shares with the worker and the pipeline.
struct StreamDelegateCells {
  std::shared_ptr<RawFrameQueue> raw_frames;
  std::shared_ptr<RawAudioQueue> raw_audio;
  std::shared_ptr<std::atomic<bool>> running;
  std::shared_ptr<std::atomic<bool>> stream_failed;
  std::shared_ptr<std::atomic<bool>> audio_enabled;
  std::shared_ptr<InstantCell> capture_start;
  std::shared_ptr<InstantCell> last_sample;
  std::shared_ptr<std::atomic<std::uint32_t>> screen_callbacks;
  std::shared_ptr<CaptureCounters> counters;
  bool is_window = false;
};

class StreamOutputDelegate final : public StreamOutput {
 public:
  // Every cell must be set. The last-sample time starts at the creation time.
  StreamOutputDelegate(StreamDelegateCells cells, const CaptureClock& clock);

  void on_screen_sample(ScreenSample sample) override;
  void on_audio_sample(AudioSample sample) override;
  void on_stopped_with_error(StreamError error) override;

  const StreamDelegateCells& cells() const { return cells_; }

 private:
  StreamDelegateCells cells_;
  const CaptureClock& clock_;
};

}  // namespace kivo::capture
