// ScreenSource: what screen capture needs from the platform's capture
// framework. The capture stream (capture_stream.hpp) holds every policy
// (which display, which frames are usable, how long to wait); a backend only
// translates these calls to its platform. Backends: platform/x11 (xcb), and
// FakeScreenSource for tests.
//
// Threading, for every class below unless a method says otherwise: a method
// may be called from any thread, but the calls on one ScreenStream need
// external synchronisation (the capture worker is their only caller).
// Completions and output callbacks run on threads the backend owns; they may
// also run before the call that asked for them has returned, and a
// completion may never run at all, so callers bound every wait themselves.
//
// The records below give every member an initialiser, so that designated
// initialisers may leave out any of them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kivo/capture/pixel_buffer.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::capture {

// An error reported by the platform: where it comes from, its code and a
// readable description.
struct StreamError {
  std::string domain{};
  std::int64_t code = 0;
  std::string description{};
  friend bool operator==(const StreamError&, const StreamError&) = default;
};

// A display that can be captured. On X11 the id is the RandR output id.
struct DisplayDescriptor {
  std::uint32_t id = 0;
  // In global points.
  protocol::Rect frame{};
  // In pixels.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const DisplayDescriptor&, const DisplayDescriptor&) = default;
};

// A window that can be captured.
struct WindowDescriptor {
  std::uint32_t id = 0;
  // In global points.
  protocol::Rect frame{};
  // Stacking layer: 0 for normal windows, higher is nearer the viewer.
  std::int32_t layer = 0;
  std::optional<std::string> title{};
  std::optional<std::int32_t> owning_pid{};
  bool on_screen = false;
  friend bool operator==(const WindowDescriptor&, const WindowDescriptor&) = default;
};

// What can be captured right now. Displays are listed with the main display
// first when the platform knows one.
struct ShareableContent {
  std::vector<DisplayDescriptor> displays{};
  std::vector<WindowDescriptor> windows{};
  friend bool operator==(const ShareableContent&, const ShareableContent&) = default;
};

struct ShareableContentOptions {
  bool exclude_desktop_windows = false;
  bool on_screen_windows_only = false;
};

// What a stream records: a whole display, or one window on its own.
struct ContentFilter {
  enum class Kind : std::uint8_t { kDisplay, kWindow };

  static ContentFilter display(std::uint32_t display_id) { return {Kind::kDisplay, display_id}; }
  static ContentFilter window(std::uint32_t window_id) { return {Kind::kWindow, window_id}; }

  Kind kind = Kind::kDisplay;
  std::uint32_t id = 0;
  friend bool operator==(const ContentFilter&, const ContentFilter&) = default;
};

enum class ColorMatrix : std::uint8_t { kItuR709_2 };
enum class ColorSpace : std::uint8_t { kSrgb };
enum class CaptureResolution : std::uint8_t { kAutomatic = 0, kBest = 1, kNominal = 2 };
enum class DynamicRange : std::uint8_t { kSdr = 0 };

// How a stream delivers. A backend honours what its platform can do and
// documents what it ignores; optional properties may be ignored outright.
struct StreamConfiguration {
  // Output size in pixels.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Window capture: the recorded area, relative to the window, in points.
  std::optional<protocol::Rect> source_rect{};
  // Frames come no more often than this.
  std::chrono::nanoseconds minimum_frame_interval{0};
  PixelFormat pixel_format = PixelFormat::kBgra;
  std::optional<ColorMatrix> color_matrix{};  // optional property
  std::optional<ColorSpace> color_space{};    // optional property
  bool shows_cursor = false;
  std::uint32_t queue_depth = 4;  // frames the stream may have out at once
  bool captures_audio = false;
  std::optional<bool> scales_to_fit{};                    // optional property
  std::optional<bool> preserves_aspect_ratio{};           // optional property
  std::optional<CaptureResolution> capture_resolution{};  // optional property
  std::uint32_t sample_rate = 48'000;
  std::uint32_t channel_count = 1;
  bool excludes_current_process_audio = true;
  DynamicRange dynamic_range = DynamicRange::kSdr;
  friend bool operator==(const StreamConfiguration&, const StreamConfiguration&) = default;
};

// The frame status attachment, with its platform values.
enum class FrameStatus : std::int64_t {
  kComplete = 0,   // new content
  kIdle = 1,       // nothing changed; the image is the last one again
  kBlank = 2,      // nothing to show
  kSuspended = 3,  // the stream is paused
  kStarted = 4,    // the first frame after start
  kStopped = 5,    // the stream has stopped
};

