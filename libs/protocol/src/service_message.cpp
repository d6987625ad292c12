#include "kivo/protocol/service_message.hpp"

#include <type_traits>

namespace kivo::protocol {

Result<ServiceEnvelope> decode_service_envelope(std::span<const std::uint8_t> bytes) {
  return decode_service_envelope(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<ServiceEnvelope> decode_service_envelope(std::string_view text) {
  // An empty payload is a framing fault of the message, not a JSON one.
  if (text.empty()) return fail(KivoError::invalid_message("missing XPC payload"));
  return json::decode_document<ServiceEnvelope>(text);
}

std::string encode_service_envelope(const ServiceEnvelope& envelope) {
  return json::encode_document(envelope);
}

std::string_view command_name(const ServiceToAgent& message) {
  return std::visit(
      [](const auto& command) -> std::string_view {
        return json::Record<std::remove_cvref_t<decltype(command)>>::tag;
      },
      message);
}

}  // namespace kivo::protocol
