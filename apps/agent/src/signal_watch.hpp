// SIGTERM and SIGINT as readable descriptors. The two signals are blocked in
// the main thread before any other thread starts, so every thread inherits
// the mask and only the runtime's wait ever sees them.
#pragma once

#include "agent_failure.hpp"
#include "kivo/core/result.hpp"
#include "kivo/xpc/unique_fd.hpp"

namespace kivo::agent {

// Blocks SIGTERM and SIGINT in the calling thread and ignores SIGPIPE (a
// peer that went away shows up as EPIPE on the write instead).
void block_shutdown_signals();

struct ShutdownSignals {
  xpc::UniqueFd terminate;  // readable once SIGTERM arrived
  xpc::UniqueFd interrupt;  // readable once SIGINT arrived
};

// The descriptors; failures read "failed to listen for SIGTERM" and
// "failed to listen for ctrl-c".
Expected<ShutdownSignals, AgentFailure> listen_for_shutdown_signals();

// Consumes one pending signal from a descriptor of listen_for_shutdown_signals.
void consume_signal(int fd);

}  // namespace kivo::agent
