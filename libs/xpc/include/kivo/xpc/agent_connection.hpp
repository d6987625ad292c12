// The agent's one connection to the privileged service: connect, hello, send
// documents, and feed incoming commands to the command loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_message.hpp"
#include "kivo/protocol/stamp.hpp"
#include "kivo/xpc/connection.hpp"
#include "kivo/xpc/service_inbound.hpp"
#include "kivo/xpc/unique_fd.hpp"

namespace kivo::xpc {

// What an accepted hello gives the agent: its generation (never 0) and the
// two sockets, as descriptors of its own.
struct HelloResult {
  std::uint64_t agent_generation = 0;
  UniqueFd media_fd;
  UniqueFd bulk_fd;
};

// Sends agent documents on the connection. Cheap to copy; any thread may
// send at any time. Whether the service got a document is never known.
class AgentMessageSender {
 public:
  explicit AgentMessageSender(Sender sender) : sender_(std::move(sender)) {}

  Result<void> send(std::optional<std::uint64_t> request_id, const protocol::AgentStamp& stamp,
                    const protocol::AgentMessage& message) const;

 private:
  Sender sender_;
};

class AgentConnection {
 public:
  // Connects to the service's socket (<system root>/run/kivo/<mach_service>).
  // The connection comes back suspended: no handler, nothing read yet.
  static Result<AgentConnection> connect_privileged(std::string_view mach_service);

  // Installs the event handler that feeds `queue` and resumes the connection.
  void start(std::shared_ptr<InboundQueue> queue, std::atomic<bool>& quitting);

  // Sends the hello and waits for the service's answer. Only after start().
  Result<HelloResult> send_hello(std::optional<bool> on_console, std::optional<bool> login_done,
                                 std::optional<std::string_view> resume_quit_id);

  AgentMessageSender sender() const { return AgentMessageSender(connection_.sender()); }

  // Waits at most `timeout` for the documents already sent to leave.
  bool flush(std::chrono::milliseconds timeout) { return connection_.flush(timeout); }

  // Ends the connection; the handler reports it as its last event.
  void close() { connection_.cancel(); }

 private:
  explicit AgentConnection(Connection connection) : connection_(std::move(connection)) {}

  Connection connection_;
};

// Reads the service's answer to the hello. Descriptors already taken are
// closed again on every failure.
Result<HelloResult> read_hello_reply(Reply& reply);

}  // namespace kivo::xpc
