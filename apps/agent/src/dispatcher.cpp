#include "dispatcher.hpp"

#include <string>
#include <utility>
#include <variant>

#include "command_handlers.hpp"
#include "kivo/core/log.hpp"
#include "kivo/protocol/agent_error.hpp"
#include "kivo/protocol/epoch.hpp"
#include "status_report.hpp"

namespace kivo::agent {
namespace {

// A snapshot replaces the stored one when it is the first, from a later
// service epoch, or a later revision of the same epoch.
bool is_newer_history(const RecentHistory& history,
                      const protocol::RecentHistorySnapshot& snapshot) {
  if (!history.epoch_and_revision) return true;
  const auto [epoch, revision] = *history.epoch_and_revision;
  return snapshot.service_epoch > epoch ||
         (snapshot.service_epoch == epoch && snapshot.revision > revision);
}

}  // namespace

DispatchOutcome reply_with(protocol::AgentMessage message) {
  return DispatchOutcome{.reply = std::move(message), .follow_ups = {}};
}

DispatchOutcome no_reply() {
  return DispatchOutcome{};
}

protocol::agent_msg::Status status_reply(const AgentState& state) {
  return build_status_report(state, wall_clock_unix_ms());
}

Result<void> require_pipeline(const AgentState& state) {
  if (state.capture_pipeline) return {};
  return fail(KivoError::permission_denied(std::string(kInactiveSessionRefusal)));
}

Result<void> require_screen_capture_access(AgentState& state) {
  auto granted = state.features->preflight_screen_capture();
  if (!granted) return fail(granted.error());
  if (*granted) return {};
  return fail(KivoError::permission_denied(std::string(kScreenDeniedRefusal)));
}

Handled handle(CommandContext& context, const protocol::QueryStatus&) {
  return reply_with(status_reply(context.state));
}

Handled handle(CommandContext& context, const protocol::ListDisplays&) {
  AgentState& state = context.state;
  KIVO_TRY(require_screen_capture_access(state));
  auto displays = state.features->list_displays();
  if (!displays) return fail(displays.error());
  state.display_list_revision = protocol::next_epoch(state.display_list_revision);
  return reply_with(protocol::agent_msg::DisplayList{.revision = state.display_list_revision,
                                                     .displays = std::move(*displays)});
}

Handled handle(CommandContext& context, const protocol::QueryPermission&) {
  auto status = context.state.features->permission_status();
  if (!status) return fail(status.error());
  return reply_with(protocol::agent_msg::Permission{.status = *status});
}

Handled handle(CommandContext& context, const protocol::RequestScreenRecording&) {
  auto status = context.state.features->request_screen_recording(context.state, context.stamp);
  if (!status) return fail(status.error());
  return reply_with(protocol::agent_msg::Permission{.status = *status});
}

Handled handle(CommandContext& context, const protocol::RequestAccessibility&) {
  auto status = context.state.features->request_accessibility(context.state, context.stamp);
  if (!status) return fail(status.error());
  return reply_with(protocol::agent_msg::Permission{.status = *status});
}

Handled handle(CommandContext& context, const protocol::RecentHistorySnapshot& snapshot) {
  RecentHistory& history = context.state.history;
  if (!is_newer_history(history, snapshot)) {
    KIVO_TRACE("kivo_agent", "dropped stale recent history snapshot",
               log::field("service_epoch", snapshot.service_epoch),
               log::field("revision", snapshot.revision));
    return no_reply();
  }
  history.epoch_and_revision = std::pair(snapshot.service_epoch, snapshot.revision);
  history.entries = snapshot.records;
  context.state.features->refresh_history_menu(history.entries);
  return no_reply();
}

Handled handle(CommandContext&, const protocol::Quit&) {
  // The command loop ends on "quit" before dispatching; nothing to answer.
  return no_reply();
}

DispatchOutcome dispatch_service_message(AgentState& state, const protocol::AgentStamp& stamp,
                                         const protocol::ServiceToAgent& command) {
  CommandContext context{.state = state, .stamp = stamp};
  Handled handled =
      std::visit([&context](const auto& message) { return handle(context, message); }, command);
  if (handled) return std::move(*handled);
  return reply_with(
      protocol::agent_msg::Error{.error = protocol::agent_error_from(handled.error())});
}

}  // namespace kivo::agent
