// The agent under test connected to a stand-in service that has answered its
// hello: the common set-up of the end-to-end tests and of the benchmarks
// that run the real agent on an X display.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "agent_process.hpp"
#include "kivo/standin/standin_service.hpp"
#include "kivo/testing/temp_dir.hpp"

namespace kivo::agent::e2e {

inline constexpr std::chrono::seconds kAgentPatience{15};

struct AgentSessionOptions {
  // The agent's DISPLAY.
  std::string display;
  // More "NAME=value" entries for the agent's environment.
  std::vector<std::string> environment;
  std::function<void(const protocol::MediaFrame&)> on_media_frame;
  std::function<void(const standin::AgentDocument&)> on_document;
};

class AgentSession {
 public:
  // Starts the stand-in in a fresh system root, then the agent, and answers
  // its hello. Empty on success, otherwise what failed.
  std::string start(AgentSessionOptions options) {
    auto service =
        standin::StandinService::listen({.root = root_.path(),
                                         .on_document = std::move(options.on_document),
                                         .on_media_frame = std::move(options.on_media_frame)});
    if (!service) return service.error().display();
    service_ = std::move(*service);
    options.environment.push_back("DISPLAY=" + options.display);
    agent_.emplace(root_.path(), home_.path(), root_.path() / "agent.stderr", options.environment);
    if (!agent_->started()) return "the agent did not start";
    if (!service_->accept_agent(kAgentPatience)) return "the agent did not connect";
    if (!service_->await_hello(kAgentPatience) || !service_->accept_hello()) {
      return "no hello from the agent";
    }
    return {};
  }

  // Whether start() got as far as running the agent.
  bool running() const { return service_ && agent_; }
  standin::StandinService& service() { return *service_; }
  AgentProcess& agent() { return *agent_; }
  // The system root, a folder of the session's own.
  const std::filesystem::path& root() const { return root_.path(); }

  // Sends a numbered command; its reply.
  std::optional<standin::AgentDocument> command(protocol::ServiceToAgent message) {
    auto id = service_->send_numbered(std::move(message));
    if (!id) return std::nullopt;
    return service_->await_reply(*id, kAgentPatience);
  }

  // The "status" that "query_status" answers.
  std::optional<protocol::agent_msg::Status> query_status() {
    auto reply = command(protocol::QueryStatus{});
    if (!reply || !reply->envelope) return std::nullopt;
    const auto* status = std::get_if<protocol::agent_msg::Status>(&reply->envelope->message);
    if (status == nullptr) return std::nullopt;
    return *status;
  }

  // Polls the status until the input worker runs (a capture with a geometry
  // is needed); that status.
  std::optional<protocol::agent_msg::Status> await_input_ready() {
    const auto deadline = std::chrono::steady_clock::now() + kAgentPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      auto status = query_status();
      if (!status) return std::nullopt;
      if (status->geometry && status->diagnostics &&
          status->diagnostics->input_health.state == protocol::CapabilityHealthState::kReady) {
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
  }

  // Sends "quit"; the agent's exit status, when it exits in time.
  std::optional<int> quit() {
    (void)service_->send_command(protocol::Quit{}, std::nullopt);
    return agent_->wait_exit(kAgentPatience);
  }

 private:
  kivo::testing::TempDir root_;
  kivo::testing::TempDir home_;
  std::unique_ptr<standin::StandinService> service_;
  std::optional<AgentProcess> agent_;
};

}  // namespace kivo::agent::e2e
