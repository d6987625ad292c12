#include "kivo/protocol/agent_message.hpp"

#include <utility>

namespace kivo::protocol {

std::string encode_agent_envelope(std::optional<std::uint64_t> request_id, const AgentStamp& stamp,
                                  const AgentMessage& message) {
  // Written field by field rather than through an AgentEnvelope so the message
  // is not copied for every document sent.
  json::Writer writer;
  writer.begin_object();
  if (request_id) {
    writer.key("request_id");
    writer.unsigned_integer(*request_id);
  }
  writer.key("stamp");
  json::encode(writer, stamp);
  writer.key("message");
  json::encode(writer, message);
  writer.end_object();
  return writer.take();
}

Result<AgentEnvelope> decode_agent_envelope(std::string_view text) {
  return json::decode_document<AgentEnvelope>(text);
}

std::string_view agent_message_type(const AgentMessage& message) {
  return std::visit(
      [](const auto& alternative) {
        return json::Record<std::remove_cvref_t<decltype(alternative)>>::tag;
      },
      message);
}

}  // namespace kivo::protocol
