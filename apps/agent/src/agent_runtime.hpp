// run_agent_runtime: the agent's life after logging has started. The start-up
// gate, the connection and hello, the sockets and worker threads, the wait
// for a shutdown request, and the ordered cleanup.
#pragma once

#include <functional>
#include <memory>

#include "agent_failure.hpp"
#include "agent_features.hpp"
#include "graphics_snapshot.hpp"
#include "kivo/core/result.hpp"
#include "session_claim.hpp"
#include "shutdown_channel.hpp"
#include "signal_watch.hpp"
#include "window_server_probe.hpp"

namespace kivo::agent {

struct RuntimeEnvironment {
  // The claim sampled at start-up, sent with the hello.
  SessionClaim claim;
  // A fresh claim, for "lock_screen".
  std::function<SessionClaim()> sample_claim;
  std::function<std::unique_ptr<AgentFeatures>()> make_features;
  // Shared with whoever else may ask for shutdown (the status item).
  ShutdownChannel& shutdown;
  // The probe the graphics supervisor watches the X server with; the
  // default connects to $DISPLAY.
  std::function<std::unique_ptr<WindowServerProbe>()> make_window_server_probe = {};
};

// Success for a quit (the service's, remembered by the quitting flag, or a
// signal) and for a start-up gate that says exit; otherwise the failure.
Expected<void, AgentFailure> run_agent_runtime(RuntimeEnvironment environment);

}  // namespace kivo::agent
