// The input commands: remote events, input resets and the lock screen.
#include <string>
#include <variant>

#include "command_handlers.hpp"
#include "kivo/core/log.hpp"
#include "kivo/protocol/agent_error.hpp"
#include "kivo/protocol/epoch.hpp"

namespace kivo::agent {
namespace {

DispatchOutcome refused(protocol::AgentError error) {
  return reply_with(protocol::agent_msg::Error{.error = std::move(error)});
}

}  // namespace

Handled handle(CommandContext& context, const protocol::LockScreen&) {
  const SessionClaim claim = context.state.session_claim();
  if (!claim.console_and_logged_in()) {
    KIVO_DEBUG("kivo_agent", "skipping lock screen for non-console session",
               log::field("claim_on_console", tri_state_text(claim.on_console)),
               log::field("claim_login_done", tri_state_text(claim.login_done)));
    return no_reply();
  }
  KIVO_TRY(context.state.features->post_lock_screen());
  return no_reply();
}

Handled handle(CommandContext& context, const protocol::InjectInput& command) {
  AgentState& state = context.state;
  auto may_post = state.features->preflight_post_event();
  if (!may_post) return fail(may_post.error());
  if (!*may_post) return fail(KivoError::permission_denied(std::string(kInputDeniedRefusal)));
  KIVO_TRY(require_pipeline(state));
  const std::optional<protocol::CaptureGeometry> geometry = state.capture_pipeline->geometry();

  if (command.input_epoch != state.input_epoch) {
    return refused(protocol::stale_input_epoch_error(state.input_epoch, command.input_epoch));
  }
  if (state.graphics_snapshot().state != GraphicsState::kReady) {
    return fail(KivoError::not_connected());
  }
  if (!state.features->input_worker_running()) return fail(KivoError::not_connected());

  if (protocol::is_positioned_mouse_event(command.event)) {
    if (!geometry) return refused(protocol::geometry_unavailable_error());
    if (command.geometry_epoch != geometry->epoch) {
      return refused(protocol::stale_geometry_epoch_error(*geometry, command.geometry_epoch));
    }
  }
  if (auto queued = state.features->enqueue_input(state, context.stamp, command, geometry);
      !queued) {
    return refused(queued.error());
  }
  return reply_with(protocol::agent_msg::InputAccepted{.input_epoch = state.input_epoch});
}

Handled handle(CommandContext& context, const protocol::ResetInput& command) {
  AgentState& state = context.state;
  if (command.input_epoch != state.input_epoch) {
    return fail(KivoError::invalid_message(fmt::format("stale input epoch: expected {}, got {}",
                                                       state.input_epoch, command.input_epoch)));
  }
  state.input_epoch = protocol::next_epoch(state.input_epoch);
  state.features->flush_input_queue(state);
  return reply_with(protocol::agent_msg::InputAccepted{.input_epoch = state.input_epoch});
}

}  // namespace kivo::agent
