// CaptureStream: the source half of a capture worker. It chooses what to
// record, configures and starts a stream of the ScreenSource, hands usable
// frames to the worker through the raw frame queue, applies configuration
// changes to the running stream, and tears the stream down.
//
// Threading: created, used and destroyed by one thread (the capture worker).
// The stream's own threads reach only the shared cells, through the
// StreamOutputDelegate. Every wait on the platform is bounded: 10 s for the
// shareable content, the start and each configuration update, 5 s for the
// stop, 50 ms for a frame.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "kivo/capture/capture_clock.hpp"
#include "kivo/capture/capture_counters.hpp"
#include "kivo/capture/capture_target.hpp"
#include "kivo/capture/raw_frame.hpp"
#include "kivo/capture/screen_source.hpp"
#include "kivo/capture/stream_output_delegate.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_config.hpp"

namespace kivo::capture {

// The pipeline's cells the stream feeds. All must be set; the stream keeps
// shared references, so they outlive any late callback.
struct CaptureStreamCells {
  std::shared_ptr<std::atomic<bool>> running;
  std::shared_ptr<std::atomic<bool>> audio_enabled;
  std::shared_ptr<CaptureCounters> counters;
  std::shared_ptr<RawFrameQueue> raw_frames;
  std::shared_ptr<RawAudioQueue> raw_audio;
};

struct CaptureStreamOptions {
  // Must outlive the stream.
  const CaptureClock* clock = &CaptureClock::system();
  WindowStreamPlanner plan_window = whole_window_plan;
};

inline constexpr std::chrono::seconds kContentTimeout{10};
inline constexpr std::chrono::seconds kStartTimeout{10};
inline constexpr std::chrono::seconds kUpdateTimeout{10};
inline constexpr std::chrono::seconds kStopTimeout{5};
inline constexpr std::chrono::milliseconds kFrameWait{50};

// What applying a new configuration did to the stream.
enum class ReconfigureOutcome : std::uint8_t {
  kUnchanged,      // nothing that matters changed
  kStreamUpdated,  // size or frame rate changed; the running stream has the new values
  kOtherChanged,   // only the rate or the target ids changed; the stream is as it was
};

class CaptureStream {
 public:
  // Lists the content, chooses the display (and window), creates and starts
  // the stream. On failure everything created is released and the error is
  // one of the fixed "screencapturekit ..." / "display id ..." / "window id
  // ..." texts. Captures audio when `cells.audio_enabled` is set.
  static Result<std::unique_ptr<CaptureStream>> setup(ScreenSource& source,
                                                      const protocol::CaptureConfig& config,
                                                      CaptureStreamCells cells,
                                                      CaptureStreamOptions options = {});

  // Tears down if teardown() was not called, ignoring its result.
  ~CaptureStream();
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  const CaptureTarget& target() const { return target_; }

  // The oldest queued frame; waits up to 50 ms for one. Empty when none came
  // or the queue is closed.
  std::optional<RawFrame> take_frame();

  // Turns the stream's audio on or off, with `config` as the rest of the
  // configuration; turning it off first drops the queued audio. Nothing to
  // do for an empty request.
  Result<void> apply_audio_request(std::optional<bool> request,
                                   const protocol::CaptureConfig& config);

  // Brings the stream to `next` (the configuration stays `current` until
  // the caller adopts `next`). For window capture of the same window the
  // size stays that of `current` (written into `next`). Queued frames are
  // dropped: they belong to the old configuration.
  Result<ReconfigureOutcome> apply_reconfiguration(const protocol::CaptureConfig& current,
                                                   protocol::CaptureConfig& next);

  // Whether the stream stopped by itself or was marked failed.
  bool failed() const { return stream_failed_->load(); }
  // Ends the stream as failed (for watchdogs of the worker).
  void mark_failed() { stream_failed_->store(true); }

  // When the stream started, and when its last screen sample arrived (the
  // setup time before the first).
  std::optional<CaptureClock::time_point> capture_start_time() const {
    return capture_start_->get();
  }
  std::optional<CaptureClock::time_point> last_sample_time() const { return last_sample_->get(); }

  // Stops the stream (ignoring errors when it had failed), runs
  // `after_stop` (to let audio consumers finish), removes the outputs, waits
  // until no callback runs, and releases the stream. Every step runs even
  // when an earlier one fails; the first error is returned. Later calls do
  // nothing and succeed.
  Result<void> teardown(const std::function<void()>& after_stop = {});

 private:
  CaptureStream(CaptureStreamCells cells, const CaptureClock& clock);

  Result<void> update_stream(const StreamConfiguration& configuration);

  CaptureStreamCells cells_;
  const CaptureClock& clock_;
  std::shared_ptr<std::atomic<bool>> stream_failed_;
  std::shared_ptr<InstantCell> capture_start_;
  std::shared_ptr<InstantCell> last_sample_;
  std::shared_ptr<const ShareableContent> content_;
  CaptureTarget target_;
  bool captures_audio_ = false;
  std::shared_ptr<StreamOutputDelegate> delegate_;
  std::unique_ptr<ScreenStream> stream_;
};

}  // namespace kivo::capture
