// The port through which the agent's threads send documents to the service,
// so that a test can record them; XpcDocumentSender is the real one.
#pragma once

#include <cstdint>
#include <optional>

#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_message.hpp"
#include "kivo/protocol/stamp.hpp"
#include "kivo/xpc/agent_connection.hpp"

namespace kivo::agent {

class DocumentSender {
 public:
  virtual ~DocumentSender() = default;
  // Safe for concurrent use. A failure means the link is gone.
  virtual Result<void> send(std::optional<std::uint64_t> request_id,
                            const protocol::AgentStamp& stamp,
                            const protocol::AgentMessage& message) = 0;
};

class XpcDocumentSender final : public DocumentSender {
 public:
  explicit XpcDocumentSender(xpc::AgentMessageSender sender) : sender_(std::move(sender)) {}
  Result<void> send(std::optional<std::uint64_t> request_id, const protocol::AgentStamp& stamp,
                    const protocol::AgentMessage& message) override {
    return sender_.send(request_id, stamp, message);
  }

 private:
  xpc::AgentMessageSender sender_;
};

}  // namespace kivo::agent
