// What the service connection hands the command loop: decoded command
// envelopes and, once, the end of the connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <variant>

#include "kivo/protocol/service_message.hpp"
#include "kivo/xpc/bounded_queue.hpp"
#include "kivo/xpc/connection.hpp"

namespace kivo::xpc {

struct InboundEnvelope {
  protocol::ServiceEnvelope envelope;
};

// The connection ended; `quitting` is the quitting flag as it stood then, so
// that a quit the service asked for is told apart from a lost connection.
struct InboundTerminated {
  std::string reason;
  bool quitting = false;
};

using ServiceInbound = std::variant<InboundEnvelope, InboundTerminated>;

// Room for this many items; the connection's event thread waits while it is
// full, so commands are never dropped for want of room.
inline constexpr std::size_t kInboundQueueCapacity = 64;
using InboundQueue = BoundedQueue<ServiceInbound>;

// Set once the service has sent "quit"; read when the end of the connection
// is reported. One per process.
std::atomic<bool>& quitting_flag();

// The connection's event handler: decodes kind-3 commands into the queue,
// reports the end of the connection, and logs and drops everything else.
// Runs on the connection's event thread only.
class InboundEventHandler {
 public:
  InboundEventHandler(std::shared_ptr<InboundQueue> queue, std::atomic<bool>& quitting)
      : queue_(std::move(queue)), quitting_(&quitting) {}

  void operator()(Event event);

 private:
  void on_message(const Message& message);

  std::shared_ptr<InboundQueue> queue_;
  std::atomic<bool>* quitting_;
};

}  // namespace kivo::xpc
