#include "kivo/standin/script.hpp"

#include <gtest/gtest.h>

namespace kivo::standin {
namespace {

using namespace std::chrono_literals;

struct BadScriptCase {
  const char* name;
  const char* script;
  std::size_t line;
  const char* reason;  // the start of the reason
};

class BadScriptTest : public ::testing::TestWithParam<BadScriptCase> {};

TEST_P(BadScriptTest, NamesTheLineAndTheFault) {
  const BadScriptCase& c = GetParam();
  auto script = parse_script(c.script);
  ASSERT_FALSE(script);
  EXPECT_EQ(script.error().line, c.line);
  EXPECT_EQ(script.error().reason.rfind(c.reason, 0), 0u) << script.error().reason;
  EXPECT_EQ(script.error().text().rfind("line " + std::to_string(c.line) + ": ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadScriptTest,
    ::testing::Values(
        BadScriptCase{"not_json", "{\"type\":\"quit\"}\n\n{\"type\":", 3, "EOF while parsing"},
        BadScriptCase{"not_an_object", "[1,2]", 1, "expected a JSON object"},
        BadScriptCase{"unknown_command", "# a comment\n{\"type\":\"Quit\"}", 2,
                      "bad command: unknown variant `Quit`"},
        BadScriptCase{"missing_field", "{\"type\":\"set_audio_enabled\"}", 1,
                      "bad command: missing field `enabled`"},
        BadScriptCase{"out_of_range",
                      "{\"type\":\"switch_to_window_capture\",\"window_id\":4294967296}", 1,
                      "bad command: invalid value"},
        BadScriptCase{"envelope_without_stamp", "{\"message\":{\"type\":\"quit\"}}", 1,
                      "bad envelope: missing field `stamp`"},
        BadScriptCase{
            "repeated_request_id",
            "{\"request_id\":4,\"stamp\":[1,0],\"message\":{\"type\":\"query_status\"}}\n"
            "{\"request_id\":4,\"stamp\":[1,0],\"message\":{\"type\":\"query_geometry\"}}",
            2, "request_id 4 is already used on line 1"},
        BadScriptCase{"negative_wait", "{\"wait_ms\":-1}", 1, "\"wait_ms\" must be a whole number"},
        BadScriptCase{"fractional_wait", "{\"wait_ms\":1.5}", 1,
                      "\"wait_ms\" must be a whole number"},
        BadScriptCase{"huge_wait", "{\"wait_ms\":18446744073709551615}", 1,
                      "\"wait_ms\" is too large"},
        BadScriptCase{"wait_with_extra", "{\"wait_ms\":5,\"await\":\"status\"}", 1,
                      "unexpected key \"await\" beside \"wait_ms\""},
        BadScriptCase{"unknown_document_type", "{\"await\":\"statuses\"}", 1,
                      "unknown agent message type \"statuses\""},
        BadScriptCase{"await_not_a_string", "{\"await\":1}", 1, "\"await\" must be a string"},
        BadScriptCase{"bad_await_timeout", "{\"await\":\"status\",\"timeout_ms\":\"1\"}", 1,
                      "\"timeout_ms\" must be a whole number"},
        BadScriptCase{"duplicate_directive_key", "{\"wait_ms\":1,\"wait_ms\":2}", 1,
                      "duplicate key \"wait_ms\""},
        BadScriptCase{"nothing_known", "{\"sleep\":5}", 1, "expected a service envelope"}),
    [](const ::testing::TestParamInfo<BadScriptCase>& param) { return param.param.name; });

TEST(ScriptTest, ReadsEveryKindOfLine) {
  constexpr std::string_view kText =
      "# set-up\r\n"
      "{\"stamp\":{\"agent_generation\":9,\"capture_epoch\":3},\"message\":{\"type\":\"quit\"},"
      "\"extra\":1}\r\n"
      "   \n"
      "{\"type\":\"query_status\"}\n"
      "{\"type\":\"stop_capture\"}\n"
      "{\"type\":\"stop_capture\",\"capture_epoch\":7}\n"
      "{\"wait_ms\":250}\n"
      "{\"await\":\"replies\"}\n"
      "{\"await\":\"status\",\"timeout_ms\":20}";
  auto script = parse_script(kText);
  ASSERT_TRUE(script) << script.error().text();
  ASSERT_EQ(script->size(), 7u);

  const auto& full = std::get<SendEnvelope>((*script)[0].action);
  EXPECT_EQ((*script)[0].line, 2u);
  // Sent exactly as written, unknown keys and all.
  EXPECT_EQ(
      full.text,
      "{\"stamp\":{\"agent_generation\":9,\"capture_epoch\":3},\"message\":{\"type\":\"quit\"},"
      "\"extra\":1}");
  EXPECT_EQ(full.envelope.stamp, (protocol::AgentStamp{9, 3}));
  EXPECT_FALSE(full.envelope.request_id);

  EXPECT_EQ((*script)[1].line, 4u);
  EXPECT_TRUE(std::holds_alternative<protocol::QueryStatus>(
      std::get<SendCommand>((*script)[1].action).command));
  // Only a stop_capture without its epoch is filled in when sent.
  EXPECT_TRUE(std::get<SendCommand>((*script)[2].action).fill_capture_epoch);
  const auto& explicit_stop = std::get<SendCommand>((*script)[3].action);
  EXPECT_FALSE(explicit_stop.fill_capture_epoch);
  EXPECT_EQ(std::get<protocol::StopCapture>(explicit_stop.command).capture_epoch, 7u);

  EXPECT_EQ(std::get<WaitFor>((*script)[4].action).duration, 250ms);
  EXPECT_EQ(std::get<AwaitDocument>((*script)[5].action).type, kAwaitReplies);
  EXPECT_EQ(std::get<AwaitDocument>((*script)[5].action).timeout, kDefaultAwaitTimeout);
  EXPECT_EQ(std::get<AwaitDocument>((*script)[6].action).timeout, 20ms);
  EXPECT_EQ((*script)[6].line, 9u);
}

TEST(ScriptTest, AnEmptyScriptIsNoError) {
  auto script = parse_script("\n# nothing\n");
  ASSERT_TRUE(script);
  EXPECT_TRUE(script->empty());
}

}  // namespace
}  // namespace kivo::standin
