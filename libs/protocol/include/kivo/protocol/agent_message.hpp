// The documents the agent sends to the service: AgentEnvelope carries the
// request id of the command it answers (if any), a stamp, and one
// AgentMessage, a "type"-tagged object whose fields follow the tag.
//
// Every record reads back through the same description it is written with, so
// a stand-in service and the tests can check what the agent sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "kivo/core/json_codec.hpp"
#include "kivo/core/json_value.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_error.hpp"
#include "kivo/protocol/alt_tab_app.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/capture_status.hpp"
#include "kivo/protocol/display_info.hpp"
#include "kivo/protocol/permission_status.hpp"
#include "kivo/protocol/stamp.hpp"

// One struct per message type, named after its "type" tag.
namespace kivo::protocol::agent_msg {

struct QuitAllRequest {
  friend bool operator==(const QuitAllRequest&, const QuitAllRequest&) = default;
};

struct OpenUiConnectIntent {
  std::string intent_id;
  std::string short_id;
  friend bool operator==(const OpenUiConnectIntent&, const OpenUiConnectIntent&) = default;
};

struct Status {
  CaptureStatus status;
  std::optional<CaptureGeometry> geometry;
  std::uint64_t input_epoch = 0;  // 0: no input epoch yet; left out
  std::optional<CaptureDiagnostics> diagnostics;
  friend bool operator==(const Status&, const Status&) = default;
};

struct Permission {
  PermissionStatus status;
  friend bool operator==(const Permission&, const Permission&) = default;
};

// Unlike "status", a missing geometry is written as null.
struct Geometry {
  std::optional<CaptureGeometry> geometry;
  std::uint64_t geometry_epoch = 0;
  friend bool operator==(const Geometry&, const Geometry&) = default;
};

struct DisplayList {
  std::uint32_t revision = 0;
  std::vector<DisplayInfo> displays;
  friend bool operator==(const DisplayList&, const DisplayList&) = default;
};

struct InputAccepted {
  std::uint64_t input_epoch = 0;
  friend bool operator==(const InputAccepted&, const InputAccepted&) = default;
};

struct Stopped {
  friend bool operator==(const Stopped&, const Stopped&) = default;
};

struct Error {
  AgentError error;
  friend bool operator==(const Error&, const Error&) = default;
};

struct RoutesApplied {
  std::uint64_t revision = 0;
  friend bool operator==(const RoutesApplied&, const RoutesApplied&) = default;
};

struct ClipboardResult {
  std::uint64_t route_id = 0;
  json::Value payload;
  friend bool operator==(const ClipboardResult&, const ClipboardResult&) = default;
};

struct FileResult {
  std::uint64_t route_id = 0;
  json::Value payload;
  friend bool operator==(const FileResult&, const FileResult&) = default;
};

struct AudioResult {
  std::uint64_t route_id = 0;
  json::Value payload;
  friend bool operator==(const AudioResult&, const AudioResult&) = default;
};

struct AltTabList {
  std::uint64_t route_id = 0;
  std::vector<AltTabApp> apps;
  friend bool operator==(const AltTabList&, const AltTabList&) = default;
};

struct DisplaySettingsResult {
  std::uint64_t route_id = 0;
  DisplaySettings settings;
  friend bool operator==(const DisplaySettingsResult&, const DisplaySettingsResult&) = default;
};

struct ResolutionApplied {
  std::uint64_t route_id = 0;
  DisplaySettings settings;
  CaptureGeometry geometry;
  std::uint64_t input_epoch = 0;
  friend bool operator==(const ResolutionApplied&, const ResolutionApplied&) = default;
};

struct ResolutionFailed {
  std::uint64_t route_id = 0;
  CaptureGeometry geometry;
  std::uint64_t input_epoch = 0;
  friend bool operator==(const ResolutionFailed&, const ResolutionFailed&) = default;
};

struct BitrateApplied {
  std::uint64_t route_id = 0;
  std::uint32_t bitrate_bps = 0;
  friend bool operator==(const BitrateApplied&, const BitrateApplied&) = default;
};

struct CursorState {
  std::string css;
  friend bool operator==(const CursorState&, const CursorState&) = default;
};

struct WindowCaptureState {
  std::string state;
  friend bool operator==(const WindowCaptureState&, const WindowCaptureState&) = default;
};

struct WindowCaptureGeometry {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t w = 0;
  std::uint32_t h = 0;
  std::int32_t mon_left = 0;
  std::int32_t mon_top = 0;
  std::int32_t mon_right = 0;
  std::int32_t mon_bottom = 0;
  friend bool operator==(const WindowCaptureGeometry&, const WindowCaptureGeometry&) = default;
};

struct WindowCaptureFailed {
  std::string reason;
  friend bool operator==(const WindowCaptureFailed&, const WindowCaptureFailed&) = default;
};

struct ClipboardEvent {
  std::uint64_t route_id = 0;
  std::string event_type;
  json::Value payload;
  friend bool operator==(const ClipboardEvent&, const ClipboardEvent&) = default;
};

struct FileEvent {
  std::uint64_t route_id = 0;
  std::string event_type;
  json::Value payload;
  friend bool operator==(const FileEvent&, const FileEvent&) = default;
};

// Follow-up of a failed file send.
struct DomainFault {
  std::uint64_t route_id = 0;
  std::optional<std::uint64_t> packet_id;
  std::string code;
  bool retryable = false;
  friend bool operator==(const DomainFault&, const DomainFault&) = default;
};

}  // namespace kivo::protocol::agent_msg

