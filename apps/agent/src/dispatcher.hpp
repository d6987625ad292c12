// The dispatch of the service's commands: the checks each command runs
// first, the feature work it hands on, and the reply it names.
#pragma once

#include "agent_features.hpp"
#include "agent_state.hpp"
#include "kivo/protocol/service_message.hpp"
#include "kivo/protocol/stamp.hpp"

namespace kivo::agent {

// Runs one command with the AgentState lock held. A failure is already
// shaped as the "error" reply. "quit" is the command loop's and must not
// come here.
DispatchOutcome dispatch_service_message(AgentState& state, const protocol::AgentStamp& stamp,
                                         const protocol::ServiceToAgent& command);

}  // namespace kivo::agent
