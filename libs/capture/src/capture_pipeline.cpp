// The capture pipeline: one worker thread per run owns the stream and the
// encoder; the callers talk to it through the cells.
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "kivo/capture/capture_counters.hpp"
#include "kivo/capture/capture_stream.hpp"
#include "kivo/capture/pipeline_geometry.hpp"
#include "kivo/capture/raw_frame.hpp"
#include "kivo/capture/screen_capture_pipeline.hpp"
#include "kivo/core/log.hpp"
#include "kivo/protocol/epoch.hpp"
#include "kivo/video/encoder_config.hpp"
#include "kivo/video/encoder_state.hpp"
#include "kivo/video/video_emitter.hpp"
#include "kivo/video/video_encoder.hpp"

namespace kivo::capture {
namespace {

constexpr std::string_view kTarget = "kivo_capture";

using protocol::CaptureConfig;

// A one-shot reply a caller waits for; closing it without a value tells the
// caller that nobody will answer.
template <class T>
class ReplyCell {
 public:
  void send(T value) {
    {
      std::lock_guard guard(mutex_);
      if (value_ || closed_) return;
      value_ = std::move(value);
    }
    ready_.notify_all();
  }

  void close() {
    {
      std::lock_guard guard(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

  enum class Wait : std::uint8_t { kValue, kTimedOut, kClosed };

  // Waits until `deadline` on `clock`; the value is in `out` for kValue.
  Wait wait_until(const CaptureClock& clock, CaptureClock::time_point deadline,
                  std::optional<T>& out) {
    std::unique_lock lock(mutex_);
    clock.wait_until(lock, ready_, deadline, [this] { return value_.has_value() || closed_; });
    if (value_) {
      out = std::move(value_);
      return Wait::kValue;
    }
    return closed_ ? Wait::kClosed : Wait::kTimedOut;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<T> value_;
  bool closed_ = false;
};

struct BitrateRequest {
  std::shared_ptr<ReplyCell<Result<void>>> reply;
  CaptureConfig config;
  std::uint32_t kbps = 0;
};

// The cells shared by the pipeline object and its workers. A worker holds a
// shared reference, so it may outlive the pipeline but never the cells.
struct PipelineCells {
  std::mutex config_mutex;
  CaptureConfig config;

  std::shared_ptr<std::atomic<bool>> running = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> audio_enabled = std::make_shared<std::atomic<bool>>(false);

  std::mutex reconfigure_mutex;
  std::optional<std::pair<CaptureConfig, std::uint64_t>> pending_reconfiguration;

  std::mutex bitrate_mutex;
  std::optional<BitrateRequest> bitrate_slot;

  std::mutex audio_request_mutex;
  std::optional<bool> audio_request;

  std::mutex audio_sequence_mutex;
  AudioPacketSequence audio_sequence;

  std::atomic<std::uint64_t> stream_epoch{0};
  std::atomic<std::uint64_t> reconfigure_generation{0};
  PipelineGeometry geometry;

  std::shared_ptr<CaptureCounters> counters = std::make_shared<CaptureCounters>();
  // The encoder's output queue, key-frame flags and counters. One for the
  // life of the pipeline: the counters outlive runs, and each run starts
  // with the queue emptied and a key frame requested.
  std::shared_ptr<video::EncoderOutputContext> encoder =
      std::make_shared<video::EncoderOutputContext>();

  CaptureConfig current_config() {
    std::lock_guard guard(config_mutex);
    return config;
  }
  void store_config(const CaptureConfig& next) {
    std::lock_guard guard(config_mutex);
    config = next;
  }
  void close_bitrate_request() {
    std::optional<BitrateRequest> request;
    {
      std::lock_guard guard(bitrate_mutex);
      request = std::exchange(bitrate_slot, std::nullopt);
    }
    if (request) request->reply->close();
  }
};

// What one run owns besides the shared cells.
struct RunState {
  std::shared_ptr<RawFrameQueue> raw_frames;
  std::shared_ptr<RawAudioQueue> raw_audio;
  std::shared_ptr<EncodedVideoChannel> video;
  std::shared_ptr<ReplyCell<Result<void>>> start_reply;
  std::shared_ptr<std::atomic<bool>> panicked;
};

// The display capture's size is the display's own pixel size, whatever was
// asked: the encoder then never scales.
void resolve_physical_size(CaptureConfig& config, const DisplayDescriptor& display) {
  if (config.window_id || display.width == 0 || display.height == 0) return;
  if (config.width == display.width && config.height == display.height) return;
  KIVO_INFO(kTarget, "Display capture resolved physical size", log::field("display_id", display.id),
            log::field("previous_width", config.width),
            log::field("previous_height", config.height), log::field("width", display.width),
            log::field("height", display.height));
  config.width = display.width;
  config.height = display.height;
}

std::int64_t microseconds_of(std::chrono::steady_clock::time_point at) {
  return static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
}

// The capture worker of one run: owns the stream and the encoder.
class Worker {
 public:
  Worker(std::shared_ptr<PipelineCells> cells, RunState run, PipelinePorts ports)
      : cells_(std::move(cells)),
        run_(std::move(run)),
        ports_(std::move(ports)),
        emitter_(cells_->encoder) {}

  void run() {
    if (auto set_up = set_up_run(); !set_up) {
      run_.start_reply->send(fail(std::move(set_up).error()));
    } else {
      run_.start_reply->send(ok());
      if (auto looped = loop(); !looped) {
        KIVO_WARN(kTarget, "capture worker ended", log::field("error", looped.error()));
      }
    }
    finish();
  }

  // Ends the run after an escaping exception, as far as it can.
  void abandon() {
    run_.start_reply->close();
    cells_->running->store(false);
    run_.video->close();
  }

 private:
  Result<void> set_up_run() {
    config_ = cells_->current_config();
    auto stream = CaptureStream::setup(*ports_.source, config_,
                                       CaptureStreamCells{.running = cells_->running,
                                                          .audio_enabled = cells_->audio_enabled,
                                                          .counters = cells_->counters,
                                                          .raw_frames = run_.raw_frames,
                                                          .raw_audio = run_.raw_audio},
                                       CaptureStreamOptions{.clock = ports_.worker_clock});
    if (!stream) return fail(std::move(stream).error());
    stream_ = std::move(*stream);
    resolve_physical_size(config_, stream_->target().display);
    if (const auto& plan = stream_->target().window_plan) {
      config_.width = plan->width;
      config_.height = plan->height;
    }
    cells_->store_config(config_);
    return create_encoder(config_);
  }

  Result<void> create_encoder(const CaptureConfig& config) {
    auto encoder = video::VideoEncoder::create(*ports_.encoders, config, cells_->encoder);
    if (!encoder) return fail(std::move(encoder).error());
    encoder_ = std::move(*encoder);
    return ok();
  }

  bool active() const { return cells_->running->load() && !stream_->failed(); }

  Result<void> loop() {
    while (active()) {
      KIVO_TRY(apply_audio_request());
      KIVO_TRY(apply_reconfiguration());
      apply_bitrate_update();
      if (std::optional<RawFrame> frame = stream_->take_frame()) KIVO_TRY(encode(*frame));
      KIVO_TRY(drain());
    }
    if (stream_->failed()) KIVO_WARN(kTarget, "capture stream stopped");
    return ok();
  }

  Result<void> apply_audio_request() {
    std::optional<bool> request;
    {
      std::lock_guard guard(cells_->audio_request_mutex);
      request = std::exchange(cells_->audio_request, std::nullopt);
    }
    return stream_->apply_audio_request(request, config_);
  }

  Result<void> apply_reconfiguration() {
    std::optional<std::pair<CaptureConfig, std::uint64_t>> pending;
    {
      std::lock_guard guard(cells_->reconfigure_mutex);
      pending = std::exchange(cells_->pending_reconfiguration, std::nullopt);
    }
    if (!pending) return ok();
    CaptureConfig next = pending->first;
    resolve_physical_size(next, stream_->target().display);
    auto outcome = stream_->apply_reconfiguration(config_, next);
    if (!outcome) return fail(std::move(outcome).error());

    if (video::even_size(next.width, next.height) == encoder_->encoded_size()) {
      KIVO_TRY(encoder_->reconfigure_in_place(next));
    } else {
      KIVO_TRY(replace_encoder(next));
    }
    config_ = next;
    cells_->store_config(config_);
    cells_->geometry.clear();
    cells_->geometry.forget_target();
    generation_ = pending->second;
    return ok();
  }

  void apply_bitrate_update() {
    std::optional<BitrateRequest> request;
    {
      std::lock_guard guard(cells_->bitrate_mutex);
      request = std::exchange(cells_->bitrate_slot, std::nullopt);
    }
    if (!request) return;
    Result<void> applied = encoder_->apply_bitrate_update(request->config);
    if (applied) config_.bitrate_kbps = request->kbps;
    request->reply->send(std::move(applied));
  }

  // A new session at `config`'s size; what the old one still held is sent
  // first, and the new stream of pictures opens with a key frame.
  Result<void> replace_encoder(const CaptureConfig& config) {
    encoder_->tear_down();
    KIVO_TRY(drain());
    encoder_.reset();
    KIVO_TRY(create_encoder(config));
    cells_->stream_epoch.fetch_add(1);
    cells_->encoder->flags.awaiting.store(true);
    cells_->encoder->flags.request.store(true);
    return ok();
  }

  Result<void> encode(const RawFrame& frame) {
    const video::EncodedSize size =
        video::even_size(frame.pixel_buffer.width(), frame.pixel_buffer.height());
    if (size.width == 0 || size.height == 0) return ok();

    cells_->geometry.process_frame(
        PipelineGeometry::Frame{
            .pixel_width = size.width,
            .pixel_height = size.height,
            .content_rect_px = frame.content_rect_valid
                                   ? std::optional<protocol::Rect>(frame.content_rect)
                                   : std::nullopt,
            .screen_rect_points = frame.screen_rect},
        geometry_target(), config_, generation_);

    // Sources may deliver another size than configured (a window that was
    // resized, a screen whose mode changed): the session follows the frames.
    if (size != encoder_->encoded_size()) {
      CaptureConfig resized = config_;
      resized.width = size.width;
      resized.height = size.height;
      KIVO_INFO(kTarget, "capture frame size changed", log::field("width", size.width),
                log::field("height", size.height));
      KIVO_TRY(replace_encoder(resized));
    }
    const bool force_key_frame = cells_->encoder->flags.request.exchange(false);
    const PixelBuffer& image = frame.pixel_buffer;
    return encoder_->encode_frame(
        video::RawFrame{
            .pixel_format = video::kPixelFormatBgra,
            .image = video::BgraView{image.data(), image.width(), image.height(), image.stride()},
            .pts_us = microseconds_of(frame.presentation_time)},
        force_key_frame);
  }

  PipelineGeometry::Target geometry_target() const {
    const CaptureTarget& target = stream_->target();
    PipelineGeometry::Target geometry{.display_id = target.display.id,
                                      .display_bounds_points = target.display.frame,
                                      .window_source_rect_points = std::nullopt,
                                      .window_capture_bounds_points = std::nullopt};
    if (target.window && target.window_plan) {
      const protocol::Rect& source = target.window_plan->source_rect;
      geometry.window_source_rect_points = source;
      geometry.window_capture_bounds_points =
          protocol::Rect{.origin = {.x = target.window->frame.origin.x + source.origin.x,
                                    .y = target.window->frame.origin.y + source.origin.y},
                         .size = source.size};
    }
    return geometry;
  }

  Result<void> drain() {
    auto drained = emitter_.drain(cells_->stream_epoch.load(), [this](video::EncodedVideoFrame f) {
      const bool key_frame = f.key_frame;
      return run_.video->push(std::move(f), key_frame) != EncodedVideoChannel::Push::kClosed;
    });
    if (!drained) return fail(std::move(drained).error());
    if (*drained == video::DrainOutcome::kReceiverGone) cells_->running->store(false);
    return ok();
  }

  void finish() {
    cells_->running->store(false);
    if (stream_) {
      if (auto torn = stream_->teardown(); !torn) {
        KIVO_WARN(kTarget, "capture stream teardown failed", log::field("error", torn.error()));
      }
    }
    run_.raw_frames->close();
    run_.raw_audio->close();
    if (encoder_) {
      encoder_->tear_down();
      (void)drain();
      encoder_.reset();
    }
    (void)cells_->encoder->queue.take_all();
    cells_->close_bitrate_request();
    stream_.reset();
    run_.video->close();
  }

  std::shared_ptr<PipelineCells> cells_;
  RunState run_;
  PipelinePorts ports_;
  video::VideoEmitter emitter_;
  std::unique_ptr<CaptureStream> stream_;
  std::unique_ptr<video::VideoEncoder> encoder_;
  CaptureConfig config_;
  std::uint64_t generation_ = 0;
};

void run_worker(std::shared_ptr<PipelineCells> cells, RunState run, PipelinePorts ports) {
  const std::shared_ptr<std::atomic<bool>> panicked = run.panicked;
  Worker worker(std::move(cells), std::move(run), std::move(ports));
  try {
    worker.run();
  } catch (const std::exception& error) {
    KIVO_ERROR(kTarget, "capture worker panicked", log::field("error", error.what()));
    panicked->store(true);
    worker.abandon();
  } catch (...) {
    KIVO_ERROR(kTarget, "capture worker panicked");
    panicked->store(true);
    worker.abandon();
  }
}

class ScreenCapturePipeline final : public CapturePipeline {
 public:
  ScreenCapturePipeline(const CaptureConfig& config, PipelinePorts ports)
      : cells_(std::make_shared<PipelineCells>()), ports_(std::move(ports)) {
    cells_->config = config;
  }

  ~ScreenCapturePipeline() override { (void)stop(); }

  ScreenCapturePipeline(const ScreenCapturePipeline&) = delete;
  ScreenCapturePipeline& operator=(const ScreenCapturePipeline&) = delete;

  Result<CaptureOutputs> start() override {
    if (cells_->running->load()) {
      return fail(KivoError::invalid_message("capture pipeline already running"));
    }
    if (ports_.screen_access && !ports_.screen_access()) {
      return fail(KivoError::permission_denied("screen_recording"));
    }
    // A worker of an earlier run that ended by itself may still be tearing
    // down, and it shares the encoder's queue and the running flag with the
    // new run: it must be gone before the new one starts.
    if (worker_.joinable()) worker_.join();
    reset_run_state();

    const std::shared_ptr<video::EncoderOutputContext> encoder = cells_->encoder;
    auto request_key_frame = [weak = std::weak_ptr<video::EncoderOutputContext>(encoder)] {
      if (auto context = weak.lock()) context->flags.request.store(true);
    };
    RunState run{
        .raw_frames = std::make_shared<RawFrameQueue>(kRawFrameQueueLimit, *ports_.worker_clock),
        .raw_audio = std::make_shared<RawAudioQueue>(kRawAudioQueueLimit, *ports_.worker_clock),
        .video =
            std::make_shared<EncodedVideoChannel>(ports_.video_channel_limit, request_key_frame),
        .start_reply = std::make_shared<ReplyCell<Result<void>>>(),
        .panicked = std::make_shared<std::atomic<bool>>(false)};
    CaptureOutputs outputs{.video = run.video, .request_key_frame = request_key_frame};
    const std::shared_ptr<ReplyCell<Result<void>>> reply = run.start_reply;

    cells_->running->store(true);
    panicked_ = run.panicked;
    worker_ = std::thread(run_worker, cells_, std::move(run), ports_);

    const CaptureClock& clock = *ports_.worker_clock;
    std::optional<Result<void>> started;
    const auto wait = reply->wait_until(clock, clock.now() + kPipelineStartTimeout, started);
    if (wait == ReplyCell<Result<void>>::Wait::kValue && *started) return outputs;

    cells_->running->store(false);
    outputs.video->close();
    if (worker_.joinable()) worker_.join();
    if (wait == ReplyCell<Result<void>>::Wait::kTimedOut) {
      return fail(KivoError::invalid_message("screencapturekit start timed out"));
    }
    if (wait == ReplyCell<Result<void>>::Wait::kClosed) {
      return fail(KivoError::invalid_message("capture worker panicked"));
    }
    return fail(std::move(*started).error());
  }

  Result<void> stop() override {
    cells_->audio_enabled->store(false);
    cells_->running->store(false);
    bool panicked = false;
    if (worker_.joinable()) {
      worker_.join();
      panicked = panicked_ && panicked_->load();
    }
    {
      std::lock_guard guard(cells_->audio_sequence_mutex);
      cells_->audio_sequence.reset();
    }
    cells_->geometry.clear();
    if (panicked) return fail(KivoError::invalid_message("capture worker panicked"));
    return ok();
  }

  void request_keyframe() override { cells_->encoder->flags.request.store(true); }

  Result<std::uint64_t> reconfigure(const CaptureConfig& config) override {
    KIVO_TRY(video::validate_capture_config(config));
    cells_->store_config(config);
    std::uint64_t generation = 0;
    {
      std::lock_guard guard(cells_->reconfigure_mutex);
      generation = protocol::next_epoch(cells_->reconfigure_generation.load());
      cells_->reconfigure_generation.store(generation);
      cells_->pending_reconfiguration = std::make_pair(config, generation);
    }
    cells_->geometry.clear();
    return generation;
  }

  Result<void> set_target_bitrate(std::uint32_t kbps) override {
    if (kbps == 0) return fail(KivoError::invalid_message("capture bitrate must be non-zero"));
    if (!cells_->running->load()) {
      return fail(KivoError::permission_denied("agent.inactive-session"));
    }
    CaptureConfig config = cells_->current_config();
    config.bitrate_kbps = kbps;
    KIVO_TRY(video::validate_capture_config(config));

    auto reply = std::make_shared<ReplyCell<Result<void>>>();
    {
      std::lock_guard guard(cells_->bitrate_mutex);
      if (cells_->bitrate_slot) return fail(KivoError::congested());
      cells_->bitrate_slot = BitrateRequest{.reply = reply, .config = config, .kbps = kbps};
    }
    const CaptureClock& clock = *ports_.clock;
    std::optional<Result<void>> applied;
    const auto wait = reply->wait_until(clock, clock.now() + kBitrateUpdateTimeout, applied);
    if (wait != ReplyCell<Result<void>>::Wait::kValue) {
      {
        std::lock_guard guard(cells_->bitrate_mutex);
        if (cells_->bitrate_slot && cells_->bitrate_slot->reply == reply) {
          cells_->bitrate_slot.reset();
        }
      }
      return fail(KivoError::invalid_message(wait == ReplyCell<Result<void>>::Wait::kTimedOut
                                                 ? "capture bitrate update timed out"
                                                 : "capture bitrate update worker disconnected"));
    }
    if (!*applied) return fail(std::move(*applied).error());
    {
      std::lock_guard guard(cells_->config_mutex);
      cells_->config.bitrate_kbps = kbps;
    }
    request_keyframe();
    return ok();
  }

  Result<void> set_audio_enabled(bool enabled, AudioPacketSequence sequence) override {
    if (enabled && !sequence) {
      return fail(KivoError::invalid_message("audio capture enable requires a route sequence"));
    }
    // System audio is not captured on this platform yet: turning it on is
    // refused, turning it off is already true.
    if (enabled) return fail(KivoError::not_implemented("audio"));
    {
      std::lock_guard guard(cells_->audio_sequence_mutex);
      cells_->audio_sequence.reset();
    }
    cells_->audio_enabled->store(false);
    return ok();
  }

  protocol::CaptureStatus status() const override {
    const bool running = cells_->running->load();
    return protocol::CaptureStatus{.running = running,
                                   .backend = std::string(kPipelineBackend),
                                   .message_key = running ? "capture.running" : "capture.stopped"};
  }

  protocol::CaptureDiagnostics diagnostics() const override {
    protocol::CaptureDiagnostics diagnostics;
    diagnostics.stream_epoch = cells_->stream_epoch.load();
    cells_->counters->fill(diagnostics);
    // The encoder's share of the counters is kept in its output context.
    cells_->encoder->counters.fill(diagnostics);
    return diagnostics;
  }

  std::optional<protocol::CaptureGeometry> geometry() const override {
    return cells_->geometry.get();
  }

  std::shared_ptr<const std::atomic<bool>> running_flag() const override { return cells_->running; }

  Result<protocol::CaptureGeometry> wait_for_geometry(
      std::optional<std::uint64_t> expected_generation) override {
    const CaptureClock& clock = *ports_.clock;
    const CaptureClock::time_point begun = clock.now();
    const CaptureClock::time_point deadline = begun + kGeometryTimeout;
    std::mutex pause_mutex;
    std::condition_variable pause;
    const auto fail_with = [&](std::string_view text) -> Result<protocol::CaptureGeometry> {
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - begun);
      KIVO_WARN(kTarget, text, log::field("elapsed_ms", elapsed.count()),
                log::field("expected_reconfigure_generation",
                           expected_generation ? std::to_string(*expected_generation)
                                               : std::string("none")));
      return fail(KivoError::invalid_message(std::string(text)));
    };
    for (;;) {
      if (auto geometry = cells_->geometry.get();
          geometry &&
          (!expected_generation || geometry->reconfigure_generation == *expected_generation)) {
        return *geometry;
      }
      if (!cells_->running->load()) {
        return fail_with("capture stream stopped before geometry became available");
      }
      if (clock.now() >= deadline) return fail_with("capture geometry timed out");
      std::unique_lock lock(pause_mutex);
      clock.wait_until(lock, pause, clock.now() + kGeometryPoll, [] { return false; });
    }
  }

 private:
  void reset_run_state() {
    {
      std::lock_guard guard(cells_->reconfigure_mutex);
      cells_->pending_reconfiguration.reset();
      cells_->reconfigure_generation.store(0);
    }
    cells_->close_bitrate_request();
    {
      std::lock_guard guard(cells_->audio_request_mutex);
      cells_->audio_request.reset();
    }
    {
      std::lock_guard guard(cells_->audio_sequence_mutex);
      cells_->audio_sequence.reset();
    }
    cells_->audio_enabled->store(false);
    cells_->geometry.clear();
    cells_->geometry.restart_tracking();
    (void)cells_->encoder->queue.take_all();
    cells_->encoder->flags.awaiting.store(false);
    cells_->encoder->flags.request.store(true);
  }

  std::shared_ptr<PipelineCells> cells_;
  const PipelinePorts ports_;
  std::thread worker_;
  std::shared_ptr<std::atomic<bool>> panicked_;
};

}  // namespace

Result<std::unique_ptr<CapturePipeline>> create_pipeline(const protocol::CaptureConfig& config,
                                                         PipelinePorts ports) {
  KIVO_TRY(video::validate_capture_config(config));
  if (!ports.source || !ports.encoders) {
    return fail(KivoError::invalid_message("capture pipeline needs a screen source and encoders"));
  }
  if (!ports.clock) ports.clock = &CaptureClock::system();
  if (!ports.worker_clock) ports.worker_clock = &CaptureClock::system();
  return std::unique_ptr<CapturePipeline>(
      std::make_unique<ScreenCapturePipeline>(config, std::move(ports)));
}

}  // namespace kivo::capture
