#include "dispatcher.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_fakes.hpp"
#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

using protocol::AgentStamp;
using protocol::ServiceToAgent;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace msg = protocol::agent_msg;

constexpr std::uint64_t kGeneration = 7;

protocol::CaptureConfig capture_config(std::uint32_t width, std::uint32_t height,
                                       std::optional<std::uint32_t> display_id = std::nullopt) {
  protocol::CaptureConfig config;
  config.width = width;
  config.height = height;
  config.fps = 30;
  config.bitrate_kbps = 8000;
  config.display_id = display_id;
  return config;
}

GraphicsSnapshot graphics(GraphicsState state) {
  GraphicsSnapshot snapshot;
  snapshot.state = state;
  return snapshot;
}

protocol::RouteWire route(std::uint64_t id, std::string role, std::uint64_t generation = 3) {
  protocol::RouteWire wire;
  wire.route_id = id;
  wire.peer_id = "peer-" + std::to_string(id);
  wire.connection_generation = generation;
  wire.role = std::move(role);
  return wire;
}

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() : state_(std::make_unique<testing::FakeFeatures>()) {
    features_ = static_cast<testing::FakeFeatures*>(state_.features.get());
    state_.agent_generation = kGeneration;
  }

  DispatchOutcome run(const ServiceToAgent& command, std::uint64_t capture_epoch = 0) {
    return dispatch_service_message(state_, AgentStamp{kGeneration, capture_epoch}, command);
  }

  // The reply as the given message type; fails the test otherwise.
  template <class T>
  T reply_as(const DispatchOutcome& outcome) {
    EXPECT_TRUE(outcome.reply.has_value());
    if (!outcome.reply) return T{};
    const T* reply = std::get_if<T>(&*outcome.reply);
    EXPECT_NE(reply, nullptr) << "reply is " << protocol::agent_message_type(*outcome.reply);
    return reply ? *reply : T{};
  }

  protocol::AgentError error_of(const DispatchOutcome& outcome) {
    return reply_as<msg::Error>(outcome).error;
  }

  void start_capture(std::uint64_t epoch) {
    ASSERT_TRUE(std::holds_alternative<msg::Status>(
        *run(protocol::StartCapture{.config = capture_config(1920, 1080)}, epoch).reply));
  }

  AgentState state_;
  testing::FakeFeatures* features_ = nullptr;
};

TEST_F(DispatcherTest, QueryStatusBeforeAnyCaptureReportsTheCachedStoppedStatus) {
  const msg::Status status = reply_as<msg::Status>(run(protocol::QueryStatus{}));
  EXPECT_EQ(status.status, stopped_capture_status());
  EXPECT_FALSE(status.geometry.has_value());
  EXPECT_EQ(status.input_epoch, 0u);
  ASSERT_TRUE(status.diagnostics.has_value());
  EXPECT_EQ(status.diagnostics->agent_generation, kGeneration);
  EXPECT_EQ(status.diagnostics->input_health.state, protocol::CapabilityHealthState::kStopped);
  EXPECT_TRUE(status.diagnostics->clipboard_health.is_unknown());
}

TEST_F(DispatcherTest, StatusWithAPipelineTakesItsFiguresButTheAgentsStamp) {
  start_capture(4);
  const msg::Status status = reply_as<msg::Status>(run(protocol::QueryStatus{}));
  EXPECT_TRUE(status.status.running);
  ASSERT_TRUE(status.geometry.has_value());
  EXPECT_EQ(status.diagnostics->vt_output_ok, 42u);
  EXPECT_EQ(status.diagnostics->agent_generation, kGeneration);
  EXPECT_EQ(status.diagnostics->capture_epoch, 4u);
}

TEST_F(DispatcherTest, StopCaptureWithAnOldEpochLeavesTheCaptureAlone) {
  start_capture(4);
  reply_as<msg::Stopped>(run(protocol::StopCapture{.capture_epoch = 3}));
  EXPECT_NE(state_.capture_pipeline, nullptr);
}

TEST_F(DispatcherTest, StopCaptureWithTheCurrentEpochStopsAndAdvancesTheInputEpoch) {
  start_capture(4);
  state_.desired_audio = true;
  const std::uint64_t input_epoch = state_.input_epoch;
  const msg::Status status = reply_as<msg::Status>(run(protocol::StopCapture{.capture_epoch = 4}));
  EXPECT_FALSE(status.status.running);
  EXPECT_EQ(state_.capture_pipeline, nullptr);
  EXPECT_FALSE(state_.desired_audio);
  EXPECT_EQ(state_.input_epoch, input_epoch + 1);
  EXPECT_THAT(features_->pipeline_log->calls, ElementsAre("stop"));
  EXPECT_THAT(features_->calls, ::testing::Contains("restore_display stop_capture"));
}