namespace kivo::protocol {

using AgentMessage =
    std::variant<agent_msg::QuitAllRequest, agent_msg::OpenUiConnectIntent, agent_msg::Status,
                 agent_msg::Permission, agent_msg::Geometry, agent_msg::DisplayList,
                 agent_msg::InputAccepted, agent_msg::Stopped, agent_msg::Error,
                 agent_msg::RoutesApplied, agent_msg::ClipboardResult, agent_msg::FileResult,
                 agent_msg::AudioResult, agent_msg::AltTabList, agent_msg::DisplaySettingsResult,
                 agent_msg::ResolutionApplied, agent_msg::ResolutionFailed,
                 agent_msg::BitrateApplied, agent_msg::CursorState, agent_msg::WindowCaptureState,
                 agent_msg::WindowCaptureGeometry, agent_msg::WindowCaptureFailed,
                 agent_msg::ClipboardEvent, agent_msg::FileEvent, agent_msg::DomainFault>;

struct AgentEnvelope {
  // The request id of the command answered; none for events.
  std::optional<std::uint64_t> request_id;
  AgentStamp stamp;
  AgentMessage message;
  friend bool operator==(const AgentEnvelope&, const AgentEnvelope&) = default;
};

// The compact JSON text of one document; writing to memory cannot fail.
std::string encode_agent_envelope(std::optional<std::uint64_t> request_id, const AgentStamp& stamp,
                                  const AgentMessage& message);

// Reads a document the agent wrote, for a stand-in service and for tests.
Result<AgentEnvelope> decode_agent_envelope(std::string_view text);

// The "type" tag of a message ("status", "error", ...).
std::string_view agent_message_type(const AgentMessage& message);

}  // namespace kivo::protocol

// ---- Wire descriptions ---------------------------------------------------

