// Retiring a capture: the procedure behind "stop_capture", the start of a
// replacement capture, and the runtime's cleanup.
#pragma once

#include "agent_state.hpp"
#include "kivo/core/result.hpp"

namespace kivo::agent {

// Stops the input worker, forgets the geometry and configuration, advances
// the input epoch when `advance_input_epoch`, stops and drops the pipeline
// and puts the physical display mode back. Never stops half-way; the result
// is the pipeline's stop result.
Result<void> stop_capture_session(AgentState& state, bool advance_input_epoch);

}  // namespace kivo::agent
