// The features of an X11 desktop that are built: screen capture (the X
// server's screen through the capture pipeline, encoded with libx264), remote
// input (XTEST), the session lock (logind) and the two permission checks.
// Everything else is still unbuilt.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "capture_session.hpp"
#include "input_supervisor.hpp"
#include "kivo/capture/screen_source.hpp"
#include "kivo/input/event_poster.hpp"
#include "kivo/input/input_clock.hpp"
#include "kivo/video/video_encoder_session.hpp"
#include "permission_requests.hpp"
#include "unbuilt_features.hpp"

namespace kivo::agent {

struct DesktopPorts {
  std::shared_ptr<capture::ScreenSource> source;
  std::shared_ptr<video::VideoEncoderFactory> encoders;
  // Whether the screen may be captured now.
  std::function<bool()> screen_access;
  // Whether synthetic input events can be posted.
  std::function<bool()> post_event_access;
  // The event source of each input worker generation (required).
  std::shared_ptr<input::EventPosterFactory> posters;
  // Click timing and the input worker's bounded waits; the system clock when
  // empty.
  std::shared_ptr<const input::InputClock> input_clock;
  // Locks the user's session as the desktop does.
  std::function<Result<void>()> lock_session;
  // Runs work on the main thread later (permission request jobs).
  std::function<void(std::function<void()>)> post_to_main;
};

class DesktopFeatures final : public UnbuiltFeatures {
 public:
  explicit DesktopFeatures(DesktopPorts ports);

  // The X server `display_name` names (as in $DISPLAY; empty: none), with
  // the X11 screen source and libx264.
  static std::unique_ptr<DesktopFeatures> for_x11_display(
      std::string display_name, std::function<void(std::function<void()>)> post_to_main);

  Result<void> start_capture_session(AgentState& state, const protocol::CaptureConfig& config,
                                     std::uint64_t capture_epoch) override;
  void publish_capture_epoch(AgentState& state) override;
  // Granted when the X server lets this client read the screen.
  Result<bool> preflight_screen_capture() override;
  // Granted when the X server has the XTEST extension.
  Result<bool> preflight_post_event() override;
  Result<protocol::PermissionStatus> permission_status() override;
  // The X server prompts no one: the request job only refreshes the status.
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
  // Locks the session through the session manager; the remote side's key
  // chord would lock nothing on this desktop.
  Result<void> post_lock_screen() override;

  std::vector<StampedMessage> maintenance_tick(AgentState& state) override;

 private:
  DesktopPorts ports_;
  InputSupervisor input_;
  PipelineFactory create_pipeline_;
  PermissionRequests permissions_;
};

// Whether the X server of `display_name` answers a one-pixel read of its
// root window. False when it cannot be reached.
bool x11_accepts_capture(const std::string& display_name);
// Whether the X server of `display_name` offers XTEST.
bool x11_has_xtest(const std::string& display_name);

}  // namespace kivo::agent
