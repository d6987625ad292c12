// AgentStamp: the agent generation and capture epoch that stamp every
// document between the service and the agent.
#pragma once

#include <cstdint>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

struct AgentStamp {
  std::uint64_t agent_generation = 0;
  std::uint64_t capture_epoch = 0;
  friend bool operator==(const AgentStamp&, const AgentStamp&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::AgentStamp> {
  using T = kivo::protocol::AgentStamp;
  static constexpr std::string_view name = "AgentStamp";
  static constexpr auto fields = std::make_tuple(field("agent_generation", &T::agent_generation),
                                                 field("capture_epoch", &T::capture_epoch));
};