TEST_F(DispatcherTest, StopCaptureOnAnAgentThatNeverCapturedStillAdvancesTheInputEpoch) {
  const msg::Status status = reply_as<msg::Status>(run(protocol::StopCapture{.capture_epoch = 0}));
  EXPECT_EQ(status.status, stopped_capture_status());
  EXPECT_EQ(state_.input_epoch, 1u);
}

TEST_F(DispatcherTest, ResetInputAdvancesAndTheOldEpochIsThenStale) {
  start_capture(1);
  const std::uint64_t old_epoch = state_.input_epoch;
  EXPECT_EQ(
      reply_as<msg::InputAccepted>(run(protocol::ResetInput{.input_epoch = old_epoch})).input_epoch,
      old_epoch + 1);

  protocol::InjectInput inject;
  inject.event = protocol::KeyboardEvent{};
  inject.input_epoch = old_epoch;
  const protocol::AgentError error = error_of(run(inject));
  EXPECT_EQ(error.code, protocol::stale_input_epoch_error(0, 0).code);
  EXPECT_EQ(error.message_key, protocol::stale_input_epoch_error(0, 0).message_key);
  ASSERT_TRUE(error.detail.has_value());
  EXPECT_THAT(*error.detail, HasSubstr(std::to_string(old_epoch)));
  EXPECT_THAT(*error.detail, HasSubstr(std::to_string(old_epoch + 1)));
}

TEST_F(DispatcherTest, ResetInputFromZeroGivesOne) {
  EXPECT_EQ(reply_as<msg::InputAccepted>(run(protocol::ResetInput{.input_epoch = 0})).input_epoch,
            1u);
}

TEST_F(DispatcherTest, ResetInputWithAStaleEpochNamesBoth) {
  state_.input_epoch = 9;
  EXPECT_EQ(error_of(run(protocol::ResetInput{.input_epoch = 4})).detail,
            "invalid message: stale input epoch: expected 9, got 4");
}

