// The commands the service sends the agent: ServiceEnvelope around one of the
// 29 ServiceToAgent commands, and how the payload of a command message is read.
//
// Every command is a plain value type; on the wire it is an object whose
// "type" member names it (in any position) with its fields beside it, e.g.
// {"type":"stop_capture","capture_epoch":7}. Reading is strict (see
// kivo/core/json_codec.hpp): unknown keys are skipped, repeated or missing
// known keys, out-of-range integers and unknown command names fail. Records
// other than the tagged unions may also come as arrays of their fields.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "kivo/core/json_codec.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/capture_config.hpp"
#include "kivo/protocol/clipboard_command.hpp"
#include "kivo/protocol/file_command.hpp"
#include "kivo/protocol/history_menu_entry.hpp"
#include "kivo/protocol/input_event.hpp"
#include "kivo/protocol/route_wire.hpp"
#include "kivo/protocol/stamp.hpp"

namespace kivo::protocol {

// Commands without fields.
#define KIVO_EMPTY_COMMAND(Name)                                \
  struct Name {                                                 \
    friend bool operator==(const Name&, const Name&) = default; \
  }
KIVO_EMPTY_COMMAND(Quit);
KIVO_EMPTY_COMMAND(LockScreen);
KIVO_EMPTY_COMMAND(SwitchToMonitorCapture);
KIVO_EMPTY_COMMAND(RequestKeyframe);
KIVO_EMPTY_COMMAND(QueryStatus);
KIVO_EMPTY_COMMAND(QueryGeometry);
KIVO_EMPTY_COMMAND(ListDisplays);
KIVO_EMPTY_COMMAND(QueryPermission);
KIVO_EMPTY_COMMAND(RequestScreenRecording);
KIVO_EMPTY_COMMAND(RequestAccessibility);
#undef KIVO_EMPTY_COMMAND

struct StartCapture {
  CaptureConfig config;
  friend bool operator==(const StartCapture&, const StartCapture&) = default;
};

struct StopCapture {
  std::uint64_t capture_epoch = 0;
  friend bool operator==(const StopCapture&, const StopCapture&) = default;
};

struct Reconfigure {
  CaptureConfig config;
  friend bool operator==(const Reconfigure&, const Reconfigure&) = default;
};

struct SwitchToWindowCapture {
  std::uint32_t window_id = 0;
  friend bool operator==(const SwitchToWindowCapture&, const SwitchToWindowCapture&) = default;
};

struct SetAudioEnabled {
  bool enabled = false;
  friend bool operator==(const SetAudioEnabled&, const SetAudioEnabled&) = default;
};

struct InjectInput {
  InputEvent event;
  std::uint64_t geometry_epoch = 0;
  std::uint64_t input_epoch = 0;
  friend bool operator==(const InjectInput&, const InjectInput&) = default;
};

struct ResetInput {
  std::uint64_t input_epoch = 0;
  friend bool operator==(const ResetInput&, const ResetInput&) = default;
};

// Carries its own request id, which the thumbnail sent on the bulk socket
// echoes; the envelope's "request_id" is separate.
struct CaptureDisplayThumbnail {
  std::uint64_t request_id = 0;
  std::uint32_t display_id = 0;
  std::uint32_t index = 0;
  friend bool operator==(const CaptureDisplayThumbnail&, const CaptureDisplayThumbnail&) = default;
};

struct ReplaceRoutes {
  std::uint64_t revision = 0;
  std::vector<RouteWire> routes;
  friend bool operator==(const ReplaceRoutes&, const ReplaceRoutes&) = default;
};

struct RevokeRoute {
  std::uint64_t route_id = 0;
  friend bool operator==(const RevokeRoute&, const RevokeRoute&) = default;
};

struct ClipboardCommand {
  std::uint64_t route_id = 0;
  ClipboardCommandWire command;
  friend bool operator==(const ClipboardCommand&, const ClipboardCommand&) = default;
};

struct FileCommand {
  std::uint64_t route_id = 0;
  FileCommandWire command;
  friend bool operator==(const FileCommand&, const FileCommand&) = default;
};

struct AudioConfigure {
  std::uint64_t route_id = 0;
  std::uint64_t revision = 0;
  bool enabled = false;
  friend bool operator==(const AudioConfigure&, const AudioConfigure&) = default;
};

struct ListAltTabWindows {
  std::uint64_t route_id = 0;
  friend bool operator==(const ListAltTabWindows&, const ListAltTabWindows&) = default;
};

struct QueryDisplaySettings {
  std::uint64_t route_id = 0;
  friend bool operator==(const QueryDisplaySettings&, const QueryDisplaySettings&) = default;
};

struct SetPhysicalDisplayMode {
  std::uint64_t route_id = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint64_t expected_epoch = 0;
  friend bool operator==(const SetPhysicalDisplayMode&, const SetPhysicalDisplayMode&) = default;
};

struct SetTargetBitrate {
  std::uint64_t route_id = 0;
  std::uint32_t bitrate_bps = 0;
  friend bool operator==(const SetTargetBitrate&, const SetTargetBitrate&) = default;
};

struct OutboundReceipt {
  std::uint64_t route_id = 0;
  std::uint64_t packet_id = 0;
  bool accepted = false;
  friend bool operator==(const OutboundReceipt&, const OutboundReceipt&) = default;
};

struct RecentHistorySnapshot {
  std::uint64_t service_epoch = 0;
  std::uint64_t revision = 0;
  std::vector<HistoryMenuEntry> records;
  friend bool operator==(const RecentHistorySnapshot&, const RecentHistorySnapshot&) = default;
};

using ServiceToAgent =
    std::variant<Quit, LockScreen, StartCapture, StopCapture, Reconfigure, SwitchToWindowCapture,
                 SwitchToMonitorCapture, RequestKeyframe, SetAudioEnabled, InjectInput, ResetInput,
                 QueryStatus, QueryGeometry, ListDisplays, CaptureDisplayThumbnail, QueryPermission,
                 RequestScreenRecording, RequestAccessibility, ReplaceRoutes, RevokeRoute,
                 ClipboardCommand, FileCommand, AudioConfigure, ListAltTabWindows,
                 QueryDisplaySettings, SetPhysicalDisplayMode, SetTargetBitrate, OutboundReceipt,
                 RecentHistorySnapshot>;

struct ServiceEnvelope {
  // Correlation id echoed by the reply; none for fire-and-forget commands.
  std::optional<std::uint64_t> request_id;
  AgentStamp stamp;
  ServiceToAgent message;
  friend bool operator==(const ServiceEnvelope&, const ServiceEnvelope&) = default;
};

// Reads the payload of a command message. An empty payload is
// InvalidMessage "missing XPC payload"; anything that is not exactly one
// ServiceEnvelope fails with the JSON reader's error.
Result<ServiceEnvelope> decode_service_envelope(std::span<const std::uint8_t> bytes);
Result<ServiceEnvelope> decode_service_envelope(std::string_view text);

// The envelope as compact JSON, keys in declared order and absent optionals
// left out; what a service (or a stand-in for one) sends.
std::string encode_service_envelope(const ServiceEnvelope& envelope);

// The "type" name of a command ("start_capture").
std::string_view command_name(const ServiceToAgent& message);

}  // namespace kivo::protocol

