// The capture commands: start, stop, reconfiguration and the pipeline knobs.
#include <optional>
#include <string>

#include "capture_session.hpp"
#include "command_handlers.hpp"
#include "kivo/core/log.hpp"
#include "kivo/protocol/epoch.hpp"
#include "routes.hpp"

namespace kivo::agent {
namespace {

using protocol::CaptureConfig;

// The capture target is the same when display and window ids both match
// (absent on both sides counts as a match); without a configuration, only a
// configuration naming neither matches.
bool same_capture_target(const std::optional<CaptureConfig>& current, const CaptureConfig& next) {
  const std::optional<std::uint32_t> display = current ? current->display_id : std::nullopt;
  const std::optional<std::uint32_t> window = current ? current->window_id : std::nullopt;
  return display == next.display_id && window == next.window_id;
}

// Reconfigures the running capture, or replaces it when the target changed.
// On success the epochs follow the stamp; on failure nothing moves.
Result<void> reconfigure_capture(CommandContext& context, const CaptureConfig& config) {
  AgentState& state = context.state;
  KIVO_TRY(require_pipeline(state));
  if (!same_capture_target(state.capture_config, config)) {
    return state.features->start_capture_session(state, config, context.stamp.capture_epoch);
  }

  auto generation = state.capture_pipeline->reconfigure(config);
  if (!generation) return fail(generation.error());
  state.capture_pipeline->request_keyframe();
  auto geometry = state.capture_pipeline->wait_for_geometry(*generation);
  if (!geometry) return fail(geometry.error());

  state.capture_epoch = context.stamp.capture_epoch;
  state.input_epoch = protocol::next_epoch(state.input_epoch);
  state.features->flush_input_queue(state);
  state.features->publish_capture_epoch(state);
  state.geometry = *geometry;
  state.capture_config = config;
  state.capture_status = state.capture_pipeline->status();
  return {};
}

}  // namespace

Handled handle(CommandContext& context, const protocol::StartCapture& command) {
  KIVO_TRY(context.state.features->start_capture_session(context.state, command.config,
                                                         context.stamp.capture_epoch));
  return reply_with(status_reply(context.state));
}

Handled handle(CommandContext& context, const protocol::StopCapture& command) {
  AgentState& state = context.state;
  if (command.capture_epoch != state.capture_epoch) {
    return reply_with(protocol::agent_msg::Stopped{});
  }
  state.desired_audio = false;
  KIVO_TRY(stop_capture_session(state, /*advance_input_epoch=*/true));
  return reply_with(status_reply(state));
}

Handled handle(CommandContext& context, const protocol::Reconfigure& command) {
  KIVO_TRY(reconfigure_capture(context, command.config));
  return reply_with(status_reply(context.state));
}

Handled handle(CommandContext& context, const protocol::SwitchToWindowCapture& command) {
  AgentState& state = context.state;
  KIVO_INFO("kivo_agent", "switch to window capture", log::field("window_id", command.window_id));
  // Raising the owner is a courtesy: the capture goes on without it.
  if (auto raised = state.features->activate_window_owner(command.window_id); !raised) {
    KIVO_DEBUG("kivo_agent", "failed to activate window owner before capture",
               log::field("window_id", command.window_id), log::field("error", raised.error()));
  }
  if (!state.capture_config) {
    return fail(KivoError::permission_denied(std::string(kInactiveSessionRefusal)));
  }
  CaptureConfig config = *state.capture_config;
  config.display_id.reset();
  config.window_id = command.window_id;
  KIVO_TRY(reconfigure_capture(context, config));
  KIVO_INFO("kivo_agent", "window capture reconfigured",
            log::field("window_id", command.window_id));
  return reply_with(status_reply(state));
}

Handled handle(CommandContext& context, const protocol::SwitchToMonitorCapture&) {
  AgentState& state = context.state;
  KIVO_INFO("kivo_agent", "switch to monitor capture");
  if (!state.capture_config) {
    return fail(KivoError::permission_denied(std::string(kInactiveSessionRefusal)));
  }
  CaptureConfig config = *state.capture_config;
  config.window_id.reset();
  if (!config.display_id) {
    auto main_display = state.features->main_display_id();
    if (!main_display) return fail(main_display.error());
    config.display_id = *main_display;
  }
  KIVO_TRY(reconfigure_capture(context, config));
  return reply_with(status_reply(state));
}

Handled handle(CommandContext& context, const protocol::RequestKeyframe&) {
  KIVO_TRY(require_pipeline(context.state));
  context.state.capture_pipeline->request_keyframe();
  return reply_with(status_reply(context.state));
}

Handled handle(CommandContext& context, const protocol::SetAudioEnabled& command) {
  AgentState& state = context.state;
  // Remembered first, so that a capture started later applies it.
  state.desired_audio = command.enabled;
  KIVO_TRY(require_pipeline(state));
  KIVO_TRY(state.capture_pipeline->set_audio_enabled(
      command.enabled, command.enabled ? state.audio_packet_sequence : nullptr));
  state.capture_status = state.capture_pipeline->status();
  return reply_with(status_reply(state));
}

Handled handle(CommandContext& context, const protocol::QueryGeometry&) {
  const AgentState& state = context.state;
  protocol::agent_msg::Geometry reply;
  if (state.capture_pipeline) reply.geometry = state.capture_pipeline->geometry();
  reply.geometry_epoch = reply.geometry ? reply.geometry->epoch : 0;
  return reply_with(std::move(reply));
}

Handled handle(CommandContext& context, const protocol::SetTargetBitrate& command) {
  AgentState& state = context.state;
  auto route = state.routes.resolve_route(command.route_id);
  if (!route) return fail(route.error());
  KIVO_TRY(require_host_route(*route));
  if (command.bitrate_bps == 0 || command.bitrate_bps % 1000 != 0) {
    return fail(KivoError::invalid_message("bitrate_bps must be a positive whole kbps value"));
  }
  KIVO_TRY(require_pipeline(state));

  const std::uint32_t kbps = command.bitrate_bps / 1000;
  KIVO_TRY(state.capture_pipeline->set_target_bitrate(kbps));
  state.capture_pipeline->request_keyframe();
  if (state.capture_config) state.capture_config->bitrate_kbps = kbps;
  state.capture_status = state.capture_pipeline->status();
  return reply_with(protocol::agent_msg::BitrateApplied{.route_id = command.route_id,
                                                        .bitrate_bps = command.bitrate_bps});
}

}  // namespace kivo::agent
