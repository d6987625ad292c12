// The maintenance loop ("kivo-agent-clipboard-poll"): every 400 ms one
// maintenance tick under the AgentState lock, its documents sent after the
// lock is released.
#pragma once

#include <atomic>
#include <chrono>

#include "agent_state.hpp"
#include "document_sender.hpp"
#include "shutdown_channel.hpp"
#include "stop_signal.hpp"

namespace kivo::agent {

inline constexpr std::chrono::milliseconds kMaintenancePeriod{400};

struct MaintenanceLoopContext {
  SharedAgentState& shared;
  DocumentSender& sender;
  ShutdownChannel& shutdown;
  const std::atomic<bool>& quitting;
  StopSignal& stop;
  std::chrono::milliseconds period = kMaintenancePeriod;
};

// One tick: false when a send failed (shutdown has been asked for).
bool run_maintenance_tick(const MaintenanceLoopContext& context);

// Ticks until the stop signal or a failed send.
void run_maintenance_loop(const MaintenanceLoopContext& context);

}  // namespace kivo::agent
