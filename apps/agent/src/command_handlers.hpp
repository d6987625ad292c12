// The handlers behind dispatch_service_message, one per command, grouped by
// area in capture_commands.cpp, input_commands.cpp, route_commands.cpp and
// dispatcher.cpp. A handler either answers (a reply, possibly an "error"
// built directly, and follow-ups) or fails with the KivoError that becomes
// the "error" reply.
#pragma once

#include <string_view>

#include "agent_features.hpp"
#include "agent_state.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/service_message.hpp"

namespace kivo::agent {

inline constexpr std::string_view kInactiveSessionRefusal = "agent.inactive-session";
inline constexpr std::string_view kScreenDeniedRefusal = "agent.screen-denied";
inline constexpr std::string_view kInputDeniedRefusal = "agent.input-denied";

using Handled = Result<DispatchOutcome>;

struct CommandContext {
  AgentState& state;
  const protocol::AgentStamp& stamp;
};

// Shapes.
DispatchOutcome reply_with(protocol::AgentMessage message);
DispatchOutcome no_reply();
protocol::agent_msg::Status status_reply(const AgentState& state);

// Checks shared by several commands.
Result<void> require_pipeline(const AgentState& state);
Result<void> require_screen_capture_access(AgentState& state);

// Capture.
Handled handle(CommandContext& context, const protocol::StartCapture& command);
Handled handle(CommandContext& context, const protocol::StopCapture& command);
Handled handle(CommandContext& context, const protocol::Reconfigure& command);
Handled handle(CommandContext& context, const protocol::SwitchToWindowCapture& command);
Handled handle(CommandContext& context, const protocol::SwitchToMonitorCapture& command);
Handled handle(CommandContext& context, const protocol::RequestKeyframe& command);
Handled handle(CommandContext& context, const protocol::SetAudioEnabled& command);
Handled handle(CommandContext& context, const protocol::QueryGeometry& command);
Handled handle(CommandContext& context, const protocol::SetTargetBitrate& command);

// Input.
Handled handle(CommandContext& context, const protocol::LockScreen& command);
Handled handle(CommandContext& context, const protocol::InjectInput& command);
Handled handle(CommandContext& context, const protocol::ResetInput& command);

// Routes and the features acting for a peer.
Handled handle(CommandContext& context, const protocol::ReplaceRoutes& command);
Handled handle(CommandContext& context, const protocol::RevokeRoute& command);
Handled handle(CommandContext& context, const protocol::ClipboardCommand& command);
Handled handle(CommandContext& context, const protocol::FileCommand& command);
Handled handle(CommandContext& context, const protocol::AudioConfigure& command);
Handled handle(CommandContext& context, const protocol::ListAltTabWindows& command);
Handled handle(CommandContext& context, const protocol::QueryDisplaySettings& command);
Handled handle(CommandContext& context, const protocol::SetPhysicalDisplayMode& command);
Handled handle(CommandContext& context, const protocol::CaptureDisplayThumbnail& command);
Handled handle(CommandContext& context, const protocol::OutboundReceipt& command);

// Queries and the rest (dispatcher.cpp).
Handled handle(CommandContext& context, const protocol::QueryStatus& command);
Handled handle(CommandContext& context, const protocol::ListDisplays& command);
Handled handle(CommandContext& context, const protocol::QueryPermission& command);
Handled handle(CommandContext& context, const protocol::RequestScreenRecording& command);
Handled handle(CommandContext& context, const protocol::RequestAccessibility& command);
Handled handle(CommandContext& context, const protocol::RecentHistorySnapshot& command);
Handled handle(CommandContext& context, const protocol::Quit& command);

}  // namespace kivo::agent
