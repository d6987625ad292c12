#include "kivo/xpc/agent_connection.hpp"

#include "kivo/core/config.hpp"
#include "kivo/protocol/hello.hpp"
#include "kivo/xpc/message_kind.hpp"
#include "kivo/xpc/service_path.hpp"

namespace kivo::xpc {

Result<void> AgentMessageSender::send(std::optional<std::uint64_t> request_id,
                                      const protocol::AgentStamp& stamp,
                                      const protocol::AgentMessage& message) const {
  Message dictionary;
  dictionary.set_uint64(std::string(kKindKey), kKindAgentDocument);
  dictionary.set_data(std::string(kPayloadKey),
                      protocol::encode_agent_envelope(request_id, stamp, message));
  return sender_.send(std::move(dictionary));
}

Result<AgentConnection> AgentConnection::connect_privileged(std::string_view mach_service) {
  if (mach_service.find('\0') != std::string_view::npos) {
    return fail(KivoError::invalid_message("mach service contains NUL"));
  }
  Result<Connection> connection =
      Connection::connect(service_socket_path(kivo::system_root(), mach_service));
  if (!connection) return fail(std::move(connection).error());
  return AgentConnection(std::move(*connection));
}

void AgentConnection::start(std::shared_ptr<InboundQueue> queue, std::atomic<bool>& quitting) {
  connection_.set_event_handler(InboundEventHandler(std::move(queue), quitting));
  connection_.resume();
}

Result<HelloResult> AgentConnection::send_hello(std::optional<bool> on_console,
                                                std::optional<bool> login_done,
                                                std::optional<std::string_view> resume_quit_id) {
  Message hello;
  hello.set_uint64(std::string(kKindKey), kKindHello);
  hello.set_data(std::string(kPayloadKey),
                 protocol::encode_hello_request(on_console, login_done, resume_quit_id,
                                                protocol::kAgentCapabilities));
  Result<Reply> reply = connection_.send_with_reply(std::move(hello));
  if (!reply) return fail(std::move(reply).error());
  return read_hello_reply(*reply);
}

Result<HelloResult> read_hello_reply(Reply& reply) {
  if (reply.is_error()) {
    return fail(KivoError::invalid_message("agent hello reply was not a dictionary"));
  }
  const Message& message = reply.message();
  switch (message.uint64(kKindKey).value_or(0)) {
    case kKindHelloAccepted: {
      // Media first, then bulk, then the generation; what was taken is
      // closed by its owner on every early return.
      HelloResult result;
      result.media_fd = message.dup_fd(kMediaFdKey);
      if (!result.media_fd.valid()) {
        return fail(KivoError::invalid_message("agent hello reply missing media fd"));
      }
      result.bulk_fd = message.dup_fd(kBulkFdKey);
      if (!result.bulk_fd.valid()) {
        return fail(KivoError::invalid_message("agent hello reply missing bulk fd"));
      }
      result.agent_generation = message.uint64(kAgentGenerationKey).value_or(0);
      if (result.agent_generation == 0) {
        return fail(KivoError::invalid_message("agent hello reply missing generation"));
      }
      return result;
    }
    case kKindHelloRejected:
      return fail(KivoError::invalid_message("service rejected agent hello"));
    default:
      return fail(KivoError::invalid_message("unexpected agent hello reply kind"));
  }
}

}  // namespace kivo::xpc
