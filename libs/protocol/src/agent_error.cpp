#include "kivo/protocol/agent_error.hpp"

#include <fmt/format.h>

#include <utility>

namespace kivo::protocol {
namespace {

AgentError make(AgentErrorCode code, std::string_view message_key,
                std::optional<std::string> detail) {
  AgentError error;
  error.code = code;
  error.message_key = std::string(message_key);
  error.detail = std::move(detail);
  return error;
}

AgentError protocol_error(std::string_view message_key, const KivoError& error) {
  return make(AgentErrorCode::kProtocol, message_key, error.display());
}

// Refusals the service presents as a permission problem of its own: the text
// is the localisation key and there is nothing more to say.
std::optional<AgentErrorCode> permission_code(std::string_view text) {
  if (text == "screen_recording" || text == "agent.screen-denied") {
    return AgentErrorCode::kScreenDenied;
  }
  if (text == "agent.input-denied") return AgentErrorCode::kInputDenied;
  if (text == "agent.inactive-session") return AgentErrorCode::kInactiveSession;
  return std::nullopt;
}

}  // namespace

AgentError agent_error_from(const KivoError& error) {
  using Kind = KivoError::Kind;
  switch (error.kind()) {
    case Kind::kPermissionDenied:
      if (std::optional<AgentErrorCode> code = permission_code(error.text())) {
        return make(*code, error.text(), std::nullopt);
      }
      return protocol_error("error.permission_denied", error);
    case Kind::kNotImplemented:
      return make(AgentErrorCode::kUnsupported, "error.not_implemented", error.text());
    case Kind::kUnsupported:
      return make(AgentErrorCode::kUnsupported, "error.unsupported", error.text());
    case Kind::kNotConnected:
      return protocol_error("error.not_connected", error);
    case Kind::kCongested:
      return protocol_error("error.congested", error);
    case Kind::kInvalidMessage:
      return protocol_error("error.invalid_message", error);
    case Kind::kDatabase:
      return protocol_error("error.database", error);
    case Kind::kIo:
      return protocol_error("error.io", error);
    case Kind::kJson:
      return protocol_error("error.invalid_message", error);
  }
  // Unreachable for the kinds above; a kind added later still yields an
  // answer the service understands.
  return protocol_error("error.invalid_message", error);
}

AgentError stale_input_epoch_error(std::uint64_t expected, std::uint64_t got) {
  return make(AgentErrorCode::kProtocol, "agent.stale_input_epoch",
              fmt::format("stale input epoch: expected {}, got {}", expected, got));
}

AgentError stale_geometry_epoch_error(const CaptureGeometry& current, std::uint64_t got) {
  AgentError error =
      make(AgentErrorCode::kProtocol, "agent.stale_geometry_epoch",
           fmt::format("stale geometry epoch: expected {}, got {}", current.epoch, got));
  error.latest_geometry = current;
  return error;
}

AgentError geometry_unavailable_error() {
  return make(AgentErrorCode::kProtocol, "agent.geometry_unavailable", "geometry unavailable");
}

AgentError input_out_of_bounds_error() {
  return make(AgentErrorCode::kProtocol, "agent.input_out_of_bounds",
              "input coordinates are outside capture content rect");
}

}  // namespace kivo::protocol
