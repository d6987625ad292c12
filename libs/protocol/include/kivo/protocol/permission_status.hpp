// PermissionStatus: the agent's screen-recording and accessibility access, and
// whether a request for each is on screen, as answered to "query_permission"
// and sent whenever a request settles.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"
#include "kivo/protocol/string_enum.hpp"

namespace kivo::protocol {

enum class PermissionAccess : std::uint8_t {
  kGranted,
  kRequired,
  kUnsupported,
};

template <>
struct StringEnum<PermissionAccess> {
  static constexpr std::array<std::string_view, 3> names{"granted", "required", "unsupported"};
};

struct PermissionState {
  PermissionAccess state = PermissionAccess::kRequired;
  bool request_in_flight = false;
  friend bool operator==(const PermissionState&, const PermissionState&) = default;
};

struct PermissionStatus {
  PermissionState screen_recording;
  PermissionState accessibility;
  friend bool operator==(const PermissionStatus&, const PermissionStatus&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::PermissionState> {
  using T = kivo::protocol::PermissionState;
  static constexpr std::string_view name = "PermissionState";
  static constexpr auto fields =
      std::make_tuple(field("state", &T::state), field("request_in_flight", &T::request_in_flight));
};

template <>
struct kivo::json::Record<kivo::protocol::PermissionStatus> {
  using T = kivo::protocol::PermissionStatus;
  static constexpr std::string_view name = "PermissionStatus";
  static constexpr auto fields = std::make_tuple(field("screen_recording", &T::screen_recording),
                                                 field("accessibility", &T::accessibility));
};
