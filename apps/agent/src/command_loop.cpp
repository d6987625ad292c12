#include "command_loop.hpp"

#include <mutex>
#include <variant>

#include "dispatcher.hpp"
#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

// Sends the reply (with the request id) and then the follow-ups, all under
// the envelope's stamp. False when a send failed; the rest is dropped.
bool send_outcome(const CommandLoopContext& context, const protocol::ServiceEnvelope& envelope,
                  const DispatchOutcome& outcome) {
  auto send = [&](std::optional<std::uint64_t> request_id, const protocol::AgentMessage& message) {
    auto sent = context.sender.send(request_id, envelope.stamp, message);
    if (sent) return true;
    KIVO_WARN("kivo_agent", "failed to send agent response over XPC",
              log::field("error", sent.error()));
    context.shutdown.post(ShutdownRequest::xpc_terminated(context.quitting.load(), "send_failed"));
    return false;
  };
  if (outcome.reply && !send(envelope.request_id, *outcome.reply)) return false;
  for (const protocol::AgentMessage& follow_up : outcome.follow_ups) {
    if (!send(std::nullopt, follow_up)) return false;
  }
  return true;
}

}  // namespace

void run_command_loop(CommandLoopContext context) {
  while (std::optional<xpc::ServiceInbound> item = context.inbound.pop()) {
    if (const auto* ended = std::get_if<xpc::InboundTerminated>(&*item)) {
      context.shutdown.post(ShutdownRequest::xpc_terminated(ended->quitting, ended->reason));
      return;
    }
    const protocol::ServiceEnvelope& envelope = std::get<xpc::InboundEnvelope>(*item).envelope;
    if (std::holds_alternative<protocol::Quit>(envelope.message)) {
      context.shutdown.post(ShutdownRequest::service_quit());
      return;
    }

    DispatchOutcome outcome;
    {
      std::lock_guard lock(context.shared.mutex);
      // Cleanup has begun: a late command (a "start_capture", say) must not
      // undo what it tore down.
      if (context.shared.state.shutting_down) return;
      outcome = dispatch_service_message(context.shared.state, envelope.stamp, envelope.message);
    }
    if (!send_outcome(context, envelope, outcome)) return;
  }
}

}  // namespace kivo::agent
