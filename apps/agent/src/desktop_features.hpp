// The features of an X11 desktop that are built: screen capture (the X
// server's screen through the capture pipeline, encoded with libx264) and the
// two permission checks. Everything else is still unbuilt.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "capture_session.hpp"
#include "kivo/capture/screen_source.hpp"
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

 private:
  DesktopPorts ports_;
  PipelineFactory create_pipeline_;
  PermissionRequests permissions_;
};

// Whether the X server of `display_name` answers a one-pixel read of its
// root window. False when it cannot be reached.
bool x11_accepts_capture(const std::string& display_name);
// Whether the X server of `display_name` offers XTEST.
bool x11_has_xtest(const std::string& display_name);

}  // namespace kivo::agent
