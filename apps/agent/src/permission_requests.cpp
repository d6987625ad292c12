#include "permission_requests.hpp"

#include <utility>

#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

protocol::PermissionState state_of(bool granted, const std::atomic<bool>& in_flight) {
  return protocol::PermissionState{.state = granted ? protocol::PermissionAccess::kGranted
                                                    : protocol::PermissionAccess::kRequired,
                                   .request_in_flight = in_flight.load()};
}

std::size_t index_of(PermissionKind kind) {
  return static_cast<std::size_t>(kind);
}

}  // namespace

PermissionRequests::PermissionRequests(PermissionPorts ports)
    : shared_(std::make_shared<Shared>()) {
  shared_->ports = std::move(ports);
}

protocol::PermissionStatus PermissionRequests::Shared::status() const {
  const bool screen = ports.screen_access && ports.screen_access();
  const bool input = ports.post_event_access && ports.post_event_access();
  return protocol::PermissionStatus{.screen_recording = state_of(screen, in_flight[0]),
                                    .accessibility = state_of(input, in_flight[1])};
}

protocol::PermissionStatus PermissionRequests::status() const {
  return shared_->status();
}

Result<protocol::PermissionStatus> PermissionRequests::request(
    PermissionKind kind, const protocol::AgentStamp& stamp,
    std::shared_ptr<DocumentSender> sender) {
  std::atomic<bool>& in_flight = shared_->in_flight[index_of(kind)];
  bool idle = false;
  if (in_flight.compare_exchange_strong(idle, true)) {
    if (!sender || !shared_->ports.post_to_main) {
      in_flight.store(false);
      return fail(KivoError::invalid_message("agent.permission-requester"));
    }
    shared_->ports.post_to_main([shared = shared_, kind, stamp, sender = std::move(sender)] {
      shared->ports.prompt(kind);
      shared->in_flight[index_of(kind)].store(false);
      const protocol::agent_msg::Permission event{.status = shared->status()};
      if (auto sent = sender->send(std::nullopt, stamp, event); !sent) {
        KIVO_WARN("kivo_agent", "failed to send permission refresh after TCC request",
                  log::field("error", sent.error()));
      }
    });
  }
  return shared_->status();
}

}  // namespace kivo::agent
