#include "agent_state.hpp"

#include "kivo/core/log.hpp"

namespace kivo::agent {

protocol::CaptureStatus stopped_capture_status() {
  return protocol::CaptureStatus{
      .running = false, .backend = "agent.sck-vt", .message_key = "capture.stopped"};
}

std::filesystem::path default_received_root() {
  std::error_code error;
  std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
  if (error) temporary = "/tmp";
  std::filesystem::path resolved = std::filesystem::canonical(temporary, error);
  return (error ? temporary : resolved) / "kivo-clipboard";
}

AgentState::AgentState(std::unique_ptr<AgentFeatures> engines) : features(std::move(engines)) {}

AgentState::~AgentState() {
  // The display mode goes back to the user's once more, whatever happened.
  if (features) features->restore_physical_display_mode("runtime_drop");
}

}  // namespace kivo::agent
