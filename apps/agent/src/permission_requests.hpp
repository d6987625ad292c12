// Permission requests: the service may ask the agent to have the system
// request screen recording or event posting. The request runs as a job on the
// main queue; the command is answered at once with the state as it is, and
// the job sends a fresh "permission" event when it is done. At most one
// request per permission is in flight.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "document_sender.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_message.hpp"
#include "kivo/protocol/permission_status.hpp"
#include "kivo/protocol/stamp.hpp"

namespace kivo::agent {

enum class PermissionKind : std::uint8_t { kScreenRecording = 0, kAccessibility = 1 };

struct PermissionPorts {
  std::function<bool()> screen_access;
  std::function<bool()> post_event_access;
  // Has the system ask the user; on the main thread. The X server asks no
  // one: there it does nothing.
  std::function<void(PermissionKind)> prompt = [](PermissionKind) {};
  // Runs work on the main thread, later.
  std::function<void(std::function<void()>)> post_to_main;
};

class PermissionRequests {
 public:
  explicit PermissionRequests(PermissionPorts ports);

  // Both preflights and both in-flight flags.
  protocol::PermissionStatus status() const;

  // Starts a request unless one for `kind` is in flight, and answers with
  // the status as it is now. Without a sender (after cleanup): InvalidMessage
  // "agent.permission-requester", and nothing starts.
  Result<protocol::PermissionStatus> request(PermissionKind kind, const protocol::AgentStamp& stamp,
                                             std::shared_ptr<DocumentSender> sender);

 private:
  // Shared with the jobs, which may outlive this object on the main queue.
  struct Shared {
    PermissionPorts ports;
    std::atomic<bool> in_flight[2] = {false, false};
    protocol::PermissionStatus status() const;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace kivo::agent
