// The command loop ("kivo-agent-xpc-runtime"): one envelope at a time from
// the inbound queue, dispatched under the AgentState lock, its documents sent
// after the lock is released.
#pragma once

#include <atomic>

#include "agent_state.hpp"
#include "document_sender.hpp"
#include "kivo/xpc/service_inbound.hpp"
#include "shutdown_channel.hpp"

namespace kivo::agent {

struct CommandLoopContext {
  xpc::InboundQueue& inbound;
  SharedAgentState& shared;
  DocumentSender& sender;
  ShutdownChannel& shutdown;
  const std::atomic<bool>& quitting;
};

// Returns when the loop ends: after "quit", the end of the connection, a
// closed queue, a failed send, or an envelope found once cleanup has begun.
void run_command_loop(CommandLoopContext context);

}  // namespace kivo::agent
