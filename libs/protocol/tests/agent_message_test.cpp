#include "kivo/protocol/agent_message.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kivo/core/error.hpp"
#include "kivo/core/json_codec.hpp"
#include "kivo/protocol/agent_error.hpp"
#include "kivo/protocol/hello.hpp"

namespace kivo::protocol {

void PrintTo(const AgentEnvelope& envelope, std::ostream* os) {
  *os << json::encode_document(envelope);
}

namespace {

constexpr AgentStamp kStamp{1, 2};
constexpr std::string_view kStampText = R"("stamp":{"agent_generation":1,"capture_epoch":2})";

// A 2x display of 1512x982 points captured at full resolution.
CaptureGeometry dense_geometry() {
  CaptureGeometry g;
  g.reconfigure_generation = 3;
  g.epoch = 7;
  g.display_id = 1;
  g.display_bounds_points = {{0.0, 0.0}, {1512.0, 982.0}};
  g.surface_size_px = {3024.0, 1964.0};
  g.content_rect_px = {{0.0, 0.0}, {3024.0, 1964.0}};
  return g;
}
constexpr std::string_view kDenseGeometryText =
    R"({"reconfigure_generation":3,"epoch":7,"display_id":1,)"
    R"("display_bounds_points":{"origin":{"x":0.0,"y":0.0},"size":{"width":1512.0,"height":982.0}},)"
    R"("surface_size_px":{"width":3024.0,"height":1964.0},)"
    R"("content_rect_px":{"origin":{"x":0.0,"y":0.0},"size":{"width":3024.0,"height":1964.0}}})";

std::string wrap(std::string_view message, std::optional<std::uint64_t> request_id = {}) {
  std::string out = "{";
  if (request_id) out += R"("request_id":)" + std::to_string(*request_id) + ",";
  out += std::string(kStampText) + R"(,"message":)" + std::string(message) + "}";
  return out;
}

TEST(AgentEnvelopeWriteTest, ExactBytesOfTheEdgeCases) {
  agent_msg::Status before_capture;
  before_capture.status = {false, "agent.sck-vt", "capture.stopped"};

  agent_msg::Status running;
  running.status = {true, "screencapturekit_videotoolbox", "capture.running"};
  running.geometry = dense_geometry();
  running.input_epoch = 4;

  agent_msg::Error invalid_bitrate{agent_error_from(
      KivoError::invalid_message("bitrate_bps must be a positive whole kbps value"))};

  agent_msg::DomainFault fault_without_packet{5, std::nullopt, "file.not_found", false};
  agent_msg::DomainFault fault_with_packet{5, 0, "file.io", true};

  struct Case {
    std::string_view name;
    std::optional<std::uint64_t> request_id;
    AgentMessage message;
    std::string expected;
  };
  const Case cases[] = {
      {"status before any capture", std::nullopt, before_capture,
       wrap(R"({"type":"status","status":{"running":false,"backend":"agent.sck-vt",)"
            R"("message_key":"capture.stopped"}})")},
      {"status while capturing", 11, running,
       wrap(R"({"type":"status","status":{"running":true,)"
            R"("backend":"screencapturekit_videotoolbox","message_key":"capture.running"},)"
            R"("geometry":)" +
                std::string(kDenseGeometryText) + R"(,"input_epoch":4})",
            11)},
      {"geometry reply without geometry", 12, agent_msg::Geometry{std::nullopt, 0},
       wrap(R"({"type":"geometry","geometry":null,"geometry_epoch":0})", 12)},
      {"geometry reply with geometry", 0, agent_msg::Geometry{dense_geometry(), 7},
       wrap(R"({"type":"geometry","geometry":)" + std::string(kDenseGeometryText) +
                R"(,"geometry_epoch":7})",
            0)},
      {"error from an invalid message", 13, invalid_bitrate,
       wrap(R"({"type":"error","error":{"code":"protocol","message_key":"error.invalid_message",)"
            R"("detail":"invalid message: bitrate_bps must be a positive whole kbps value"}})",
            13)},
      {"error without detail", 14,
       agent_msg::Error{agent_error_from(KivoError::permission_denied("agent.input-denied"))},
       wrap(R"({"type":"error","error":{"code":"input_denied",)"
            R"("message_key":"agent.input-denied"}})",
            14)},
      {"stale geometry carries the current geometry", 15,
       agent_msg::Error{stale_geometry_epoch_error(dense_geometry(), 6)},
       wrap(R"({"type":"error","error":{"code":"protocol",)"
            R"("message_key":"agent.stale_geometry_epoch",)"
            R"("detail":"stale geometry epoch: expected 7, got 6","latest_geometry":)" +
                std::string(kDenseGeometryText) + "}}",
            15)},
      {"message without fields", std::nullopt, agent_msg::QuitAllRequest{},
       wrap(R"({"type":"quit_all_request"})")},
      {"domain fault without packet id", std::nullopt, fault_without_packet,
       wrap(R"({"type":"domain_fault","route_id":5,"code":"file.not_found","retryable":false})")},
      {"domain fault with packet id 0", std::nullopt, fault_with_packet,
       wrap(R"({"type":"domain_fault","route_id":5,"packet_id":0,"code":"file.io",)"
            R"("retryable":true})")},
      {"status input epoch 0 is left out", std::nullopt,
       agent_msg::Status{{false, "agent.sck-vt", "capture.stopped"}, std::nullopt, 0, std::nullopt},
       wrap(R"({"type":"status","status":{"running":false,"backend":"agent.sck-vt",)"
            R"("message_key":"capture.stopped"}})")},
      {"generic payload passes through in its own order", 16,
       agent_msg::AudioResult{3, *json::parse(R"({"enabled":true,"revision":2,"peer":"p",)"
                                              R"("connectionGeneration":9,"x":[1,-2,0.5,null]})")},
       wrap(R"({"type":"audio_result","route_id":3,"payload":{"enabled":true,"revision":2,)"
            R"("peer":"p","connectionGeneration":9,"x":[1,-2,0.5,null]}})",
            16)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode_agent_envelope(c.request_id, kStamp, c.message), c.expected) << c.name;
  }
}

TEST(AgentEnvelopeWriteTest, StatusWithFullDiagnostics) {
  CaptureDiagnostics d{
      .agent_generation = 1,
      .capture_epoch = 2,
      .stream_epoch = 3,
      .source_callbacks = 4,
      .source_usable_frames = 5,
      .source_status_complete = 6,
      .source_status_started = 7,
      .source_status_idle = 8,
      .source_status_blank = 9,
      .source_status_suspended = 10,
      .source_status_stopped = 11,
      .source_status_missing = 12,
      .source_null_image_buffers = 13,
      .raw_queue_overflows = 14,
      .vt_submit_ok = 15,
      .vt_submit_error = 16,
      .vt_output_ok = 17,
      .vt_output_error = 18,
      .vt_output_dropped = 19,
      .annexb_emitted_frames = 20,
      .annexb_emitted_bytes = 21,
      .annexb_emitted_keyframes = 22,
      .encoded_queue_overflows = 23,
      .agent_write_ok_frames = 24,
      .agent_write_ok_bytes = 25,
      .service_decode_ok_frames = 26,
      .actor_backpressure_drop = 27,
      .service_forward_ok_frames = 28,
      .service_forward_ok_bytes = std::numeric_limits<std::uint64_t>::max(),
      .graphics_health = {CapabilityHealthState::kReady, 1, 2, 0, 0, 0, 0, 0, std::nullopt},
      // Unknown, so left out.
      .input_health = {},
      // "unknown" by state only, so written.
      .clipboard_health = {CapabilityHealthState::kUnknown, 0, 0, 0, 0, 0, 2, 0,
                           CaptureErrorRecord{"clipboard", -25, std::nullopt, 1700000000000}},
      .last_source_error =
          CaptureErrorRecord{"sck", -3801, "stream stopped: \"display\" lost", 1700000000001},
      .last_vt_error = std::nullopt,
      .last_media_error = CaptureErrorRecord{"media", 0, "broken pipe", 5},
  };

  agent_msg::Status status;
  status.status = {true, "screencapturekit_videotoolbox", "capture.running"};
  status.input_epoch = 3;
  status.diagnostics = d;

  const std::string expected = wrap(
      R"({"type":"status","status":{"running":true,"backend":"screencapturekit_videotoolbox",)"
      R"("message_key":"capture.running"},"input_epoch":3,"diagnostics":{)"
      R"("agent_generation":1,"capture_epoch":2,"stream_epoch":3,"source_callbacks":4,)"
      R"("source_usable_frames":5,"source_status_complete":6,"source_status_started":7,)"
      R"("source_status_idle":8,"source_status_blank":9,"source_status_suspended":10,)"
      R"("source_status_stopped":11,"source_status_missing":12,"source_null_image_buffers":13,)"
      R"("raw_queue_overflows":14,"vt_submit_ok":15,"vt_submit_error":16,"vt_output_ok":17,)"
      R"("vt_output_error":18,"vt_output_dropped":19,"annexb_emitted_frames":20,)"
      R"("annexb_emitted_bytes":21,"annexb_emitted_keyframes":22,"encoded_queue_overflows":23,)"
      R"("agent_write_ok_frames":24,"agent_write_ok_bytes":25,"service_decode_ok_frames":26,)"
      R"("actor_backpressure_drop":27,"service_forward_ok_frames":28,)"
      R"("service_forward_ok_bytes":18446744073709551615,)"
      R"("graphics_health":{"state":"ready","agent_generation":1,"capture_epoch":2,)"
      R"("input_epoch":0,"worker_generation":0,"restart_count":0,"failure_count":0,)"
      R"("post_attempts":0},)"
      R"("clipboard_health":{"state":"unknown","agent_generation":0,"capture_epoch":0,)"
      R"("input_epoch":0,"worker_generation":0,"restart_count":0,"failure_count":2,)"
      R"("post_attempts":0,"last_error":{"domain":"clipboard","code":-25,)"
      R"("observed_unix_ms":1700000000000}},)"
      R"("last_source_error":{"domain":"sck","code":-3801,)"
      R"("detail":"stream stopped: \"display\" lost","observed_unix_ms":1700000000001},)"
      R"("last_media_error":{"domain":"media","code":0,"detail":"broken pipe",)"
      R"("observed_unix_ms":5}}})",
      21);
  const std::string text = encode_agent_envelope(21, kStamp, status);
  EXPECT_EQ(text, expected);