namespace kivo::json {

#define KIVO_AGENT_MESSAGE_RECORD(Type, Tag, ...)                \
  template <>                                                    \
  struct Record<kivo::protocol::agent_msg::Type> {               \
    using T = kivo::protocol::agent_msg::Type;                   \
    static constexpr std::string_view name = #Type;              \
    static constexpr std::string_view tag = Tag;                 \
    static constexpr auto fields = std::make_tuple(__VA_ARGS__); \
  }

template <>
struct Record<kivo::protocol::agent_msg::QuitAllRequest> {
  static constexpr std::string_view name = "QuitAllRequest";
  static constexpr std::string_view tag = "quit_all_request";
  static constexpr auto fields = std::tuple<>();
};
template <>
struct Record<kivo::protocol::agent_msg::Stopped> {
  static constexpr std::string_view name = "Stopped";
  static constexpr std::string_view tag = "stopped";
  static constexpr auto fields = std::tuple<>();
};

KIVO_AGENT_MESSAGE_RECORD(OpenUiConnectIntent, "open_ui_connect_intent",
                          field("intent_id", &T::intent_id), field("short_id", &T::short_id));
KIVO_AGENT_MESSAGE_RECORD(Status, "status", field("status", &T::status),
                          field("geometry", &T::geometry),
                          field("input_epoch", &T::input_epoch).omit(Omit::kIfZero).or_default(),
                          field("diagnostics", &T::diagnostics));
KIVO_AGENT_MESSAGE_RECORD(Permission, "permission", field("status", &T::status));
KIVO_AGENT_MESSAGE_RECORD(Geometry, "geometry", field("geometry", &T::geometry).omit(Omit::kNever),
                          field("geometry_epoch", &T::geometry_epoch));
KIVO_AGENT_MESSAGE_RECORD(DisplayList, "display_list", field("revision", &T::revision),
                          field("displays", &T::displays));
KIVO_AGENT_MESSAGE_RECORD(InputAccepted, "input_accepted", field("input_epoch", &T::input_epoch));
KIVO_AGENT_MESSAGE_RECORD(Error, "error", field("error", &T::error));
KIVO_AGENT_MESSAGE_RECORD(RoutesApplied, "routes_applied", field("revision", &T::revision));
KIVO_AGENT_MESSAGE_RECORD(ClipboardResult, "clipboard_result", field("route_id", &T::route_id),
                          field("payload", &T::payload));
KIVO_AGENT_MESSAGE_RECORD(FileResult, "file_result", field("route_id", &T::route_id),
                          field("payload", &T::payload));
KIVO_AGENT_MESSAGE_RECORD(AudioResult, "audio_result", field("route_id", &T::route_id),
                          field("payload", &T::payload));
KIVO_AGENT_MESSAGE_RECORD(AltTabList, "alt_tab_list", field("route_id", &T::route_id),
                          field("apps", &T::apps));
KIVO_AGENT_MESSAGE_RECORD(DisplaySettingsResult, "display_settings_result",
                          field("route_id", &T::route_id), field("settings", &T::settings));
KIVO_AGENT_MESSAGE_RECORD(ResolutionApplied, "resolution_applied", field("route_id", &T::route_id),
                          field("settings", &T::settings), field("geometry", &T::geometry),
                          field("input_epoch", &T::input_epoch));
KIVO_AGENT_MESSAGE_RECORD(ResolutionFailed, "resolution_failed", field("route_id", &T::route_id),
                          field("geometry", &T::geometry), field("input_epoch", &T::input_epoch));
KIVO_AGENT_MESSAGE_RECORD(BitrateApplied, "bitrate_applied", field("route_id", &T::route_id),
                          field("bitrate_bps", &T::bitrate_bps));
KIVO_AGENT_MESSAGE_RECORD(CursorState, "cursor_state", field("css", &T::css));
KIVO_AGENT_MESSAGE_RECORD(WindowCaptureState, "window_capture_state", field("state", &T::state));
KIVO_AGENT_MESSAGE_RECORD(WindowCaptureGeometry, "window_capture_geometry", field("x", &T::x),
                          field("y", &T::y), field("w", &T::w), field("h", &T::h),
                          field("mon_left", &T::mon_left), field("mon_top", &T::mon_top),
                          field("mon_right", &T::mon_right), field("mon_bottom", &T::mon_bottom));
KIVO_AGENT_MESSAGE_RECORD(WindowCaptureFailed, "window_capture_failed",
                          field("reason", &T::reason));
KIVO_AGENT_MESSAGE_RECORD(ClipboardEvent, "clipboard_event", field("route_id", &T::route_id),
                          field("event_type", &T::event_type), field("payload", &T::payload));
KIVO_AGENT_MESSAGE_RECORD(FileEvent, "file_event", field("route_id", &T::route_id),
                          field("event_type", &T::event_type), field("payload", &T::payload));
KIVO_AGENT_MESSAGE_RECORD(DomainFault, "domain_fault", field("route_id", &T::route_id),
                          field("packet_id", &T::packet_id), field("code", &T::code),
                          field("retryable", &T::retryable));

#undef KIVO_AGENT_MESSAGE_RECORD

template <>
struct TaggedUnion<kivo::protocol::AgentMessage> {
  static constexpr std::string_view name = "AgentMessage";
  static constexpr std::string_view tag_key = "type";
};

template <>
struct Record<kivo::protocol::AgentEnvelope> {
  using T = kivo::protocol::AgentEnvelope;
  static constexpr std::string_view name = "AgentEnvelope";
  static constexpr auto fields =
      std::make_tuple(field("request_id", &T::request_id), field("stamp", &T::stamp),
                      field("message", &T::message));
};

}  // namespace kivo::json
