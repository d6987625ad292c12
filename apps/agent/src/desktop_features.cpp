#include "desktop_features.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <utility>

#include "agent_state.hpp"
#include "kivo/capture/screen_capture_pipeline.hpp"
#include "kivo/logind/session_lock.hpp"
#include "kivo/x11/x11_event_poster.hpp"
#include "kivo/x11/x11_screen_source.hpp"
#include "kivo/x264/x264_encoder.hpp"

namespace kivo::agent {
namespace {

struct XcbDisconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

// A connection to the server, or none when there is no display to reach.
XcbConnection connect(const std::string& display_name, int& screen_number) {
  if (display_name.empty()) return nullptr;
  XcbConnection connection(xcb_connect(display_name.c_str(), &screen_number));
  if (!connection || xcb_connection_has_error(connection.get()) != 0) return nullptr;
  return connection;
}

std::shared_ptr<const input::InputClock> system_input_clock() {
  return std::shared_ptr<const input::InputClock>(&input::InputClock::system(),
                                                  [](const input::InputClock*) {});
}

// Whether the X server offers XTEST, asked at most once a second: the
// question costs a connection to the server, and "inject_input" asks it for
// every event.
std::function<bool()> remembered_xtest_access(std::string display_name) {
  struct Memory {
    std::mutex mutex;
    std::optional<std::chrono::steady_clock::time_point> asked_at;
    bool answer = false;
  };
  static constexpr std::chrono::seconds kRememberFor{1};
  auto memory = std::make_shared<Memory>();
  return [memory, display_name = std::move(display_name)] {
    std::lock_guard lock(memory->mutex);
    const auto now = std::chrono::steady_clock::now();
    if (!memory->asked_at || now - *memory->asked_at >= kRememberFor) {
      memory->answer = x11_has_xtest(display_name);
      memory->asked_at = now;
    }
    return memory->answer;
  };
}

std::uint64_t unix_ms_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

}  // namespace

bool x11_accepts_capture(const std::string& display_name) {
  int screen_number = 0;
  XcbConnection connection = connect(display_name, screen_number);
  if (!connection) return false;
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
  for (int i = 0; i < screen_number && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0 || !screens.data) return false;
  xcb_generic_error_t* error = nullptr;
  xcb_get_image_reply_t* image =
      xcb_get_image_reply(connection.get(),
                          xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP,
                                        screens.data->root, 0, 0, 1, 1, ~0u),
                          &error);
  const bool accepted = image != nullptr && error == nullptr;
  std::free(image);
  std::free(error);
  return accepted;
}

bool x11_has_xtest(const std::string& display_name) {
  int screen_number = 0;
  XcbConnection connection = connect(display_name, screen_number);
  if (!connection) return false;
  const xcb_query_extension_reply_t* extension =
      xcb_get_extension_data(connection.get(), &xcb_test_id);
  return extension != nullptr && extension->present != 0;
}

DesktopFeatures::DesktopFeatures(DesktopPorts ports)
    : ports_(std::move(ports)),
      input_(InputSupervisorPorts{
          .posters = ports_.posters,
          .clock = ports_.input_clock ? ports_.input_clock : system_input_clock(),
          .unix_ms = unix_ms_now}),
      permissions_(PermissionPorts{.screen_access = ports_.screen_access,
                                   .post_event_access = ports_.post_event_access,
                                   .post_to_main = ports_.post_to_main}) {
  create_pipeline_ = [this](const protocol::CaptureConfig& config) {
    return capture::create_pipeline(config,
                                    capture::PipelinePorts{.source = ports_.source,
                                                           .encoders = ports_.encoders,
                                                           .screen_access = ports_.screen_access});
  };
}

std::unique_ptr<DesktopFeatures> DesktopFeatures::for_x11_display(
    std::string display_name, std::function<void(std::function<void()>)> post_to_main) {
  auto source = std::make_shared<x11::X11ScreenSource>(display_name);
  return std::make_unique<DesktopFeatures>(
      DesktopPorts{.source = std::move(source),
                   .encoders = std::make_shared<x264::X264EncoderFactory>(),
                   .screen_access = [display_name] { return x11_accepts_capture(display_name); },
                   .post_event_access = remembered_xtest_access(display_name),
                   .posters = std::make_shared<x11::X11EventPosterFactory>(display_name),
                   .input_clock = nullptr,
                   .lock_session = logind::lock_own_session,
                   .post_to_main = std::move(post_to_main)});
}

Result<void> DesktopFeatures::start_capture_session(AgentState& state,
                                                    const protocol::CaptureConfig& config,
                                                    std::uint64_t capture_epoch) {
  return agent::start_capture_session(state, config, capture_epoch, create_pipeline_);
}

void DesktopFeatures::publish_capture_epoch(AgentState& state) {
  agent::publish_capture_epoch(state);
}

Result<bool> DesktopFeatures::preflight_screen_capture() {
  return !ports_.screen_access || ports_.screen_access();
}

Result<bool> DesktopFeatures::preflight_post_event() {
  return ports_.post_event_access && ports_.post_event_access();
}

Result<protocol::PermissionStatus> DesktopFeatures::permission_status() {
  return permissions_.status();
}

Result<protocol::PermissionStatus> DesktopFeatures::request_screen_recording(
    AgentState& state, const protocol::AgentStamp& stamp) {
  return permissions_.request(PermissionKind::kScreenRecording, stamp, state.sender);
}

Result<protocol::PermissionStatus> DesktopFeatures::request_accessibility(
    AgentState& state, const protocol::AgentStamp& stamp) {
  return permissions_.request(PermissionKind::kAccessibility, stamp, state.sender);
}

Expected<void, protocol::AgentError> DesktopFeatures::enqueue_input(
    AgentState&, const protocol::AgentStamp& stamp, const protocol::InjectInput& command,
    const std::optional<protocol::CaptureGeometry>& geometry) {
  return input_.enqueue(stamp, command, geometry);
}

bool DesktopFeatures::input_worker_running() const {
  return input_.worker_running();
}

void DesktopFeatures::flush_input_queue(AgentState&) {
  input_.flush_with_reset();
}

void DesktopFeatures::stop_input_worker(AgentState&) {
  input_.stop_worker();
}

void DesktopFeatures::input_capture_started(AgentState& state) {
  input_.capture_started(state.graphics_snapshot(), state.input_epoch);
}

InputWorkerReport DesktopFeatures::input_worker_report() const {
  return input_.report();
}

Result<void> DesktopFeatures::post_lock_screen() {
  if (!ports_.lock_session) return UnbuiltFeatures::post_lock_screen();
  return ports_.lock_session();
}

std::vector<StampedMessage> DesktopFeatures::maintenance_tick(AgentState& state) {
  const bool capture_has_geometry =
      state.capture_pipeline != nullptr && state.capture_pipeline->geometry().has_value();
  input_.maintenance_step(state.graphics_snapshot(), capture_has_geometry, state.input_epoch);
  return UnbuiltFeatures::maintenance_tick(state);
}

}  // namespace kivo::agent