  Result<AgentEnvelope> back = decode_agent_envelope(text);
  ASSERT_TRUE(back) << back.error().display();
  EXPECT_EQ(*back, (AgentEnvelope{21, kStamp, status}));
}

TEST(CaptureDiagnosticsTest, HealthIsLeftOutOnlyWhenNothingIsKnown) {
  struct Case {
    std::string_view name;
    AgentCapabilityHealth health;
    bool written;
  };
  AgentCapabilityHealth starting;
  starting.state = CapabilityHealthState::kStarting;
  AgentCapabilityHealth restarted;
  restarted.restart_count = 1;
  AgentCapabilityHealth failed;
  failed.last_error = CaptureErrorRecord{"input", 1, std::nullopt, 0};
  AgentCapabilityHealth attempted;
  attempted.post_attempts = 1;
  const Case cases[] = {
      {"unknown", AgentCapabilityHealth{}, false},
      {"known state", starting, true},
      {"a number set", restarted, true},
      {"another number set", attempted, true},
      {"a last error", failed, true},
  };
  for (const Case& c : cases) {
    CaptureDiagnostics d;
    d.input_health = c.health;
    const std::string text = json::encode_document(d);
    EXPECT_EQ(text.find("\"input_health\"") != std::string::npos, c.written) << c.name;
    // Whatever was written reads back to the same value.
    Result<CaptureDiagnostics> back = json::decode_document<CaptureDiagnostics>(text);
    ASSERT_TRUE(back) << c.name << ": " << back.error().display();
    EXPECT_EQ(*back, d) << c.name;
  }
}

