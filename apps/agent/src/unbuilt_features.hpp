// The features not built yet: every call that would do a feature's work
// answers NotImplemented naming the feature, and everything a feature would
// clean up is already clean.
#pragma once

#include "agent_features.hpp"

namespace kivo::agent {

class UnbuiltFeatures : public AgentFeatures {
 public:
  Result<void> start_capture_session(AgentState& state, const protocol::CaptureConfig& config,
                                     std::uint64_t capture_epoch) override;
  void publish_capture_epoch(AgentState& state) override;

  Result<bool> preflight_screen_capture() override;
  Result<bool> preflight_post_event() override;
  Result<protocol::PermissionStatus> permission_status() override;
  Result<protocol::PermissionStatus> request_screen_recording(
      AgentState& state, const protocol::AgentStamp& stamp) override;
  Result<protocol::PermissionStatus> request_accessibility(
      AgentState& state, const protocol::AgentStamp& stamp) override;

  Expected<void, protocol::AgentError> enqueue_input(
      AgentState& state, const protocol::AgentStamp& stamp, const protocol::InjectInput& command,
      const std::optional<protocol::CaptureGeometry>& geometry) override;
  bool input_worker_running() const override;
  void flush_input_queue(AgentState& state) override;
  void stop_input_worker(AgentState& state) override;
  void input_capture_started(AgentState& state) override;
  InputWorkerReport input_worker_report() const override;
  Result<void> post_lock_screen() override;

  Result<std::vector<protocol::DisplayInfo>> list_displays() override;
  Result<std::uint32_t> main_display_id() override;
  Result<protocol::DisplaySettings> query_display_settings() override;
  Result<protocol::AgentMessage> set_physical_display_mode(
      AgentState& state, const protocol::SetPhysicalDisplayMode& command) override;
  Result<void> activate_window_owner(std::uint32_t window_id) override;
  Result<std::vector<protocol::AltTabApp>> list_alt_tab_windows() override;

  Result<void> queue_thumbnail(AgentState& state,
                               const protocol::CaptureDisplayThumbnail& request) override;
  Result<void> queue_thumbnail_failure(AgentState& state,
                                       const protocol::CaptureDisplayThumbnail& request,
                                       std::string_view code) override;

  Result<protocol::AgentMessage> clipboard_command(
      AgentState& state, std::uint64_t route_id, const ClipboardRouteView& lease,
      const protocol::ClipboardCommandWire& command) override;
  Result<protocol::AgentMessage> file_command(
      AgentState& state, std::uint64_t route_id, const AuthorizedRoute& lease,
      const protocol::FileCommandWire& command,
      std::vector<protocol::AgentMessage>& follow_ups) override;
  Result<protocol::AgentMessage> configure_audio(
      AgentState& state, const protocol::AudioConfigure& command,
      const std::optional<PlaybackRoute>& route) override;
  ClipboardHealthReport clipboard_health() const override;

  Result<AgentMessages> receive_file_data(AgentState& state, std::uint64_t route_id,
                                          const AuthorizedRoute& route, std::string task_id,
                                          std::uint32_t chunk_index, protocol::Bytes data) override;
  Result<AgentMessages> receive_file_ack(AgentState& state, std::uint64_t route_id,
                                         const AuthorizedRoute& route,
                                         const protocol::Bytes& payload) override;
  Result<AgentMessages> receive_clipboard_packet(AgentState& state, std::uint64_t route_id,
                                                 const ClipboardRouteView& route,
                                                 protocol::Bytes packet) override;

  void refresh_history_menu(const std::vector<protocol::HistoryMenuEntry>& entries) override;
  std::vector<StampedMessage> maintenance_tick(AgentState& state) override;
  void shut_down_engines(AgentState& state) override;

  // Route clean-up: nothing was done under any route, so nothing to undo.
  void restore_physical_display_mode(std::string_view reason) override;
  void end_status_connections(std::uint64_t route_id, std::uint64_t connection_generation) override;
  void clear_clipboard_peer(const std::string& peer_id,
                            std::uint64_t connection_generation) override;
  void cancel_file_peer(const std::string& peer_id, std::uint64_t connection_generation) override;
  void reset_audio_route(const std::string& peer_id, std::uint64_t connection_generation) override;
  void forget_file_route(std::uint64_t route_id) override;
  void forget_clipboard_route(std::uint64_t route_id) override;
  void revoke_file_clipboard_intents(std::uint64_t route_id) override;
  Result<void> enable_audio_playback(const PlaybackRoute& route) override;

  bool settle_file_receipt(const protocol::OutboundReceipt& receipt) override;
  bool settle_clipboard_receipt(const protocol::OutboundReceipt& receipt) override;
};

}  // namespace kivo::agent
