#include "kivo/xpc/service_inbound.hpp"

#include "kivo/core/log.hpp"
#include "kivo/xpc/message_kind.hpp"

namespace kivo::xpc {

std::atomic<bool>& quitting_flag() {
  static std::atomic<bool> flag{false};
  return flag;
}

void InboundEventHandler::operator()(Event event) {
  if (auto* error = std::get_if<ConnectionError>(&event)) {
    const bool quitting = quitting_->load(std::memory_order_acquire);
    const std::string reason(reason_text(*error));
    KIVO_WARN("kivo_xpc", "agent XPC connection received termination event",
              log::field("error", reason), log::field("quitting", quitting));
    // Nobody reads any more once the command loop has gone; that is fine.
    queue_->push(InboundTerminated{reason, quitting});
    return;
  }
  on_message(std::get<WireMessage>(event).message);
}

void InboundEventHandler::on_message(const Message& message) {
  const std::uint64_t kind = message.uint64(kKindKey).value_or(0);
  if (kind == kKindHelloAccepted) return;  // a late hello reply: nothing to do
  if (kind != kKindCommand) {
    KIVO_WARN("kivo_xpc", "agent received unknown XPC message kind", log::field("kind", kind));
    return;
  }

  auto payload = message.data(kPayloadKey);
  Result<protocol::ServiceEnvelope> envelope =
      payload && !payload->empty() ? protocol::decode_service_envelope(*payload)
                                   : Result<protocol::ServiceEnvelope>(fail(
                                         KivoError::invalid_message(std::string(kMissingPayload))));
  if (!envelope) {
    KIVO_WARN("kivo_xpc", "failed to decode service envelope",
              log::field("error", envelope.error().text()));
    return;
  }
  // Set before forwarding, so that a quit is remembered even if the command
  // loop has gone and the connection's end follows.
  if (std::holds_alternative<protocol::Quit>(envelope->message)) {
    quitting_->store(true, std::memory_order_seq_cst);
  }
  if (!queue_->push(InboundEnvelope{std::move(*envelope)})) {
    KIVO_WARN("kivo_xpc", "failed to forward service envelope to agent runtime",
              log::field("error", "inbound queue closed"));
  }
}

}  // namespace kivo::xpc
