#include "kivo/protocol/agent_error.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "kivo/core/error.hpp"
#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

void PrintTo(const AgentError& error, std::ostream* os) {
  *os << json::encode_document(error);
}

namespace {

TEST(AgentErrorFromTest, MapsEveryKindByTheTable) {
  struct Case {
    KivoError error;
    AgentErrorCode code;
    std::string message_key;
    std::optional<std::string> detail;
  };
  const Case cases[] = {
      // Permission refusals the service shows as such keep their text as key.
      {KivoError::permission_denied("screen_recording"), AgentErrorCode::kScreenDenied,
       "screen_recording", std::nullopt},
      {KivoError::permission_denied("agent.screen-denied"), AgentErrorCode::kScreenDenied,
       "agent.screen-denied", std::nullopt},
      {KivoError::permission_denied("agent.input-denied"), AgentErrorCode::kInputDenied,
       "agent.input-denied", std::nullopt},
      {KivoError::permission_denied("agent.inactive-session"), AgentErrorCode::kInactiveSession,
       "agent.inactive-session", std::nullopt},
      // Any other permission text, even one differing only in case, is a
      // protocol error carrying the display text.
      {KivoError::permission_denied("agent.route"), AgentErrorCode::kProtocol,
       "error.permission_denied", "permission denied: agent.route"},
      {KivoError::permission_denied("Screen_Recording"), AgentErrorCode::kProtocol,
       "error.permission_denied", "permission denied: Screen_Recording"},
      {KivoError::permission_denied(""), AgentErrorCode::kProtocol, "error.permission_denied",
       "permission denied: "},
      // Unsupported features carry the feature text alone.
      {KivoError::not_implemented("window capture"), AgentErrorCode::kUnsupported,
       "error.not_implemented", "window capture"},
      {KivoError::unsupported("lock screen"), AgentErrorCode::kUnsupported, "error.unsupported",
       "lock screen"},
      {KivoError::not_connected(), AgentErrorCode::kProtocol, "error.not_connected",
       "not connected"},
      {KivoError::congested(), AgentErrorCode::kProtocol, "error.congested", "send congested"},
      {KivoError::invalid_message("bitrate_bps must be a positive whole kbps value"),
       AgentErrorCode::kProtocol, "error.invalid_message",
       "invalid message: bitrate_bps must be a positive whole kbps value"},
      {KivoError::database("locked"), AgentErrorCode::kProtocol, "error.database",
       "database error: locked"},
      {KivoError::io(IoKind::kBrokenPipe, "log writer aborted"), AgentErrorCode::kProtocol,
       "error.io", "io error: log writer aborted"},
      {KivoError::json("missing field `config`"), AgentErrorCode::kProtocol,
       "error.invalid_message", "json error: missing field `config`"},
  };
  for (const Case& c : cases) {
    AgentError expected{c.code, c.message_key, c.detail, std::nullopt};
    EXPECT_EQ(agent_error_from(c.error), expected) << c.error.display();
  }
}

TEST(AgentErrorFromTest, DirectRefusalsOfInjectInput) {
  CaptureGeometry current;
  current.epoch = 9;
  current.display_id = 3;
  current.surface_size_px = {1920.0, 1080.0};

  struct Case {
    AgentError error;
    std::string message_key;
    std::string detail;
    std::optional<CaptureGeometry> latest_geometry;
  };
  const Case cases[] = {
      {stale_input_epoch_error(5, 4), "agent.stale_input_epoch",
       "stale input epoch: expected 5, got 4", std::nullopt},
      {stale_geometry_epoch_error(current, 8), "agent.stale_geometry_epoch",
       "stale geometry epoch: expected 9, got 8", current},
      {geometry_unavailable_error(), "agent.geometry_unavailable", "geometry unavailable",
       std::nullopt},
      {input_out_of_bounds_error(), "agent.input_out_of_bounds",
       "input coordinates are outside capture content rect", std::nullopt},
  };
  for (const Case& c : cases) {
    AgentError expected{AgentErrorCode::kProtocol, c.message_key, c.detail, c.latest_geometry};
    EXPECT_EQ(c.error, expected);
  }
}

TEST(AgentErrorCodeTest, WritesEveryCodeByItsName) {
  struct Case {
    AgentErrorCode code;
    std::string_view text;
  };
  const Case cases[] = {
      {AgentErrorCode::kNoAgent, "\"no_agent\""},
      {AgentErrorCode::kScreenDenied, "\"screen_denied\""},
      {AgentErrorCode::kInputDenied, "\"input_denied\""},
      {AgentErrorCode::kInactiveSession, "\"inactive_session\""},
      {AgentErrorCode::kSecureInputRejected, "\"secure_input_rejected\""},
      {AgentErrorCode::kProtocol, "\"protocol\""},
      {AgentErrorCode::kUnsupported, "\"unsupported\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json::encode_document(c.code), c.text);
    Result<AgentErrorCode> back = json::decode_document<AgentErrorCode>(c.text);
    ASSERT_TRUE(back) << c.text;
    EXPECT_EQ(*back, c.code);
  }
  Result<AgentErrorCode> wrong_case = json::decode_document<AgentErrorCode>("\"Protocol\"");
  ASSERT_FALSE(wrong_case);
  EXPECT_EQ(wrong_case.error().display(),
            "json error: unknown variant `Protocol`, expected one of `no_agent`, "
            "`screen_denied`, `input_denied`, `inactive_session`, `secure_input_rejected`, "
            "`protocol`, `unsupported`");
}

}  // namespace
}  // namespace kivo::protocol
