// The service's book of the commands it sent: request numbering, the stamp
// each command carries, which replies came back, and the capture epoch the
// service believes current.
//
// The capture epoch moves the way the agent's does: a command that starts or
// reconfigures a capture is stamped with a fresh epoch, and that epoch becomes
// current once the agent answers it with anything but "error" (at once when
// the command carries no request id, since no answer can be matched to it).
//
// Not thread-safe: the owner serialises calls.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/protocol/service_message.hpp"
#include "kivo/protocol/stamp.hpp"

namespace kivo::standin {

// How the agent answers a command: always with one reply, or only with an
// "error" when it fails ("quit", "lock_screen", "capture_display_thumbnail",
// "outbound_receipt", "recent_history_snapshot").
enum class ReplyRule { kAlways, kOnlyOnFailure };

ReplyRule reply_rule(const protocol::ServiceToAgent& command);

// "start_capture", "reconfigure", "switch_to_window_capture",
// "switch_to_monitor_capture": the agent takes their stamp's capture epoch.
bool starts_capture_epoch(const protocol::ServiceToAgent& command);

struct UnansweredRequest {
  std::uint64_t request_id = 0;
  std::string command;  // "query_status"
};

class RequestLedger {
 public:
  explicit RequestLedger(std::uint64_t generation) : generation_(generation) {}

  std::uint64_t generation() const { return generation_; }
  std::uint64_t capture_epoch() const { return capture_epoch_; }
  void set_capture_epoch(std::uint64_t epoch);

  // The stamp for `command` if it were sent now.
  protocol::AgentStamp stamp_for(const protocol::ServiceToAgent& command) const;

  // Keeps `request_id` away from numbering (ids that a script's full
  // envelopes use later).
  void reserve_request_id(std::uint64_t request_id) { used_ids_.insert(request_id); }
  // The lowest id above the last one handed out that nothing has used.
  std::uint64_t next_request_id();

  // Books a command that went out.
  void record_sent(const protocol::ServiceEnvelope& envelope);

  // Books a document that carries a request id. Returns what was wrong with
  // it (nothing for a proper reply).
  std::vector<std::string> record_reply(std::uint64_t request_id, const protocol::AgentStamp& stamp,
                                        std::string_view type);

  // Commands answered always that have no reply yet, by request id.
  std::vector<UnansweredRequest> unanswered() const;
  bool all_answered() const { return unanswered().empty(); }

 private:
  struct Sent {
    std::string command;
    protocol::AgentStamp stamp;
    ReplyRule rule = ReplyRule::kAlways;
    std::optional<std::uint64_t> pending_capture_epoch;
    bool answered = false;
  };

  std::uint64_t generation_;
  std::uint64_t capture_epoch_ = 0;
  // The latest capture epoch put on a command, adopted or not.
  std::uint64_t last_issued_epoch_ = 0;
  std::uint64_t last_numbered_ = 0;
  std::set<std::uint64_t> used_ids_;
  std::map<std::uint64_t, Sent> sent_;
};

}  // namespace kivo::standin
