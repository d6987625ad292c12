#include "agent_failure.hpp"

namespace kivo::agent {

std::string AgentFailure::report() const {
  std::string text = "Error: " + chain_.front() + "\n";
  if (chain_.size() == 1) return text;
  text += "\nCaused by:\n";
  for (std::size_t i = 1; i < chain_.size(); ++i) text += "    " + chain_[i] + "\n";
  return text;
}

}  // namespace kivo::agent
