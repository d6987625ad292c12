// Fakes for the dispatcher's tests: a pipeline that records what it was
// asked, and feature engines whose answers a test sets.
#pragma once

#include <fmt/format.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent_state.hpp"
#include "kivo/capture/capture_pipeline.hpp"
#include "unbuilt_features.hpp"

namespace kivo::agent::testing {

struct PipelineLog {
  std::vector<std::string> calls;
};

class FakePipeline final : public capture::CapturePipeline {
 public:
  explicit FakePipeline(std::shared_ptr<PipelineLog> log) : log_(std::move(log)) {}

  std::optional<protocol::CaptureGeometry> current_geometry =
      protocol::CaptureGeometry{.reconfigure_generation = 0,
                                .epoch = 5,
                                .display_id = 1,
                                .display_bounds_points = {},
                                .surface_size_px = {1920, 1080},
                                .content_rect_px = {}};
  std::optional<KivoError> bitrate_failure;

  Result<void> stop() override {
    log_->calls.push_back("stop");
    running_ = false;
    return {};
  }
  void request_keyframe() override { log_->calls.push_back("request_keyframe"); }
  Result<std::uint64_t> reconfigure(const protocol::CaptureConfig& config) override {
    log_->calls.push_back(fmt::format("reconfigure {}x{}", config.width, config.height));
    ++generation_;
    return generation_;
  }
  Result<void> set_target_bitrate(std::uint32_t kbps) override {
    log_->calls.push_back(fmt::format("set_target_bitrate {}", kbps));
    if (bitrate_failure) return fail(*bitrate_failure);
    return {};
  }
  Result<void> set_audio_enabled(bool enabled, capture::AudioPacketSequence sequence) override {
    log_->calls.push_back(fmt::format("set_audio_enabled {} {}", enabled, sequence != nullptr));
    return {};
  }
  protocol::CaptureStatus status() const override {
    return {.running = running_,
            .backend = "screencapturekit_videotoolbox",
            .message_key = running_ ? "capture.running" : "capture.stopped"};
  }
  protocol::CaptureDiagnostics diagnostics() const override {
    protocol::CaptureDiagnostics diagnostics;
    diagnostics.agent_generation = 999;  // the report must overwrite it
    diagnostics.vt_output_ok = 42;
    return diagnostics;
  }
  std::optional<protocol::CaptureGeometry> geometry() const override { return current_geometry; }
  std::shared_ptr<const std::atomic<bool>> running_flag() const override { return nullptr; }
  Result<protocol::CaptureGeometry> wait_for_geometry(
      std::optional<std::uint64_t> expected_generation) override {
    protocol::CaptureGeometry geometry = current_geometry.value_or(protocol::CaptureGeometry{});
    geometry.reconfigure_generation = expected_generation.value_or(0);
    geometry.epoch += 1;
    current_geometry = geometry;
    return geometry;
  }

 private:
  std::shared_ptr<PipelineLog> log_;
  std::uint64_t generation_ = 0;
  bool running_ = true;
};

// Unbuilt features with the answers a test needs, recording what it was asked.
class FakeFeatures final : public UnbuiltFeatures {
 public:
  std::shared_ptr<PipelineLog> pipeline_log = std::make_shared<PipelineLog>();
  std::vector<std::string> calls;
  bool screen_capture_granted = true;
  bool post_event_granted = true;
  bool worker_running = true;
  std::vector<protocol::AltTabApp> windows;

  Result<void> start_capture_session(AgentState& state, const protocol::CaptureConfig& config,
                                     std::uint64_t capture_epoch) override {
    calls.push_back(fmt::format("start_capture_session {}", capture_epoch));
    state.capture_pipeline = std::make_unique<FakePipeline>(pipeline_log);
    state.capture_config = config;
    state.capture_epoch = capture_epoch;
    state.input_epoch = state.input_epoch + 1;
    return {};
  }
  Result<bool> preflight_screen_capture() override { return screen_capture_granted; }
  Result<bool> preflight_post_event() override { return post_event_granted; }
  Expected<void, protocol::AgentError> enqueue_input(
      AgentState&, const protocol::AgentStamp& stamp, const protocol::InjectInput& command,
      const std::optional<protocol::CaptureGeometry>&) override {
    calls.push_back(
        fmt::format("enqueue_input {} {}", stamp.agent_generation, command.input_epoch));
    return {};
  }
  bool input_worker_running() const override { return worker_running; }
  void flush_input_queue(AgentState& state) override {
    calls.push_back(fmt::format("flush_input_queue {}", state.input_epoch));
  }
  void stop_input_worker(AgentState&) override { calls.push_back("stop_input_worker"); }
  void restore_physical_display_mode(std::string_view reason) override {
    calls.push_back(fmt::format("restore_display {}", reason));
  }
  Result<std::vector<protocol::AltTabApp>> list_alt_tab_windows() override { return windows; }
  Result<protocol::AgentMessage> clipboard_command(AgentState&, std::uint64_t route_id,
                                                   const ClipboardRouteView&,
                                                   const protocol::ClipboardCommandWire&) override {
    return protocol::AgentMessage(
        protocol::agent_msg::ClipboardResult{.route_id = route_id, .payload = {}});
  }
  Result<void> queue_thumbnail_failure(AgentState&,
                                       const protocol::CaptureDisplayThumbnail& request,
                                       std::string_view code) override {
    calls.push_back(fmt::format("thumbnail_failure {} {}", request.request_id, code));
    return {};
  }
  void refresh_history_menu(const std::vector<protocol::HistoryMenuEntry>& entries) override {
    calls.push_back(fmt::format("refresh_history_menu {}", entries.size()));
  }
};

}  // namespace kivo::agent::testing
