#include "capture_session.hpp"

#include <memory>
#include <utility>

#include "kivo/protocol/epoch.hpp"

namespace kivo::agent {

Result<void> stop_capture_session(AgentState& state, bool advance_input_epoch) {
  state.features->stop_input_worker(state);
  state.geometry.reset();
  state.capture_config.reset();
  if (advance_input_epoch) {
    state.input_epoch = protocol::next_epoch(state.input_epoch);
    state.features->flush_input_queue(state);
  }

  Result<void> result;
  if (std::unique_ptr<capture::CapturePipeline> pipeline = std::move(state.capture_pipeline)) {
    result = pipeline->stop();
    state.capture_status = pipeline->status();
  } else {
    state.capture_status = stopped_capture_status();
  }

  state.features->restore_physical_display_mode("stop_capture");
  return result;
}

}  // namespace kivo::agent
