// AgentError: the value of an "error" reply. Most are made from the KivoError
// a command failed with (agent_error_from); the refusals of "inject_input"
// are built directly by the functions below.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "kivo/core/error.hpp"
#include "kivo/core/json_codec.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/string_enum.hpp"

namespace kivo::protocol {

enum class AgentErrorCode : std::uint8_t {
  kNoAgent,
  kScreenDenied,
  kInputDenied,
  kInactiveSession,
  kSecureInputRejected,
  kProtocol,
  kUnsupported,
};

template <>
struct StringEnum<AgentErrorCode> {
  static constexpr std::array<std::string_view, 7> names{
      "no_agent", "screen_denied", "input_denied", "inactive_session", "secure_input_rejected",
      "protocol", "unsupported"};
};

struct AgentError {
  AgentErrorCode code = AgentErrorCode::kProtocol;
  std::string message_key;  // a localisation key ("error.invalid_message")
  std::optional<std::string> detail;
  std::optional<CaptureGeometry> latest_geometry;
  friend bool operator==(const AgentError&, const AgentError&) = default;
};

// The "error" reply to a command that failed with `error`. Permission refusals
// the service shows as such keep their own text as the key; every other kind
// has a fixed key and carries the error's text as detail. Never carries a
// geometry.
AgentError agent_error_from(const KivoError& error);

// "agent.stale_input_epoch": the command's input epoch is not the agent's.
AgentError stale_input_epoch_error(std::uint64_t expected, std::uint64_t got);
// "agent.stale_geometry_epoch": the command was aimed at another geometry; the
// current one travels along so the service can map its coordinates again.
AgentError stale_geometry_epoch_error(const CaptureGeometry& current, std::uint64_t got);
// "agent.geometry_unavailable": no capture geometry to map input onto.
AgentError geometry_unavailable_error();
// "agent.input_out_of_bounds": the position lies outside the content rectangle.
AgentError input_out_of_bounds_error();

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::AgentError> {
  using T = kivo::protocol::AgentError;
  static constexpr std::string_view name = "AgentError";
  static constexpr auto fields =
      std::make_tuple(field("code", &T::code), field("message_key", &T::message_key),
                      field("detail", &T::detail), field("latest_geometry", &T::latest_geometry));
};