TEST(CaptureDiagnosticsTest, ReadingNeedsEveryCounter) {
  CaptureDiagnostics d;
  std::string text = json::encode_document(d);
  const std::string key = R"("vt_output_ok":0,)";
  text.erase(text.find(key), key.size());
  Result<CaptureDiagnostics> back = json::decode_document<CaptureDiagnostics>(text);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error().display(), "json error: missing field `vt_output_ok`");
}

TEST(AgentEnvelopeWriteTest, FloatsInGeometry) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    Rect rect;
    std::string_view expected;
  };
  const Case cases[] = {
      {{{0.0, 0.0}, {1920.0, 1080.0}},
       R"({"origin":{"x":0.0,"y":0.0},"size":{"width":1920.0,"height":1080.0}})"},
      {{{-1512.0, 0.5}, {0.1, 1e-7}},
       R"({"origin":{"x":-1512.0,"y":0.5},"size":{"width":0.1,"height":1e-7}})"},
      {{{1e21, -2.5e-300}, {1.0 / 3.0, 123456.789}},
       R"({"origin":{"x":1e21,"y":-2.5e-300},"size":{"width":0.3333333333333333,)"
       R"("height":123456.789}})"},
      // Values that are not numbers in JSON are written as null.
      {{{std::nan(""), inf}, {-inf, 2.0}},
       R"({"origin":{"x":null,"y":null},"size":{"width":null,"height":2.0}})"},
  };
  for (const Case& c : cases) {
    CaptureGeometry g;
    g.content_rect_px = c.rect;
    const std::string text = encode_agent_envelope(std::nullopt, kStamp, agent_msg::Geometry{g, 1});
    EXPECT_NE(text.find(std::string(R"("content_rect_px":)") + std::string(c.expected) + "}"),
              std::string::npos)
        << text;
  }
}

