#include "capture_session.hpp"

#include <memory>
#include <utility>

#include "kivo/core/log.hpp"
#include "kivo/protocol/epoch.hpp"

namespace kivo::agent {
namespace {

constexpr std::string_view kTarget = "kivo_agent";

// Retires a pipeline that never became the running capture.
void discard(std::unique_ptr<capture::CapturePipeline> pipeline) {
  if (!pipeline) return;
  if (auto stopped = pipeline->stop(); !stopped) {
    KIVO_WARN(kTarget, "failed to stop abandoned capture", log::field("error", stopped.error()));
  }
}

}  // namespace

Result<void> start_capture_session(AgentState& state, const protocol::CaptureConfig& config,
                                   std::uint64_t capture_epoch,
                                   const PipelineFactory& create_pipeline) {
  auto granted = state.features->preflight_screen_capture();
  if (!granted) return fail(std::move(granted).error());
  if (!*granted) return fail(KivoError::permission_denied("agent.screen-denied"));
  if (config.window_id && !state.sender) {
    return fail(KivoError::invalid_message("agent.window-capture-reporter"));
  }

  auto created = create_pipeline(config);
  if (!created) return fail(std::move(created).error());
  std::unique_ptr<capture::CapturePipeline> pipeline = std::move(*created);
  auto outputs = pipeline->start();
  if (!outputs) return fail(std::move(outputs).error());
  auto geometry = pipeline->wait_for_geometry(std::nullopt);
  if (!geometry) {
    discard(std::move(pipeline));
    return fail(std::move(geometry).error());
  }
  if (config.window_id && !pipeline->running_flag()) {
    discard(std::move(pipeline));
    return fail(KivoError::invalid_message("capture backend does not expose running status"));
  }

  // From here on the previous capture is gone.
  if (auto stopped = stop_capture_session(state, /*advance_input_epoch=*/false); !stopped) {
    discard(std::move(pipeline));
    return fail(std::move(stopped).error());
  }
  state.capture_epoch = capture_epoch;
  state.input_epoch = protocol::next_epoch(state.input_epoch);
  state.features->flush_input_queue(state);
  state.shared_capture_epoch->store(capture_epoch);
  state.audio_packet_sequence->store(0);

  if (state.media_writer) {
    auto writers =
        VideoWriters::start(VideoWriterInputs{.agent_generation = state.agent_generation,
                                              .capture_epoch = state.shared_capture_epoch,
                                              .outputs = *outputs,
                                              .writer = state.media_writer,
                                              .diagnostics = state.media_diagnostics});
    if (!writers) {
      // The stopped status describes the state truly: no capture runs.
      discard(std::move(pipeline));
      return fail(std::move(writers).error());
    }
    state.video_writers = std::move(*writers);
  }

  state.geometry = *geometry;
  state.capture_status = pipeline->status();
  state.capture_pipeline = std::move(pipeline);
  // The configuration describes the installed pipeline even when audio
  // below fails.
  state.capture_config = config;

  if (state.desired_audio) {
    auto enabled = state.capture_pipeline->set_audio_enabled(true, state.audio_packet_sequence);
    if (!enabled && enabled.error().kind() == KivoError::Kind::kNotImplemented) {
      // A platform without system audio still streams the screen: the
      // capture started, and "set_audio_enabled" reports the refusal itself.
      KIVO_WARN(kTarget, "capture started without audio", log::field("error", enabled.error()));
    } else if (!enabled) {
      return fail(std::move(enabled).error());
    }
    state.capture_status = state.capture_pipeline->status();
  }
  // Input can follow at once rather than at the next maintenance tick.
  state.features->input_capture_started(state);
  return ok();
}

void publish_capture_epoch(AgentState& state) {
  state.shared_capture_epoch->store(state.capture_epoch);
}

Result<void> stop_capture_session(AgentState& state, bool advance_input_epoch) {
  state.features->stop_input_worker(state);
  std::unique_ptr<VideoWriters> video_writers = std::move(state.video_writers);
  if (video_writers) video_writers->request_stop();
  state.geometry.reset();
  state.capture_config.reset();
  if (advance_input_epoch) {
    state.input_epoch = protocol::next_epoch(state.input_epoch);
    state.features->flush_input_queue(state);
  }
  Result<void> result;
  if (std::unique_ptr<capture::CapturePipeline> pipeline = std::move(state.capture_pipeline)) {
    result = pipeline->stop();
    state.capture_status = pipeline->status();
  } else {
    state.capture_status = stopped_capture_status();
  }
  if (video_writers && !video_writers->join()) {
    KIVO_WARN(kTarget, "bridge thread panicked", log::field("bridge", "video"));
  }
  state.features->restore_physical_display_mode("stop_capture");
  return result;
}

}  // namespace kivo::agent
