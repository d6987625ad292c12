// RouteWire: one route of a "replace_routes" command, the grant under which
// the agent acts for a remote peer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

struct RouteWire {
  std::uint64_t route_id = 0;
  std::string peer_id;
  // 0 means the peer has no authorised connection.
  std::uint64_t connection_generation = 0;
  // "host" or "controller" grant rights; any other value grants none.
  std::string role;
  std::optional<std::string> session_id;
  std::optional<std::string> attempt_id;
  bool clipboard_desired = false;
  bool audio_desired = false;
  friend bool operator==(const RouteWire&, const RouteWire&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::RouteWire> {
  using T = kivo::protocol::RouteWire;
  static constexpr std::string_view name = "RouteWire";
  static constexpr auto fields = std::make_tuple(
      field("route_id", &T::route_id), field("peer_id", &T::peer_id),
      field("connection_generation", &T::connection_generation), field("role", &T::role),
      field("session_id", &T::session_id), field("attempt_id", &T::attempt_id),
      field("clipboard_desired", &T::clipboard_desired), field("audio_desired", &T::audio_desired));
};
