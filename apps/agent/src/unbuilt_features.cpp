#include "unbuilt_features.hpp"

namespace kivo::agent {
namespace {

// The names an unbuilt feature answers with.
constexpr std::string_view kCapture = "capture";
constexpr std::string_view kPermissions = "permissions";
constexpr std::string_view kInput = "input";
constexpr std::string_view kDisplays = "displays";
constexpr std::string_view kWindows = "windows";
constexpr std::string_view kThumbnails = "thumbnails";
constexpr std::string_view kClipboard = "clipboard";
constexpr std::string_view kFiles = "files";
constexpr std::string_view kAudio = "audio";

Unexpected<KivoError> unbuilt(std::string_view feature) {
  return fail(KivoError::not_implemented(std::string(feature)));
}

}  // namespace

Result<void> UnbuiltFeatures::start_capture_session(AgentState&, const protocol::CaptureConfig&,
                                                    std::uint64_t) {
  return unbuilt(kCapture);
}
void UnbuiltFeatures::publish_capture_epoch(AgentState&) {}

Result<bool> UnbuiltFeatures::preflight_screen_capture() {
  return unbuilt(kPermissions);
}
Result<bool> UnbuiltFeatures::preflight_post_event() {
  return unbuilt(kPermissions);
}
Result<protocol::PermissionStatus> UnbuiltFeatures::permission_status() {
  return unbuilt(kPermissions);
}
Result<protocol::PermissionStatus> UnbuiltFeatures::request_screen_recording(
    AgentState&, const protocol::AgentStamp&) {
  return unbuilt(kPermissions);
}
Result<protocol::PermissionStatus> UnbuiltFeatures::request_accessibility(
    AgentState&, const protocol::AgentStamp&) {
  return unbuilt(kPermissions);
}

Expected<void, protocol::AgentError> UnbuiltFeatures::enqueue_input(
    AgentState&, const protocol::AgentStamp&, const protocol::InjectInput&,
    const std::optional<protocol::CaptureGeometry>&) {
  return fail(protocol::agent_error_from(KivoError::not_implemented(std::string(kInput))));
}
bool UnbuiltFeatures::input_worker_running() const {
  return false;
}
void UnbuiltFeatures::flush_input_queue(AgentState&) {}
void UnbuiltFeatures::stop_input_worker(AgentState&) {}
void UnbuiltFeatures::input_capture_started(AgentState&) {}
InputWorkerReport UnbuiltFeatures::input_worker_report() const {
  return {};
}
Result<void> UnbuiltFeatures::post_lock_screen() {
  return unbuilt(kInput);
}

Result<std::vector<protocol::DisplayInfo>> UnbuiltFeatures::list_displays() {
  return unbuilt(kDisplays);
}
Result<std::uint32_t> UnbuiltFeatures::main_display_id() {
  return unbuilt(kDisplays);
}
Result<protocol::DisplaySettings> UnbuiltFeatures::query_display_settings() {
  return unbuilt(kDisplays);
}
Result<protocol::AgentMessage> UnbuiltFeatures::set_physical_display_mode(
    AgentState&, const protocol::SetPhysicalDisplayMode&) {
  return unbuilt(kDisplays);
}
Result<void> UnbuiltFeatures::activate_window_owner(std::uint32_t) {
  return unbuilt(kWindows);
}
Result<std::vector<protocol::AltTabApp>> UnbuiltFeatures::list_alt_tab_windows() {
  return unbuilt(kWindows);
}

Result<void> UnbuiltFeatures::queue_thumbnail(AgentState&,
                                              const protocol::CaptureDisplayThumbnail&) {
  return unbuilt(kThumbnails);
}
Result<void> UnbuiltFeatures::queue_thumbnail_failure(AgentState&,
                                                      const protocol::CaptureDisplayThumbnail&,
                                                      std::string_view) {
  return unbuilt(kThumbnails);
}

Result<protocol::AgentMessage> UnbuiltFeatures::clipboard_command(
    AgentState&, std::uint64_t, const ClipboardRouteView&, const protocol::ClipboardCommandWire&) {
  return unbuilt(kClipboard);
}
Result<protocol::AgentMessage> UnbuiltFeatures::file_command(AgentState&, std::uint64_t,
                                                             const AuthorizedRoute&,
                                                             const protocol::FileCommandWire&,
                                                             std::vector<protocol::AgentMessage>&) {
  return unbuilt(kFiles);
}
Result<protocol::AgentMessage> UnbuiltFeatures::configure_audio(
    AgentState&, const protocol::AudioConfigure&, const std::optional<PlaybackRoute>&) {
  return unbuilt(kAudio);
}
ClipboardHealthReport UnbuiltFeatures::clipboard_health() const {
  return {};
}

Result<AgentMessages> UnbuiltFeatures::receive_file_data(AgentState&, std::uint64_t,
                                                         const AuthorizedRoute&, std::string,
                                                         std::uint32_t, protocol::Bytes) {
  return unbuilt(kFiles);
}
Result<AgentMessages> UnbuiltFeatures::receive_file_ack(AgentState&, std::uint64_t,
                                                        const AuthorizedRoute&,
                                                        const protocol::Bytes&) {
  return unbuilt(kFiles);
}
Result<AgentMessages> UnbuiltFeatures::receive_clipboard_packet(AgentState&, std::uint64_t,
                                                                const ClipboardRouteView&,
                                                                protocol::Bytes) {
  return unbuilt(kClipboard);
}

void UnbuiltFeatures::refresh_history_menu(const std::vector<protocol::HistoryMenuEntry>&) {}
std::vector<StampedMessage> UnbuiltFeatures::maintenance_tick(AgentState&) {
  return {};
}
void UnbuiltFeatures::shut_down_engines(AgentState&) {}

void UnbuiltFeatures::restore_physical_display_mode(std::string_view) {}
void UnbuiltFeatures::end_status_connections(std::uint64_t, std::uint64_t) {}
void UnbuiltFeatures::clear_clipboard_peer(const std::string&, std::uint64_t) {}
void UnbuiltFeatures::cancel_file_peer(const std::string&, std::uint64_t) {}
void UnbuiltFeatures::reset_audio_route(const std::string&, std::uint64_t) {}
void UnbuiltFeatures::forget_file_route(std::uint64_t) {}
void UnbuiltFeatures::forget_clipboard_route(std::uint64_t) {}
void UnbuiltFeatures::revoke_file_clipboard_intents(std::uint64_t) {}
Result<void> UnbuiltFeatures::enable_audio_playback(const PlaybackRoute&) {
  return unbuilt(kAudio);
}

bool UnbuiltFeatures::settle_file_receipt(const protocol::OutboundReceipt&) {
  return false;
}
bool UnbuiltFeatures::settle_clipboard_receipt(const protocol::OutboundReceipt&) {
  return false;
}

}  // namespace kivo::agent