TEST(AgentEnvelopeWriteTest, EscapesStrings) {
  const std::string css = std::string("a\"b\\c/\n\r\t\b\f") + '\x01' + '\x1f' + "\x7f\xc3\xa9";
  EXPECT_EQ(encode_agent_envelope(std::nullopt, kStamp, agent_msg::CursorState{css}),
            wrap(R"({"type":"cursor_state","css":"a\"b\\c/\n\r\t\b\f\u0001\u001f)"
                 "\x7f\xc3\xa9\"}"));
}

// One sample of every message type, with every optional field filled where
// that changes the shape.
std::vector<AgentMessage> every_message() {
  DisplaySettings settings{7,
                           0,
                           true,
                           2560,
                           1440,
                           60,
                           1280,
                           720,
                           200,
                           144,
                           144,
                           8000000,
                           {{2560, 1440, 60, true}, {1920, 1080, 120, false}}};
  DisplayInfo display{7, 0, true, {{-1512.0, 0.0}, {1512.0, 982.0}}, 3024, 1964};
  PermissionStatus permission{{PermissionAccess::kGranted, false},
                              {PermissionAccess::kRequired, true}};
  CaptureDiagnostics diagnostics;
  diagnostics.vt_output_ok = 10;
  diagnostics.graphics_health.state = CapabilityHealthState::kLost;
  diagnostics.last_vt_error = CaptureErrorRecord{"vt", -12902, "bad data", 3};
  const json::Value payload =
      *json::parse(R"({"inner":[[1,2,255]],"sent":true,"n":-3,"f":1.5,"s":"\u00e9"})");
  return {
      agent_msg::QuitAllRequest{},
      agent_msg::OpenUiConnectIntent{"intent_0123456789abcdef0123456789abcdef", "ab12"},
      agent_msg::Status{{true, "screencapturekit_videotoolbox", "capture.running"},
                        dense_geometry(),
                        2,
                        diagnostics},
      agent_msg::Permission{permission},
      agent_msg::Geometry{dense_geometry(), 7},
      agent_msg::DisplayList{4, {display, display}},
      agent_msg::InputAccepted{9},
      agent_msg::Stopped{},
      agent_msg::Error{stale_geometry_epoch_error(dense_geometry(), 1)},
      agent_msg::RoutesApplied{18446744073709551615ULL},
      agent_msg::ClipboardResult{1, payload},
      agent_msg::FileResult{2, json::Value(nullptr)},
      agent_msg::AudioResult{3, json::Value(json::Array{})},
      agent_msg::AltTabList{4, {{"Terminal", "iVBORw0KGgo=", "0x1a2b"}}},
      agent_msg::DisplaySettingsResult{5, settings},
      agent_msg::ResolutionApplied{6, settings, dense_geometry(), 3},
      agent_msg::ResolutionFailed{7, dense_geometry(), 4},
      agent_msg::BitrateApplied{8, 4294967295U},
      agent_msg::CursorState{"ew-resize"},
      agent_msg::WindowCaptureState{"active"},
      agent_msg::WindowCaptureGeometry{-100, 50, 800, 600, -1920, 0, 0, 1080},
      agent_msg::WindowCaptureFailed{"window closed"},
      agent_msg::ClipboardEvent{9, "packets", payload},
      agent_msg::FileEvent{10, "progress", json::Value("x")},
      agent_msg::DomainFault{11, 12, "file.denied", true},
  };
}

TEST(AgentEnvelopeRoundTripTest, EveryMessageTypeReadsBackEqual) {
  const std::vector<AgentMessage> messages = every_message();
  std::set<std::size_t> covered;
  for (const AgentMessage& message : messages) covered.insert(message.index());
  ASSERT_EQ(covered.size(), std::variant_size_v<AgentMessage>);

  std::uint64_t request_id = 0;
  for (const AgentMessage& message : messages) {
    const std::string_view type = agent_message_type(message);
    for (std::optional<std::uint64_t> id : {std::optional<std::uint64_t>(), {request_id++}}) {
      const AgentEnvelope envelope{id, {request_id, request_id + 1}, message};
      const std::string text = encode_agent_envelope(envelope.request_id, envelope.stamp, message);
      // The direct writer and the record description agree byte for byte.
      EXPECT_EQ(text, json::encode_document(envelope)) << type;
      EXPECT_NE(text.find(R"("message":{"type":")" + std::string(type) + "\""), std::string::npos)
          << text;
      Result<AgentEnvelope> back = decode_agent_envelope(text);
      ASSERT_TRUE(back) << type << ": " << back.error().display();
      EXPECT_EQ(*back, envelope) << type;
    }
  }
}

