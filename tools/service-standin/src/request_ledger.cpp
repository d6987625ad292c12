#include "kivo/standin/request_ledger.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <type_traits>

#include "kivo/protocol/epoch.hpp"

namespace kivo::standin {
namespace {

std::string stamp_text(const protocol::AgentStamp& stamp) {
  return fmt::format("{{agent_generation {}, capture_epoch {}}}", stamp.agent_generation,
                     stamp.capture_epoch);
}

}  // namespace

ReplyRule reply_rule(const protocol::ServiceToAgent& command) {
  return std::visit(
      [](const auto& c) {
        using C = std::remove_cvref_t<decltype(c)>;
        constexpr bool kSilentOnSuccess = std::is_same_v<C, protocol::Quit> ||
                                          std::is_same_v<C, protocol::LockScreen> ||
                                          std::is_same_v<C, protocol::CaptureDisplayThumbnail> ||
                                          std::is_same_v<C, protocol::OutboundReceipt> ||
                                          std::is_same_v<C, protocol::RecentHistorySnapshot>;
        return kSilentOnSuccess ? ReplyRule::kOnlyOnFailure : ReplyRule::kAlways;
      },
      command);
}

bool starts_capture_epoch(const protocol::ServiceToAgent& command) {
  return std::holds_alternative<protocol::StartCapture>(command) ||
         std::holds_alternative<protocol::Reconfigure>(command) ||
         std::holds_alternative<protocol::SwitchToWindowCapture>(command) ||
         std::holds_alternative<protocol::SwitchToMonitorCapture>(command);
}

void RequestLedger::set_capture_epoch(std::uint64_t epoch) {
  capture_epoch_ = epoch;
  last_issued_epoch_ = std::max(last_issued_epoch_, epoch);
}

protocol::AgentStamp RequestLedger::stamp_for(const protocol::ServiceToAgent& command) const {
  // A new capture always gets an epoch the agent has not seen, even while an
  // earlier start is still unanswered.
  const std::uint64_t epoch =
      starts_capture_epoch(command) ? protocol::next_epoch(last_issued_epoch_) : capture_epoch_;
  return protocol::AgentStamp{generation_, epoch};
}

std::uint64_t RequestLedger::next_request_id() {
  std::uint64_t id = last_numbered_;
  do {
    id = protocol::next_epoch(id);
  } while (used_ids_.contains(id));
  last_numbered_ = id;
  used_ids_.insert(id);
  return id;
}

void RequestLedger::record_sent(const protocol::ServiceEnvelope& envelope) {
  std::optional<std::uint64_t> new_epoch;
  if (starts_capture_epoch(envelope.message)) {
    new_epoch = envelope.stamp.capture_epoch;
    last_issued_epoch_ = std::max(last_issued_epoch_, *new_epoch);
  }
  if (!envelope.request_id) {
    if (new_epoch) capture_epoch_ = *new_epoch;
    return;
  }
  used_ids_.insert(*envelope.request_id);
  sent_.insert_or_assign(*envelope.request_id,
                         Sent{std::string(protocol::command_name(envelope.message)), envelope.stamp,
                              reply_rule(envelope.message), new_epoch, false});
}

std::vector<std::string> RequestLedger::record_reply(std::uint64_t request_id,
                                                     const protocol::AgentStamp& stamp,
                                                     std::string_view type) {
  std::vector<std::string> problems;
  const auto found = sent_.find(request_id);
  if (found == sent_.end()) {
    problems.push_back(fmt::format("a \"{}\" reply carries request_id {}, which no command had",
                                   type, request_id));
    return problems;
  }
  Sent& sent = found->second;
  if (sent.answered) {
    problems.push_back(fmt::format("a second reply (\"{}\") to request {} (\"{}\")", type,
                                   request_id, sent.command));
    return problems;
  }
  sent.answered = true;
  const bool is_error = type == "error";
  if (sent.rule == ReplyRule::kOnlyOnFailure && !is_error) {
    problems.push_back(
        fmt::format("a \"{}\" reply to request {} (\"{}\"), which is answered only "
                    "when it fails",
                    type, request_id, sent.command));
  }
  if (!(stamp == sent.stamp)) {
    problems.push_back(
        fmt::format("the reply to request {} (\"{}\") carries the stamp {}, not the "
                    "command's {}",
                    request_id, sent.command, stamp_text(stamp), stamp_text(sent.stamp)));
  }
  if (sent.pending_capture_epoch && !is_error) capture_epoch_ = *sent.pending_capture_epoch;
  return problems;
}

std::vector<UnansweredRequest> RequestLedger::unanswered() const {
  std::vector<UnansweredRequest> result;
  for (const auto& [id, sent] : sent_) {
    if (!sent.answered && sent.rule == ReplyRule::kAlways) result.push_back({id, sent.command});
  }
  return result;
}

}  // namespace kivo::standin
