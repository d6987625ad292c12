// An agent for the stand-in's tests, built from the agent's own connection:
// connects under the temporary system root, says hello in the background and
// takes the commands from its inbound queue.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <variant>

#include "kivo/protocol/agent_message.hpp"
#include "kivo/xpc/agent_connection.hpp"
#include "kivo/xpc/service_inbound.hpp"
#include "kivo/xpc/service_path.hpp"

namespace kivo::standin::testing {

using namespace std::chrono_literals;

// Long enough never to fire on a loaded machine; every wait that uses it
// ends as soon as what it waits for happens.
inline constexpr std::chrono::milliseconds kPatience = 10s;

class TestAgent {
 public:
  TestAgent() = default;
  TestAgent(const TestAgent&) = delete;
  TestAgent& operator=(const TestAgent&) = delete;
  ~TestAgent() { close(); }

  // Connects and starts the hello, whose answer hello() then waits for.
  Result<void> connect() {
    auto connection = xpc::AgentConnection::connect_privileged(xpc::kAgentServiceName);
    if (!connection) return fail(std::move(connection).error());
    connection_.emplace(std::move(*connection));
    connection_->start(inbound_, quitting_);
    hello_future_ = std::async(
        std::launch::async, [this] { return connection_->send_hello(true, true, std::nullopt); });
    return ok();
  }

  Result<xpc::HelloResult>& hello() {
    if (!hello_) hello_.emplace(hello_future_.get());
    return *hello_;
  }

  // The next item of the inbound queue, or nothing after `patience`.
  std::optional<xpc::ServiceInbound> next_inbound(std::chrono::milliseconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto item = inbound_->try_pop()) return item;
      std::this_thread::sleep_for(1ms);
    }
    return std::nullopt;
  }

  // The next command envelope, or nothing.
  std::optional<protocol::ServiceEnvelope> next_command() {
    auto item = next_inbound();
    if (!item || !std::holds_alternative<xpc::InboundEnvelope>(*item)) return std::nullopt;
    return std::get<xpc::InboundEnvelope>(*item).envelope;
  }

  Result<void> send(std::optional<std::uint64_t> request_id, const protocol::AgentStamp& stamp,
                    const protocol::AgentMessage& message) {
    return connection_->sender().send(request_id, stamp, message);
  }

  xpc::AgentMessageSender sender() const { return connection_->sender(); }

  // Closes the sockets first, then the link, as the agent's cleanup does.
  void close() {
    if (hello_future_.valid()) hello();
    if (hello_ && *hello_) {
      (*hello_)->media_fd.reset();
      (*hello_)->bulk_fd.reset();
    }
    if (connection_) connection_->close();
  }

 private:
  std::shared_ptr<xpc::InboundQueue> inbound_ =
      std::make_shared<xpc::InboundQueue>(xpc::kInboundQueueCapacity);
  std::atomic<bool> quitting_{false};
  std::optional<xpc::AgentConnection> connection_;
  std::future<Result<xpc::HelloResult>> hello_future_;
  std::optional<Result<xpc::HelloResult>> hello_;
};

// A "status" message as the agent sends it before any capture.
inline protocol::AgentMessage stopped_status() {
  protocol::agent_msg::Status status;
  status.status.running = false;
  status.status.backend = "agent.sck-vt";
  status.status.message_key = "capture.stopped";
  return status;
}

}  // namespace kivo::standin::testing