TEST(AgentEnvelopeReadTest, TestReaderIsStrict) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {R"({"stamp":{"agent_generation":1,"capture_epoch":2},"message":{"type":"Status"}})",
       "json error: unknown variant `Status`, expected one of `quit_all_request`, "
       "`open_ui_connect_intent`, `status`, `permission`, `geometry`, `display_list`, "
       "`input_accepted`, `stopped`, `error`, `routes_applied`, `clipboard_result`, "
       "`file_result`, `audio_result`, `alt_tab_list`, `display_settings_result`, "
       "`resolution_applied`, `resolution_failed`, `bitrate_applied`, `cursor_state`, "
       "`window_capture_state`, `window_capture_geometry`, `window_capture_failed`, "
       "`clipboard_event`, `file_event`, `domain_fault`"},
      {R"({"stamp":{"agent_generation":1,"capture_epoch":2},"message":{"type":"geometry"}})",
       "json error: missing field `geometry_epoch`"},
      {R"({"stamp":{"agent_generation":1,"capture_epoch":2},)"
       R"("message":{"type":"error","error":{"code":"denied","message_key":"k"}}})",
       "json error: unknown variant `denied`, expected one of `no_agent`, `screen_denied`, "
       "`input_denied`, `inactive_session`, `secure_input_rejected`, `protocol`, `unsupported`"},
      {R"({"stamp":{"agent_generation":1,"capture_epoch":2},)"
       R"("message":{"type":"bitrate_applied","route_id":1,"bitrate_bps":4294967296}})",
       "json error: invalid value: integer `4294967296`, expected u32"},
      {R"({"message":{"type":"stopped"}})", "json error: missing field `stamp`"},
  };
  for (const Case& c : cases) {
    Result<AgentEnvelope> result = decode_agent_envelope(c.text);
    ASSERT_FALSE(result) << c.text;
    EXPECT_EQ(result.error().display(), c.error);
  }
}

TEST(AgentEnvelopeReadTest, LeftOutFieldsReadAsNone) {
  Result<AgentEnvelope> result = decode_agent_envelope(
      R"({"request_id":null,"stamp":{"agent_generation":1,"capture_epoch":2},)"
      R"("message":{"type":"status","status":{"running":false,"backend":"agent.sck-vt",)"
      R"("message_key":"capture.stopped"}}})");
  ASSERT_TRUE(result) << result.error().display();
  const auto* status = std::get_if<agent_msg::Status>(&result->message);
  ASSERT_NE(status, nullptr);
  EXPECT_FALSE(result->request_id);
  EXPECT_FALSE(status->geometry);
  EXPECT_EQ(status->input_epoch, 0u);
  EXPECT_FALSE(status->diagnostics);
}

constexpr std::string_view kCapabilitiesText =
    R"("capabilities":["recent_history_snapshot_v1","open_ui_connect_intent_v1",)"
    R"("display_thumbnail_bulk_v1"])";

TEST(HelloRequestTest, ExactBytes) {
  struct Case {
    std::optional<bool> on_console;
    std::optional<bool> login_done;
    std::optional<std::string_view> resume_quit_id;
    std::span<const std::string_view> capabilities;
    std::string expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, kAgentCapabilities,
       R"({"session":{},)" + std::string(kCapabilitiesText) + "}"},
      {true, false, "quit_\"1\"", kAgentCapabilities,
       R"({"session":{"on_console":true,"login_done":false},"resume_quit_id":"quit_\"1\"",)" +
           std::string(kCapabilitiesText) + "}"},
      {std::nullopt, true, "", {}, R"({"session":{"login_done":true},"resume_quit_id":""})"},
  };
  for (const Case& c : cases) {
    const std::string text =
        encode_hello_request(c.on_console, c.login_done, c.resume_quit_id, c.capabilities);
    EXPECT_EQ(text, c.expected);
    Result<HelloRequest> back = decode_hello_request(text);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(back->session.on_console, c.on_console);
    EXPECT_EQ(back->session.login_done, c.login_done);
    EXPECT_EQ(back->resume_quit_id.has_value(), c.resume_quit_id.has_value());
    EXPECT_EQ(back->capabilities.size(), c.capabilities.size());
  }
}

}  // namespace
}  // namespace kivo::protocol
