#include "kivo/standin/script_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "kivo/testing/temp_dir.hpp"
#include "test_agent.hpp"

namespace kivo::standin {
namespace {

using namespace std::chrono_literals;
using kivo::testing::ScopedEnv;
using kivo::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::kPatience;
using testing::TestAgent;

// Runs a script against a TestAgent that `behave` drives on its own thread.
class ScriptRunnerTest : public ::testing::Test {
 protected:
  RunOutcome run(std::string_view text, RunOptions options,
                 std::function<void(TestAgent&)> behave) {
    auto script = parse_script(text);
    EXPECT_TRUE(script) << script.error().text();
    auto service = StandinService::listen({.root = root_.path(), .generation = 3});
    EXPECT_TRUE(service) << service.error().display();
    EXPECT_TRUE(agent_.connect());
    std::thread agent_thread([&] { behave(agent_); });
    options.connect_timeout = kPatience;
    RunOutcome outcome = run_script(**service, *script, options);
    agent_thread.join();
    return outcome;
  }

  TempDir root_;
  ScopedEnv root_env_{"KIVO_SYSTEM_ROOT", root_.path().c_str()};
  TestAgent agent_;
};

// Answers every command that wants an answer until "quit", then leaves.
void answer_until_quit(TestAgent& agent) {
  if (!agent.hello()) return;
  while (auto command = agent.next_command()) {
    if (std::holds_alternative<protocol::Quit>(command->message)) break;
    EXPECT_TRUE(agent.send(command->request_id, command->stamp, testing::stopped_status()));
  }
  agent.close();
}

TEST_F(ScriptRunnerTest, AnAgentThatAnswersEverythingBehaved) {
  RunOptions options;
  options.until_quit = true;
  const RunOutcome outcome =
      run("{\"type\":\"query_status\"}\n"
          "{\"await\":\"status\"}\n"
          "{\"request_id\":1,\"stamp\":{\"agent_generation\":3,\"capture_epoch\":0},"
          "\"message\":{\"type\":\"query_geometry\"}}\n"
          "{\"wait_ms\":1}\n"
          "{\"await\":\"replies\"}\n"
          "{\"type\":\"quit\"}",
          options, answer_until_quit);
  EXPECT_TRUE(outcome.hello_received);
  EXPECT_FALSE(outcome.cut_short);
  EXPECT_THAT(outcome.failures, IsEmpty());
  EXPECT_TRUE(outcome.behaved());
}

TEST_F(ScriptRunnerTest, AMissingReplyIsAFailure) {
  RunOptions options;
  // Also the hello's time: long enough for a loaded machine, short enough to
  // wait out for the missing reply.
  options.reply_timeout = 500ms;
  const RunOutcome outcome =
      run("{\"type\":\"query_geometry\"}\n{\"type\":\"quit\"}", options, [](TestAgent& agent) {
        agent.hello();
        agent.next_command();
        agent.next_command();
      });
  EXPECT_THAT(outcome.failures, ElementsAre("no reply to request 1 (\"query_geometry\")"));
  EXPECT_FALSE(outcome.behaved());
}

TEST_F(ScriptRunnerTest, AnAwaitThatTimesOutIsAFailure) {
  RunOptions options;
  options.reply_timeout = 500ms;
  const RunOutcome outcome = run("{\"await\":\"permission\",\"timeout_ms\":5}", options,
                                 [](TestAgent& agent) { agent.hello(); });
  EXPECT_THAT(outcome.failures,
              ElementsAre("line 1: a \"permission\" document did not come within 5 ms"));
}

TEST_F(ScriptRunnerTest, AnAgentThatLeavesUnaskedFails) {
  const RunOutcome outcome =
      run("{\"type\":\"query_status\"}\n{\"wait_ms\":10000}\n{\"type\":\"query_status\"}", {},
          [](TestAgent& agent) {
            agent.hello();
            agent.next_command();
            agent.close();
          });
  EXPECT_THAT(
      outcome.failures,
      ElementsAre("no reply to request 1 (\"query_status\")", "the link ended before line 3",
                  "the agent ended the link without being asked to quit"));
}

TEST_F(ScriptRunnerTest, ARunCutShortOwesNoReplies) {
  RunOptions options;
  options.run_for = 200ms;
  const RunOutcome outcome =
      run("{\"type\":\"query_status\"}\n{\"await\":\"replies\"}\n{\"type\":\"query_status\"}",
          options, [](TestAgent& agent) { agent.hello(); });
  EXPECT_TRUE(outcome.cut_short);
  EXPECT_THAT(outcome.failures, IsEmpty());
  EXPECT_TRUE(outcome.behaved());
}

TEST_F(ScriptRunnerTest, ARefusedHelloSendsNoCommand) {
  RunOptions options;
  options.refuse_hello = true;
  const RunOutcome outcome = run("{\"type\":\"query_status\"}", options, [](TestAgent& agent) {
    EXPECT_FALSE(agent.hello());
    EXPECT_FALSE(agent.next_inbound(20ms)) << "no command after a refusal";
    agent.close();
  });
  EXPECT_TRUE(outcome.behaved());
}

}  // namespace
}  // namespace kivo::standin
