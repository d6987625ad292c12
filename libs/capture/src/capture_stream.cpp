#include "kivo/capture/capture_stream.hpp"

#include <condition_variable>
#include <mutex>

#include "completion_cell.hpp"
#include "kivo/capture/stream_configuration.hpp"
#include "kivo/core/log.hpp"

namespace kivo::capture {
namespace {

constexpr std::string_view kTarget = "kivo_capture";

KivoError stream_error(std::string_view text) {
  return KivoError::invalid_message(std::string(text));
}

// Asks for the shareable content and waits for it.
Result<std::shared_ptr<const ShareableContent>> fetch_content(ScreenSource& source,
                                                              const CaptureClock& clock) {
  struct Reply {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::shared_ptr<const ShareableContent> content;
    bool failed = false;
  };
  auto reply = std::make_shared<Reply>();
  source.get_shareable_content(
      ShareableContentOptions{.exclude_desktop_windows = false, .on_screen_windows_only = false},
      [reply](std::shared_ptr<const ShareableContent> content, std::optional<StreamError> error) {
        {
          std::lock_guard guard(reply->mutex);
          if (reply->done) return;
          reply->done = true;
          reply->failed = error.has_value();
          reply->content = std::move(content);
        }
        reply->cv.notify_all();
      });
  std::unique_lock lock(reply->mutex);
  const CaptureClock::time_point deadline = clock.now() + kContentTimeout;
  if (!clock.wait_until(lock, reply->cv, deadline, [&] { return reply->done; })) {
    return fail(stream_error("screencapturekit shareable content timed out"));
  }
  if (reply->failed) return fail(stream_error("screencapturekit shareable content failed"));
  if (!reply->content)
    return fail(stream_error("screencapturekit returned empty shareable content"));
  return reply->content;
}

}  // namespace

CaptureStream::CaptureStream(CaptureStreamCells cells, const CaptureClock& clock)
    : cells_(std::move(cells)),
      clock_(clock),
      stream_failed_(std::make_shared<std::atomic<bool>>(false)),
      capture_start_(std::make_shared<InstantCell>()),
      last_sample_(std::make_shared<InstantCell>()) {}

Result<std::unique_ptr<CaptureStream>> CaptureStream::setup(ScreenSource& source,
                                                            const protocol::CaptureConfig& config,
                                                            CaptureStreamCells cells,
                                                            CaptureStreamOptions options) {
  const CaptureClock& clock = *options.clock;
  std::unique_ptr<CaptureStream> self(new CaptureStream(std::move(cells), clock));

  auto content = fetch_content(source, clock);
  if (!content) return fail(std::move(content).error());
  self->content_ = *content;

  auto display = choose_display(*self->content_, config.display_id, source.main_display_id());
  if (!display) return fail(std::move(display).error());
  self->target_.display = *display;

  ContentFilter filter = ContentFilter::display(display->id);
  if (config.window_id) {
    auto window = find_window(*self->content_, *config.window_id);
    if (!window) return fail(std::move(window).error());
    auto plan = options.plan_window(*window, *display);
    if (!plan) return fail(std::move(plan).error());
    self->target_.window = *window;
    self->target_.window_plan = *plan;
    filter = ContentFilter::window(window->id);
  }

  self->captures_audio_ = self->cells_.audio_enabled->load();
  const StreamConfiguration configuration =
      make_stream_configuration(config, self->captures_audio_, self->target_.window_plan);

  self->delegate_ = std::make_shared<StreamOutputDelegate>(
      StreamDelegateCells{
          .raw_frames = self->cells_.raw_frames,
          .raw_audio = self->cells_.raw_audio,
          .running = self->cells_.running,
          .stream_failed = self->stream_failed_,
          .audio_enabled = self->cells_.audio_enabled,
          .capture_start = self->capture_start_,
          .last_sample = self->last_sample_,
          .screen_callbacks = std::make_shared<std::atomic<std::uint32_t>>(0),
          .counters = self->cells_.counters,
          .is_window = self->target_.window.has_value(),
      },
      clock);

  auto stream = source.create_stream(filter, configuration, self->delegate_);
  if (!stream) return fail(std::move(stream).error());
  self->stream_ = std::move(*stream);

  if (!self->stream_->add_output(OutputType::kScreen)) {
    return fail(stream_error("screencapturekit add stream output failed"));
  }
  if (!self->stream_->add_output(OutputType::kAudio)) {
    return fail(stream_error("screencapturekit add audio output failed"));
  }

  CompletionCell started;
  self->stream_->start_capture(started.handler());
  KIVO_TRY(started.wait(clock, kStartTimeout, "screencapturekit start capture"));
  self->capture_start_->set(clock.now());
  return self;
}

CaptureStream::~CaptureStream() {
  (void)teardown();
}

std::optional<RawFrame> CaptureStream::take_frame() {
  return cells_.raw_frames->pop_for(kFrameWait);
}

Result<void> CaptureStream::update_stream(const StreamConfiguration& configuration) {
  if (!stream_) return fail(stream_error("screencapturekit update configuration failed"));
  CompletionCell updated;
  stream_->update_configuration(configuration, updated.handler());
  return updated.wait(clock_, kUpdateTimeout, "screencapturekit update configuration");
}

Result<void> CaptureStream::apply_audio_request(std::optional<bool> request,
                                                const protocol::CaptureConfig& config) {
  if (!request) return ok();
  if (!*request) cells_.raw_audio->clear();
  KIVO_TRY(update_stream(make_stream_configuration(config, *request, target_.window_plan)));
  captures_audio_ = *request;
  return ok();
}

Result<ReconfigureOutcome> CaptureStream::apply_reconfiguration(
    const protocol::CaptureConfig& current, protocol::CaptureConfig& next) {
  if (current.window_id && next.window_id == current.window_id) {
    next.width = current.width;
    next.height = current.height;
  }
  cells_.raw_frames->clear();

  const bool size_or_rate =
      next.width != current.width || next.height != current.height || next.fps != current.fps;
  const bool other = next.bitrate_kbps != current.bitrate_kbps ||
                     next.display_id != current.display_id || next.window_id != current.window_id;
  if (!size_or_rate && !other) return ReconfigureOutcome::kUnchanged;
  if (!size_or_rate) return ReconfigureOutcome::kOtherChanged;
  KIVO_TRY(update_stream(make_stream_configuration(next, captures_audio_, target_.window_plan)));
  return ReconfigureOutcome::kStreamUpdated;
}

Result<void> CaptureStream::teardown(const std::function<void()>& after_stop) {
  if (!stream_) {
    if (after_stop) after_stop();
    return ok();
  }
  // Every step runs whatever the earlier ones returned: a stream that was
  // not stopped cleanly must still lose its outputs and callbacks before it
  // is released.
  std::optional<KivoError> first_error;
  const auto keep = [&first_error](Result<void> result) {
    if (!result && !first_error) first_error = std::move(result).error();
  };

  CompletionCell stopped;
  stream_->stop_capture(stopped.handler());
  Result<void> stop_result = stopped.wait(clock_, kStopTimeout, "screencapturekit stop capture");
  // Read after the stop: a stream that stops by itself while being stopped
  // refuses the stop, and that refusal is no teardown error.
  if (stream_failed_->load()) {
    KIVO_ERROR(kTarget, "capture stream failed");
  } else {
    keep(std::move(stop_result));
  }

  if (after_stop) after_stop();

  const bool audio_removed = stream_->remove_output(OutputType::kAudio).has_value();
  const bool screen_removed = stream_->remove_output(OutputType::kScreen).has_value();
  if (!audio_removed || !screen_removed) {
    keep(fail(stream_error("screencapturekit remove stream output failed")));
  }

  stream_->wait_for_callbacks();

  stream_.reset();
  delegate_.reset();
  content_.reset();
  if (first_error) return fail(std::move(*first_error));
  return ok();
}

}  // namespace kivo::capture