TEST_F(DispatcherTest, InjectInputChecksRunInOrder) {
  struct Case {
    const char* name;
    bool post_allowed;
    bool capture;
    bool graphics_ready;
    bool worker;
    std::string expected_code;
    std::string expected_detail;
  };
  const std::vector<Case> cases{
      {"posting denied even without capture", false, false, true, true, "input_denied", ""},
      {"no capture", true, false, true, true, "inactive_session", ""},
      {"graphics not ready", true, true, false, true, "protocol", "not connected"},
      {"no input worker", true, true, true, false, "protocol", "not connected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AgentState state(std::make_unique<testing::FakeFeatures>());
    auto& features = static_cast<testing::FakeFeatures&>(*state.features);
    features.post_event_granted = c.post_allowed;
    features.worker_running = c.worker;
    state.graphics_snapshot = [ready = c.graphics_ready] {
      return graphics(ready ? GraphicsState::kReady : GraphicsState::kNotReady);
    };
    if (c.capture) {
      ASSERT_TRUE(features.start_capture_session(state, {}, 1));
    }
    protocol::InjectInput inject;
    inject.event = protocol::KeyboardEvent{};
    inject.input_epoch = state.input_epoch;
    const DispatchOutcome outcome = dispatch_service_message(state, AgentStamp{}, inject);
    const auto& error = std::get<msg::Error>(*outcome.reply).error;
    EXPECT_EQ(
        protocol::StringEnum<protocol::AgentErrorCode>::names[static_cast<std::size_t>(error.code)],
        c.expected_code);
    if (!c.expected_detail.empty()) {
      EXPECT_EQ(error.detail, c.expected_detail);
    }
  }
}

TEST_F(DispatcherTest, PositionedInputNeedsTheCurrentGeometryEpoch) {
  state_.graphics_snapshot = [] { return graphics(GraphicsState::kReady); };
  start_capture(1);
  protocol::MouseEvent mouse;
  mouse.has_xy = true;
  protocol::InjectInput inject{
      .event = mouse, .geometry_epoch = 4, .input_epoch = state_.input_epoch};

  const protocol::AgentError stale = error_of(run(inject));
  EXPECT_EQ(stale.message_key, protocol::stale_geometry_epoch_error({}, 0).message_key);
  EXPECT_TRUE(stale.latest_geometry.has_value());

  inject.geometry_epoch = 5;
  EXPECT_EQ(reply_as<msg::InputAccepted>(run(inject)).input_epoch, state_.input_epoch);
  EXPECT_THAT(features_->calls, ::testing::Contains(fmt::format("enqueue_input {} {}", kGeneration,
                                                                state_.input_epoch)));
}

TEST_F(DispatcherTest, SetTargetBitrateChecksTheValueBeforeThePipeline) {
  state_.routes.replace_routes(1, {route(1, "host")}, *features_);
  const protocol::AgentError bad =
      error_of(run(protocol::SetTargetBitrate{.route_id = 1, .bitrate_bps = 1500}));
  EXPECT_EQ(bad.detail, "invalid message: bitrate_bps must be a positive whole kbps value");

  start_capture(1);
  const msg::BitrateApplied applied = reply_as<msg::BitrateApplied>(
      run(protocol::SetTargetBitrate{.route_id = 1, .bitrate_bps = 2000000}));
  EXPECT_EQ(applied.bitrate_bps, 2000000u);
  EXPECT_EQ(applied.route_id, 1u);
  EXPECT_EQ(state_.capture_config->bitrate_kbps, 2000u);
  EXPECT_THAT(features_->pipeline_log->calls,
              ElementsAre("set_target_bitrate 2000", "request_keyframe"));
}

TEST_F(DispatcherTest, RouteChecksRefuseWhatTheRouteDoesNotAllow) {
  state_.routes.replace_routes(1, {route(1, "controller"), route(2, "host", 0)}, *features_);
  struct Case {
    const char* name;
    ServiceToAgent command;
    std::string detail;  // empty: accepted
  };
  const std::vector<Case> cases{
      {"unknown route", protocol::ListAltTabWindows{.route_id = 9},
       "permission denied: agent.route"},
      {"controller asks for the window list", protocol::ListAltTabWindows{.route_id = 1},
       "permission denied: agent.host_route"},
      {"host route without a connection", protocol::QueryDisplaySettings{.route_id = 2},
       "permission denied: agent.host_route"},
      {"controller may use the clipboard", protocol::ClipboardCommand{.route_id = 1, .command = {}},
       ""},
      {"controller asks to set the display mode", protocol::SetPhysicalDisplayMode{.route_id = 1},
       "permission denied: agent.host_route"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DispatchOutcome outcome = run(c.command);
    ASSERT_TRUE(outcome.reply.has_value());
    if (c.detail.empty()) {
      EXPECT_FALSE(std::holds_alternative<msg::Error>(*outcome.reply));
    } else {
      EXPECT_EQ(error_of(outcome).detail, c.detail);
    }
  }
}

TEST_F(DispatcherTest, DisplayModeBelowTheMinimumFailsBeforeTheDisplayIsTouched) {
  state_.routes.replace_routes(1, {route(1, "host")}, *features_);
  const protocol::AgentError error =
      error_of(run(protocol::SetPhysicalDisplayMode{.route_id = 1, .width = 1280, .height = 800}));
  EXPECT_EQ(error.detail, "invalid message: display mode must be at least 1440x900");
}

TEST_F(DispatcherTest, ThumbnailRequestsAnswerOnTheThumbnailPath) {
  state_.bulk_writer = std::make_unique<BulkWriter>(std::make_shared<BulkQueue>(), xpc::UniqueFd(),
                                                    MonotonicClock::system());
  EXPECT_EQ(
      error_of(run(protocol::CaptureDisplayThumbnail{.request_id = 0, .display_id = 1})).detail,
      "invalid message: thumbnail request_id must be non-zero");

  const DispatchOutcome outcome =
      run(protocol::CaptureDisplayThumbnail{.request_id = 8, .display_id = 1});
  EXPECT_FALSE(outcome.reply.has_value());
  EXPECT_THAT(features_->calls, ElementsAre("thumbnail_failure 8 agent.host_route"));
}

TEST_F(DispatcherTest, ThumbnailNeedsTheBulkSocket) {
  EXPECT_EQ(
      error_of(run(protocol::CaptureDisplayThumbnail{.request_id = 8, .display_id = 1})).detail,
      "invalid message: agent bulk fd is not installed");
}

TEST_F(DispatcherTest, RecentHistoryKeepsOnlyNewerSnapshots) {
  struct Step {
    std::uint64_t epoch;
    std::uint64_t revision;
    bool accepted;
  };
  const std::vector<Step> steps{{2, 5, true}, {2, 5, false}, {2, 4, false},
                                {3, 1, true}, {2, 9, false}, {3, 2, true}};
  std::size_t refreshes = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(fmt::format("epoch {} revision {}", step.epoch, step.revision));
    EXPECT_FALSE(run(protocol::RecentHistorySnapshot{
                         .service_epoch = step.epoch, .revision = step.revision, .records = {}})
                     .reply.has_value());
    if (step.accepted) ++refreshes;
    EXPECT_EQ(features_->calls.size(), refreshes);
  }
  const std::pair<std::uint64_t, std::uint64_t> stored(3, 2);
  EXPECT_EQ(state_.history.epoch_and_revision, stored);
}

TEST_F(DispatcherTest, AudioWishWithoutCaptureIsRememberedForTheNextStart) {
  EXPECT_EQ(error_of(run(protocol::SetAudioEnabled{.enabled = true})).code,
            protocol::AgentErrorCode::kInactiveSession);
  EXPECT_TRUE(state_.desired_audio);
}

TEST_F(DispatcherTest, AltTabListIsCutToTwentyEntriesAndTheByteBound) {
  state_.routes.replace_routes(1, {route(1, "host")}, *features_);
  features_->windows.assign(25,
                            protocol::AltTabApp{.title = "w", .icon_png_base64 = "", .hwnd = "1"});
  EXPECT_EQ(reply_as<msg::AltTabList>(run(protocol::ListAltTabWindows{.route_id = 1})).apps.size(),
            20u);

  features_->windows.assign(
      20,
      protocol::AltTabApp{.title = "w", .icon_png_base64 = std::string(10000, 'A'), .hwnd = "1"});
  log::ScopedCapture capture;
  const auto apps = reply_as<msg::AltTabList>(run(protocol::ListAltTabWindows{.route_id = 1})).apps;
  EXPECT_EQ(apps.size(), 12u);  // 12 entries of ~10 KB stay below 120 KiB
  ASSERT_EQ(capture.events().size(), 1u);
  EXPECT_LT(std::stoul(*capture.events()[0].field("bytes")), 122881u);
}

TEST_F(DispatcherTest, ReconfigureInPlaceMovesTheEpochsAndReplacesOnANewTarget) {
  start_capture(1);
  const std::uint64_t input_epoch = state_.input_epoch;
  features_->pipeline_log->calls.clear();

  reply_as<msg::Status>(run(protocol::Reconfigure{.config = capture_config(1280, 720)}, 2));
  EXPECT_THAT(features_->pipeline_log->calls,
              ElementsAre("reconfigure 1280x720", "request_keyframe"));
  EXPECT_EQ(state_.capture_epoch, 2u);
  EXPECT_EQ(state_.input_epoch, input_epoch + 1);
  EXPECT_EQ(state_.geometry->reconfigure_generation, 1u);

  reply_as<msg::Status>(run(protocol::Reconfigure{.config = capture_config(1280, 720, 2)}, 3));
  EXPECT_THAT(features_->calls, ::testing::Contains("start_capture_session 3"));
}

TEST_F(DispatcherTest, CommandsOfUnbuiltFeaturesAnswerNotImplementedNamingThem) {
  AgentState state(std::make_unique<UnbuiltFeatures>());
  state.routes.replace_routes(1, {route(1, "host")}, *state.features);
  struct Case {
    ServiceToAgent command;
    std::string feature;
  };
  const std::vector<Case> cases{
      {protocol::StartCapture{}, "capture"},
      {protocol::QueryPermission{}, "permissions"},
      {protocol::ListDisplays{}, "permissions"},
      {protocol::FileCommand{.route_id = 1, .command = {}}, "files"},
      {protocol::AudioConfigure{.route_id = 1}, "audio"},
      {protocol::QueryDisplaySettings{.route_id = 1}, "displays"},
  };
  for (const Case& c : cases) {
    const DispatchOutcome outcome = dispatch_service_message(state, AgentStamp{}, c.command);
    const auto& error = std::get<msg::Error>(*outcome.reply).error;
    EXPECT_EQ(error.message_key, "error.not_implemented");
    EXPECT_EQ(error.detail, c.feature);
  }
}

}  // namespace
}  // namespace kivo::agent
