// Why the agent process failed: a message with the chain of contexts that led
// to it, outermost first, as written to standard error after "Error: ".
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kivo/core/error.hpp"

namespace kivo::agent {

class AgentFailure {
 public:
  explicit AgentFailure(std::string message) { chain_.push_back(std::move(message)); }
  explicit AgentFailure(const KivoError& cause) : AgentFailure(cause.display()) {}

  // Puts `outer` in front: "failed to X", caused by what was there.
  AgentFailure& context(std::string_view outer) & {
    chain_.insert(chain_.begin(), std::string(outer));
    return *this;
  }
  AgentFailure&& context(std::string_view outer) && { return std::move(context(outer)); }

  // The outermost message alone.
  const std::string& message() const { return chain_.front(); }
  const std::vector<std::string>& chain() const { return chain_; }

  // "Error: <outermost>", then "Caused by:" and each cause indented.
  std::string report() const;

  friend bool operator==(const AgentFailure&, const AgentFailure&) = default;

 private:
  std::vector<std::string> chain_;
};

}  // namespace kivo::agent
