// The commands that act for a peer under a route: the route table itself,
// clipboard, files, audio, the window list, display settings and thumbnails.
#include <string>
#include <vector>

#include "command_handlers.hpp"
#include "kivo/core/json_codec.hpp"
#include "kivo/core/log.hpp"
#include "routes.hpp"

namespace kivo::agent {
namespace {

constexpr std::size_t kAltTabMaxEntries = 20;
// The serialised entries stay below this many bytes (120 KiB and one).
constexpr std::size_t kAltTabMaxBytes = 122881;

constexpr std::uint32_t kMinDisplayModeWidth = 1440;
constexpr std::uint32_t kMinDisplayModeHeight = 900;

Result<RouteWire> host_route(const AgentState& state, std::uint64_t route_id) {
  auto route = state.routes.resolve_route(route_id);
  if (!route) return route;
  KIVO_TRY(require_host_route(*route));
  return route;
}

// Keeps the first 20 entries, then drops entries from the end until the
// list serialises below the byte bound.
std::vector<protocol::AltTabApp> cap_alt_tab_list(std::vector<protocol::AltTabApp> apps,
                                                  std::size_t& serialised_bytes) {
  if (apps.size() > kAltTabMaxEntries) apps.resize(kAltTabMaxEntries);
  serialised_bytes = json::encode_document(apps).size();
  while (serialised_bytes >= kAltTabMaxBytes && !apps.empty()) {
    apps.pop_back();
    serialised_bytes = json::encode_document(apps).size();
  }
  return apps;
}

}  // namespace

Handled handle(CommandContext& context, const protocol::ReplaceRoutes& command) {
  AgentState& state = context.state;
  return reply_with(state.routes.replace_routes(command.revision, command.routes, *state.features));
}

Handled handle(CommandContext& context, const protocol::RevokeRoute& command) {
  AgentState& state = context.state;
  return reply_with(state.routes.revoke_route(command.route_id, *state.features));
}

Handled handle(CommandContext& context, const protocol::ClipboardCommand& command) {
  AgentState& state = context.state;
  auto route = state.routes.resolve_route(command.route_id);
  if (!route) return fail(route.error());
  auto lease = state.routes.clipboard_lease(*route);
  if (!lease) return fail(lease.error());
  auto reply = state.features->clipboard_command(state, command.route_id, *lease, command.command);
  if (!reply) return fail(reply.error());
  return reply_with(std::move(*reply));
}

Handled handle(CommandContext& context, const protocol::FileCommand& command) {
  AgentState& state = context.state;
  auto route = state.routes.resolve_route(command.route_id);
  if (!route) return fail(route.error());
  auto lease = file_lease(*route, state.received_root);
  if (!lease) return fail(lease.error());

  DispatchOutcome outcome;
  auto reply = state.features->file_command(state, command.route_id, *lease, command.command,
                                            outcome.follow_ups);
  // The follow-ups collected before a failure still go out, after the error.
  outcome.reply = reply ? std::move(*reply)
                        : protocol::AgentMessage(protocol::agent_msg::Error{
                              .error = protocol::agent_error_from(reply.error())});
  return outcome;
}

Handled handle(CommandContext& context, const protocol::AudioConfigure& command) {
  AgentState& state = context.state;
  auto route = state.routes.resolve_route(command.route_id);
  if (!route) return fail(route.error());
  std::optional<PlaybackRoute> playback;
  if (command.enabled) {
    auto authorisation = audio_authorisation(*route);
    if (!authorisation) return fail(authorisation.error());
    playback = std::move(*authorisation);
  }
  auto reply = state.features->configure_audio(state, command, playback);
  if (!reply) return fail(reply.error());
  return reply_with(std::move(*reply));
}

Handled handle(CommandContext& context, const protocol::ListAltTabWindows& command) {
  AgentState& state = context.state;
  KIVO_TRY(host_route(state, command.route_id));
  KIVO_TRY(require_screen_capture_access(state));
  auto windows = state.features->list_alt_tab_windows();
  if (!windows) return fail(windows.error());
  std::size_t bytes = 0;
  std::vector<protocol::AltTabApp> apps = cap_alt_tab_list(std::move(*windows), bytes);
  KIVO_INFO("kivo_agent", "alt-tab apps after cap", log::field("after_cap", apps.size()),
            log::field("bytes", bytes));
  return reply_with(
      protocol::agent_msg::AltTabList{.route_id = command.route_id, .apps = std::move(apps)});
}

Handled handle(CommandContext& context, const protocol::QueryDisplaySettings& command) {
  AgentState& state = context.state;
  KIVO_TRY(host_route(state, command.route_id));
  auto settings = state.features->query_display_settings();
  if (!settings) return fail(settings.error());
  return reply_with(protocol::agent_msg::DisplaySettingsResult{.route_id = command.route_id,
                                                               .settings = std::move(*settings)});
}

Handled handle(CommandContext& context, const protocol::SetPhysicalDisplayMode& command) {
  AgentState& state = context.state;
  KIVO_TRY(host_route(state, command.route_id));
  if (command.width < kMinDisplayModeWidth || command.height < kMinDisplayModeHeight) {
    return fail(KivoError::invalid_message(fmt::format(
        "display mode must be at least {}x{}", kMinDisplayModeWidth, kMinDisplayModeHeight)));
  }
  if (command.expected_epoch != state.input_epoch) {
    return fail(KivoError::invalid_message("stale display mode request input epoch"));
  }
  if (!state.capture_config) {
    return fail(KivoError::permission_denied(std::string(kInactiveSessionRefusal)));
  }
  auto reply = state.features->set_physical_display_mode(state, command);
  if (!reply) return fail(reply.error());
  return reply_with(std::move(*reply));
}

Handled handle(CommandContext& context, const protocol::CaptureDisplayThumbnail& command) {
  AgentState& state = context.state;
  if (command.request_id == 0) {
    return fail(KivoError::invalid_message("thumbnail request_id must be non-zero"));
  }
  if (command.display_id == 0) {
    return fail(KivoError::invalid_message("thumbnail display_id must be non-zero"));
  }
  if (!state.bulk_writer) return fail(KivoError::invalid_message("agent bulk fd is not installed"));

  // Every outcome from here goes out on the thumbnail path, not as a reply.
  if (!state.routes.host_routes()) {
    KIVO_TRY(state.features->queue_thumbnail_failure(state, command, kHostRouteRefusal));
    return no_reply();
  }
  auto may_capture = state.features->preflight_screen_capture();
  if (!may_capture) return fail(may_capture.error());
  if (!*may_capture) {
    KIVO_TRY(state.features->queue_thumbnail_failure(state, command, kScreenDeniedRefusal));
    return no_reply();
  }
  KIVO_TRY(state.features->queue_thumbnail(state, command));
  return no_reply();
}

Handled handle(CommandContext& context, const protocol::OutboundReceipt& command) {
  settle_outbound_receipt(command, *context.state.features);
  return no_reply();
}

}  // namespace kivo::agent
