// The feature engines the agent's loops hand work to: capture start, input,
// permissions, displays, windows, thumbnails, clipboard, files and audio.
// The dispatcher runs its own checks and then makes exactly one call here per
// piece of feature work, so that building a feature means filling its calls.
// Every method runs under the AgentState lock unless it says otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "bulk_reader.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_message.hpp"
#include "kivo/protocol/capture_config.hpp"
#include "kivo/protocol/capture_status.hpp"
#include "kivo/protocol/service_message.hpp"
#include "outbound_receipt.hpp"
#include "routes.hpp"

namespace kivo::agent {

struct AgentState;

// The input worker's figures for the status report.
struct InputWorkerReport {
  bool worker_running = false;  // a worker thread exists and has not finished
  std::uint64_t worker_generation = 0;
  std::uint64_t restart_count = 0;
  std::uint64_t failure_count = 0;
  std::uint64_t post_attempts = 0;
  std::optional<protocol::CaptureErrorRecord> last_failure;
  // The failure of the last worker exit, when that exit belongs to the
  // current worker generation.
  std::optional<protocol::CaptureErrorRecord> current_generation_exit_failure;
};

// The clipboard bridge's health; state unknown until the bridge has run.
struct ClipboardHealthReport {
  protocol::CapabilityHealthState state = protocol::CapabilityHealthState::kUnknown;
  std::uint64_t failure_count = 0;
  std::optional<protocol::CaptureErrorRecord> last_failure;
};

// A document a periodic step produced, with the stamp it goes out under.
struct StampedMessage {
  protocol::AgentStamp stamp;
  protocol::AgentMessage message;
};

// What a handler answers: its reply (none for some commands) and the events
// that follow it. A handler that fails may still have follow-ups to send.
struct DispatchOutcome {
  std::optional<protocol::AgentMessage> reply;
  std::vector<protocol::AgentMessage> follow_ups;
};

class AgentFeatures : public RouteCleanupHooks, public OutboundReceiptTables {
 public:
  ~AgentFeatures() override = default;

  // Capture: replaces the running capture with a new one (the caller has
  // made no checks). On success the state holds the new pipeline.
  virtual Result<void> start_capture_session(AgentState& state,
                                             const protocol::CaptureConfig& config,
                                             std::uint64_t capture_epoch) = 0;
  // The video and audio writers number their frames from 0 under the new
  // capture epoch.
  virtual void publish_capture_epoch(AgentState& state) = 0;

  // Permissions: the preflights the checks use, and the status and requests
  // of "query_permission" and the two request commands.
  virtual Result<bool> preflight_screen_capture() = 0;
  virtual Result<bool> preflight_post_event() = 0;
  virtual Result<protocol::PermissionStatus> permission_status() = 0;
  virtual Result<protocol::PermissionStatus> request_screen_recording(
      AgentState& state, const protocol::AgentStamp& stamp) = 0;
  virtual Result<protocol::PermissionStatus> request_accessibility(
      AgentState& state, const protocol::AgentStamp& stamp) = 0;

  // Input. `enqueue_input` queues an event that passed the dispatcher's
  // checks, with the pipeline's current geometry: for a positioned mouse
  // event it is present and of the command's geometry epoch.
  virtual Expected<void, protocol::AgentError> enqueue_input(
      AgentState& state, const protocol::AgentStamp& stamp, const protocol::InjectInput& command,
      const std::optional<protocol::CaptureGeometry>& geometry) = 0;
  virtual bool input_worker_running() const = 0;
  // Empties the input queue and releases held keys and buttons.
  virtual void flush_input_queue(AgentState& state) = 0;
  virtual void stop_input_worker(AgentState& state) = 0;
  // A capture was installed: an earlier worker failure no longer counts
  // against the new capture, and a worker starts now if it can.
  virtual void input_capture_started(AgentState& state) = 0;
  virtual InputWorkerReport input_worker_report() const = 0;
  virtual Result<void> post_lock_screen() = 0;

  // Displays and windows.
  virtual Result<std::vector<protocol::DisplayInfo>> list_displays() = 0;
  virtual Result<std::uint32_t> main_display_id() = 0;
  virtual Result<protocol::DisplaySettings> query_display_settings() = 0;
  virtual Result<protocol::AgentMessage> set_physical_display_mode(
      AgentState& state, const protocol::SetPhysicalDisplayMode& command) = 0;
  // Raises the application owning the window; failures are the caller's to log.
  virtual Result<void> activate_window_owner(std::uint32_t window_id) = 0;
  virtual Result<std::vector<protocol::AltTabApp>> list_alt_tab_windows() = 0;

  // Thumbnails: queue a capture, or answer one with a failure code on the
  // thumbnail path.
  virtual Result<void> queue_thumbnail(AgentState& state,
                                       const protocol::CaptureDisplayThumbnail& request) = 0;
  virtual Result<void> queue_thumbnail_failure(AgentState& state,
                                               const protocol::CaptureDisplayThumbnail& request,
                                               std::string_view code) = 0;

  // Clipboard, files and audio, after the route and lease checks.
  virtual Result<protocol::AgentMessage> clipboard_command(
      AgentState& state, std::uint64_t route_id, const ClipboardRouteView& lease,
      const protocol::ClipboardCommandWire& command) = 0;
  // The follow-ups are sent even when the command fails.
  virtual Result<protocol::AgentMessage> file_command(
      AgentState& state, std::uint64_t route_id, const AuthorizedRoute& lease,
      const protocol::FileCommandWire& command,
      std::vector<protocol::AgentMessage>& follow_ups) = 0;
  virtual Result<protocol::AgentMessage> configure_audio(
      AgentState& state, const protocol::AudioConfigure& command,
      const std::optional<PlaybackRoute>& route) = 0;
  virtual ClipboardHealthReport clipboard_health() const = 0;

  // Frames from the bulk socket, after the bulk reader's route checks.
  virtual Result<AgentMessages> receive_file_data(AgentState& state, std::uint64_t route_id,
                                                  const AuthorizedRoute& route, std::string task_id,
                                                  std::uint32_t chunk_index,
                                                  protocol::Bytes data) = 0;
  virtual Result<AgentMessages> receive_file_ack(AgentState& state, std::uint64_t route_id,
                                                 const AuthorizedRoute& route,
                                                 const protocol::Bytes& payload) = 0;
  virtual Result<AgentMessages> receive_clipboard_packet(AgentState& state, std::uint64_t route_id,
                                                         const ClipboardRouteView& route,
                                                         protocol::Bytes packet) = 0;

  // The status menu shows the accepted recent-history entries.
  virtual void refresh_history_menu(const std::vector<protocol::HistoryMenuEntry>& entries) = 0;

  // One maintenance tick: input supervision, clipboard poll, file retries,
  // file-clipboard publication, clipboard maintenance, idle transfer clean-up.
  virtual std::vector<StampedMessage> maintenance_tick(AgentState& state) = 0;

  // Shutdown: playback routes reset, clipboard state cleared, transfers
  // cancelled, outbound and pending tables and the thumbnail queue emptied.
  virtual void shut_down_engines(AgentState& state) = 0;
};

}  // namespace kivo::agent