// ---- Wire descriptions ----------------------------------------------------

namespace kivo::json {

#define KIVO_COMMAND_RECORD(Type, Tag, ...)                      \
  template <>                                                    \
  struct Record<kivo::protocol::Type> {                          \
    using T = kivo::protocol::Type;                              \
    static constexpr std::string_view name = #Type;              \
    static constexpr std::string_view tag = Tag;                 \
    static constexpr auto fields = std::make_tuple(__VA_ARGS__); \
  }

KIVO_COMMAND_RECORD(Quit, "quit");
KIVO_COMMAND_RECORD(LockScreen, "lock_screen");
KIVO_COMMAND_RECORD(StartCapture, "start_capture", field("config", &T::config));
KIVO_COMMAND_RECORD(StopCapture, "stop_capture", field("capture_epoch", &T::capture_epoch));
KIVO_COMMAND_RECORD(Reconfigure, "reconfigure", field("config", &T::config));
KIVO_COMMAND_RECORD(SwitchToWindowCapture, "switch_to_window_capture",
                    field("window_id", &T::window_id));
KIVO_COMMAND_RECORD(SwitchToMonitorCapture, "switch_to_monitor_capture");
KIVO_COMMAND_RECORD(RequestKeyframe, "request_keyframe");
KIVO_COMMAND_RECORD(SetAudioEnabled, "set_audio_enabled", field("enabled", &T::enabled));
KIVO_COMMAND_RECORD(InjectInput, "inject_input", field("event", &T::event),
                    field("geometry_epoch", &T::geometry_epoch),
                    field("input_epoch", &T::input_epoch));
KIVO_COMMAND_RECORD(ResetInput, "reset_input", field("input_epoch", &T::input_epoch));
KIVO_COMMAND_RECORD(QueryStatus, "query_status");
KIVO_COMMAND_RECORD(QueryGeometry, "query_geometry");
KIVO_COMMAND_RECORD(ListDisplays, "list_displays");
KIVO_COMMAND_RECORD(CaptureDisplayThumbnail, "capture_display_thumbnail",
                    field("request_id", &T::request_id), field("display_id", &T::display_id),
                    field("index", &T::index));
KIVO_COMMAND_RECORD(QueryPermission, "query_permission");
KIVO_COMMAND_RECORD(RequestScreenRecording, "request_screen_recording");
KIVO_COMMAND_RECORD(RequestAccessibility, "request_accessibility");
KIVO_COMMAND_RECORD(ReplaceRoutes, "replace_routes", field("revision", &T::revision),
                    field("routes", &T::routes));
KIVO_COMMAND_RECORD(RevokeRoute, "revoke_route", field("route_id", &T::route_id));
KIVO_COMMAND_RECORD(ClipboardCommand, "clipboard_command", field("route_id", &T::route_id),
                    field("command", &T::command));
KIVO_COMMAND_RECORD(FileCommand, "file_command", field("route_id", &T::route_id),
                    field("command", &T::command));
KIVO_COMMAND_RECORD(AudioConfigure, "audio_configure", field("route_id", &T::route_id),
                    field("revision", &T::revision), field("enabled", &T::enabled));
KIVO_COMMAND_RECORD(ListAltTabWindows, "list_alt_tab_windows", field("route_id", &T::route_id));
KIVO_COMMAND_RECORD(QueryDisplaySettings, "query_display_settings",
                    field("route_id", &T::route_id));
KIVO_COMMAND_RECORD(SetPhysicalDisplayMode, "set_physical_display_mode",
                    field("route_id", &T::route_id), field("width", &T::width),
                    field("height", &T::height), field("expected_epoch", &T::expected_epoch));
KIVO_COMMAND_RECORD(SetTargetBitrate, "set_target_bitrate", field("route_id", &T::route_id),
                    field("bitrate_bps", &T::bitrate_bps));
KIVO_COMMAND_RECORD(OutboundReceipt, "outbound_receipt", field("route_id", &T::route_id),
                    field("packet_id", &T::packet_id), field("accepted", &T::accepted));
KIVO_COMMAND_RECORD(RecentHistorySnapshot, "recent_history_snapshot",
                    field("service_epoch", &T::service_epoch), field("revision", &T::revision),
                    field("records", &T::records));

#undef KIVO_COMMAND_RECORD

template <>
struct TaggedUnion<kivo::protocol::ServiceToAgent> {
  static constexpr std::string_view name = "ServiceToAgent";
  static constexpr std::string_view tag_key = "type";
};

template <>
struct Record<kivo::protocol::ServiceEnvelope> {
  using T = kivo::protocol::ServiceEnvelope;
  static constexpr std::string_view name = "ServiceEnvelope";
  static constexpr auto fields =
      std::make_tuple(field("request_id", &T::request_id), field("stamp", &T::stamp),
                      field("message", &T::message));
};

}  // namespace kivo::json