// Per-frame metadata as the platform attached it. Values are passed on as
// read, unchecked: deciding whether one is usable is the caller's job.
struct FrameAttachments {
  // The raw status; any value, FrameStatus when well formed.
  std::optional<std::int64_t> status{};
  // Where the content lies in the image, in points.
  std::optional<protocol::Rect> bounding_rect{};
  // The captured area of the screen, in global points.
  std::optional<protocol::Rect> screen_rect{};
  // Pixels per point of the image.
  std::optional<double> scale_factor{};
  // How much the content was scaled to fit the output.
  std::optional<double> content_scale{};
};

// One screen sample. The image is absent when the platform delivered none.
struct ScreenSample {
  FrameAttachments attachments;
  std::optional<PixelBuffer> image{};
  // When the frame was shown, on the steady clock.
  std::chrono::steady_clock::time_point display_time{};
};

// One audio sample buffer: interleaved 32-bit float PCM.
struct AudioSample {
  std::uint32_t sample_rate = 0;
  std::uint32_t channel_count = 0;
  std::vector<float> samples{};
  std::chrono::steady_clock::time_point presentation_time{};
};

enum class OutputType : std::uint8_t { kScreen = 0, kAudio = 1 };

// A completion: no value for success, the platform's error otherwise.
// Runs at most once, on any thread.
using Completion = std::function<void(std::optional<StreamError> error)>;

// Receives what a running stream produces. The stream keeps a shared
// reference to it for as long as it may call it.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;

  // A screen sample, on the stream's screen thread, one call at a time.
  // Runs only while a screen output is added.
  virtual void on_screen_sample(ScreenSample sample) = 0;

  // An audio sample, on the stream's audio thread, one call at a time.
  // Runs only while an audio output is added and the configuration captures
  // audio.
  virtual void on_audio_sample(AudioSample sample) = 0;

  // The stream stopped by itself (the display went away, the platform
  // failed). Called at most once per stream, on any stream thread; no sample
  // follows it.
  virtual void on_stopped_with_error(StreamError error) = 0;
};

// A stream: created stopped; start_capture runs it.
class ScreenStream {
 public:
  ScreenStream() = default;
  ScreenStream(const ScreenStream&) = delete;
  ScreenStream& operator=(const ScreenStream&) = delete;

  // Stops the stream if it runs and waits for its threads; no completion or
  // callback runs after the destructor has returned. Completions that had
  // not run by then never will.
  virtual ~ScreenStream() = default;

  // Routes samples of `type` to the output. Fails when the platform refuses.
  virtual Result<void> add_output(OutputType type) = 0;

  // Stops routing samples of `type`; a callback of that type already running
  // may still finish (see wait_for_callbacks).
  virtual Result<void> remove_output(OutputType type) = 0;

  // Starts capturing; `done` runs once the first frame can follow, or with
  // the reason it cannot.
  virtual void start_capture(Completion done) = 0;

  // Stops capturing; `done` runs once no further sample will be produced.
  // Stopping a stream that stopped by itself completes with an error.
  virtual void stop_capture(Completion done) = 0;

  // Applies a new configuration to the running stream. The content filter
  // cannot change; a different target needs a new stream.
  virtual void update_configuration(const StreamConfiguration& configuration, Completion done) = 0;

  // Returns once no output callback is running; with the outputs removed,
  // none starts afterwards either. Must not be called from a callback.
  virtual void wait_for_callbacks() = 0;
};

// The platform's capture framework. Safe for concurrent use.
class ScreenSource {
 public:
  ScreenSource() = default;
  ScreenSource(const ScreenSource&) = delete;
  ScreenSource& operator=(const ScreenSource&) = delete;

  // Waits for outstanding content requests; their completions have run or
  // never will once it returns.
  virtual ~ScreenSource() = default;

  // Lists displays and windows. `done` receives the content, or an error,
  // or neither when the platform returned nothing.
  using ContentCompletion = std::function<void(std::shared_ptr<const ShareableContent> content,
                                               std::optional<StreamError> error)>;
  virtual void get_shareable_content(const ShareableContentOptions& options,
                                     ContentCompletion done) = 0;

  // The display the platform calls main, if it can tell.
  virtual std::optional<std::uint32_t> main_display_id() = 0;

  // Creates a stopped stream recording `filter`. The stream shares `output`
  // until it is destroyed. Fails when the filter or configuration cannot be
  // honoured at all.
  virtual Result<std::unique_ptr<ScreenStream>> create_stream(
      const ContentFilter& filter, const StreamConfiguration& configuration,
      std::shared_ptr<StreamOutput> output) = 0;
};

}  // namespace kivo::capture
