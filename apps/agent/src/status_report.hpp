// The "status" reply: capture status, geometry, input epoch and diagnostics
// with the agent's own counters and the health of graphics, input and
// clipboard.
#pragma once

#include <cstdint>

#include "agent_state.hpp"
#include "kivo/protocol/agent_message.hpp"

namespace kivo::agent {

// Built under the AgentState lock; cannot fail. `now_unix_ms` stamps the
// graphics failure, which is observed when it is reported.
protocol::agent_msg::Status build_status_report(const AgentState& state, std::uint64_t now_unix_ms);

}  // namespace kivo::agent
