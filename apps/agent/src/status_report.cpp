#include "status_report.hpp"

#include <utility>

namespace kivo::agent {
namespace {

using protocol::AgentCapabilityHealth;
using protocol::CapabilityHealthState;

AgentCapabilityHealth stamped_health(const AgentState& state, CapabilityHealthState health) {
  AgentCapabilityHealth record;
  record.state = health;
  record.agent_generation = state.agent_generation;
  record.capture_epoch = state.capture_epoch;
  record.input_epoch = state.input_epoch;
  return record;
}

AgentCapabilityHealth graphics_health(const AgentState& state, const GraphicsSnapshot& graphics,
                                      std::uint64_t now_unix_ms) {
  CapabilityHealthState health = CapabilityHealthState::kStarting;
  if (graphics.state == GraphicsState::kReady) health = CapabilityHealthState::kReady;
  if (graphics.state == GraphicsState::kLost) health = CapabilityHealthState::kLost;
  AgentCapabilityHealth record = stamped_health(state, health);
  record.failure_count = graphics.failure_count;
  if (graphics.failure_text) {
    record.last_error = protocol::CaptureErrorRecord{.domain = "graphics",
                                                     .code = 0,
                                                     .detail = graphics.failure_text,
                                                     .observed_unix_ms = now_unix_ms};
  }
  return record;
}

CapabilityHealthState input_state(const AgentState& state, GraphicsState graphics,
                                  const InputWorkerReport& input) {
  if (!state.capture_pipeline) return CapabilityHealthState::kStopped;
  if (graphics == GraphicsState::kLost) return CapabilityHealthState::kLost;
  if (graphics != GraphicsState::kReady) return CapabilityHealthState::kStarting;
  if (input.worker_running) return CapabilityHealthState::kReady;
  if (input.last_failure || input.current_generation_exit_failure) {
    return CapabilityHealthState::kUnavailable;
  }
  return CapabilityHealthState::kStarting;
}

AgentCapabilityHealth input_health(const AgentState& state, GraphicsState graphics,
                                   const InputWorkerReport& input) {
  AgentCapabilityHealth record = stamped_health(state, input_state(state, graphics, input));
  record.worker_generation = input.worker_generation;
  record.restart_count = input.restart_count;
  record.failure_count = input.failure_count;
  record.post_attempts = input.post_attempts;
  record.last_error = input.current_generation_exit_failure ? input.current_generation_exit_failure
                                                            : input.last_failure;
  return record;
}

AgentCapabilityHealth clipboard_health(const AgentState& state,
                                       const ClipboardHealthReport& clipboard) {
  if (clipboard.state == CapabilityHealthState::kUnknown) return AgentCapabilityHealth{};
  AgentCapabilityHealth record = stamped_health(state, clipboard.state);
  record.failure_count = clipboard.failure_count;
  record.last_error = clipboard.last_failure;
  return record;
}

}  // namespace

protocol::agent_msg::Status build_status_report(const AgentState& state,
                                                std::uint64_t now_unix_ms) {
  protocol::agent_msg::Status report;
  protocol::CaptureDiagnostics diagnostics;
  if (state.capture_pipeline) {
    report.status = state.capture_pipeline->status();
    report.geometry = state.capture_pipeline->geometry();
    diagnostics = state.capture_pipeline->diagnostics();
  } else {
    report.status = state.capture_status;
  }

  diagnostics.agent_generation = state.agent_generation;
  diagnostics.capture_epoch = state.capture_epoch;

  const MediaDiagnostics& media = *state.media_diagnostics;
  diagnostics.agent_write_ok_frames = media.write_counters().ok_frames.load();
  diagnostics.agent_write_ok_bytes = media.write_counters().ok_bytes.load();
  diagnostics.last_media_error = media.last_error();

  const GraphicsSnapshot graphics = state.graphics_snapshot();
  diagnostics.graphics_health = graphics_health(state, graphics, now_unix_ms);
  diagnostics.input_health =
      input_health(state, graphics.state, state.features->input_worker_report());
  diagnostics.clipboard_health = clipboard_health(state, state.features->clipboard_health());

  report.input_epoch = state.input_epoch;
  report.diagnostics = std::move(diagnostics);
  return report;
}

}  // namespace kivo::agent
