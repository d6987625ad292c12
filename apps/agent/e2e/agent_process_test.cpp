// The real kivo-agent against the stand-in service: hello, status, and every
// way the process ends.
#include "agent_process.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kivo/core/quit.hpp"
#include "kivo/standin/standin_service.hpp"
#include "kivo/testing/temp_dir.hpp"

namespace kivo::agent::e2e {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kWait = 10s;

class AgentProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ignored;
    std::filesystem::create_directories(home_.path(), ignored);
    auto service = standin::StandinService::listen(standin::StandinOptions{
        .root = root_.path(),
        .generation = 1,
        .on_hello = [this](const std::string& raw, const Result<protocol::HelloRequest>&) {
          hello_raw_ = raw;
        }});
    ASSERT_TRUE(service) << service.error().display();
    service_ = std::move(*service);
  }

  void start_agent() {
    agent_.emplace(root_.path(), home_.path(), root_.path() / "agent.stderr");
    ASSERT_TRUE(agent_->started());
  }

  // Starts the agent and completes its hello.
  void connect_agent() {
    start_agent();
    ASSERT_TRUE(service_->accept_agent(kWait));
    ASSERT_TRUE(service_->await_hello(kWait));
    ASSERT_TRUE(service_->accept_hello());
  }

  std::string boot_id() {
    auto id = boot_session_uuid();
    EXPECT_TRUE(id);
    return id ? *id : std::string();
  }

  void write_quit_latch(const std::string& quit_id) {
    root_.write("Library/Application Support/Kivo/quit_latch.json",
                fmt::format(R"({{"version":1,"quit_id":"{}","boot_session_uuid":"{}",)"
                            R"("created_at_unix_ms":1}})",
                            quit_id, boot_id()));
  }

  testing::TempDir root_;
  testing::TempDir home_;
  AgentLogTail log_;
  std::unique_ptr<standin::StandinService> service_;
  std::optional<AgentProcess> agent_;
  std::string hello_raw_;
};

TEST_F(AgentProcessTest, HelloOfAnUnknownSessionClaimIsExact) {
  connect_agent();
  EXPECT_EQ(hello_raw_, R"({"session":{},"capabilities":["recent_history_snapshot_v1",)"
                        R"("open_ui_connect_intent_v1","display_thumbnail_bulk_v1"]})");
}

TEST_F(AgentProcessTest, QueryStatusBeforeAnyCaptureAnswersTheStoppedStatus) {
  connect_agent();
  auto id = service_->send_numbered(protocol::QueryStatus{});
  ASSERT_TRUE(id);
  auto reply = service_->await_reply(*id, kWait);
  ASSERT_TRUE(reply);
  EXPECT_THAT(reply->raw, HasSubstr(R"("message":{"type":"status","status":{"running":false,)"
                                    R"("backend":"agent.sck-vt","message_key":"capture.stopped"},)"
                                    R"("diagnostics":{"agent_generation":1,"capture_epoch":0,)"));
  EXPECT_THAT(reply->raw, Not(HasSubstr(R"("geometry")")));
  EXPECT_THAT(reply->raw, Not(HasSubstr(R"("input_epoch":0,"diagnostics")")));
  EXPECT_THAT(reply->raw, Not(HasSubstr("clipboard_health")));
  EXPECT_TRUE(service_->violations().empty());
}

TEST_F(AgentProcessTest, QuitExitsCleanlyAfterTheCleanup) {
  connect_agent();
  ASSERT_TRUE(service_->send_command(protocol::Quit{}, std::nullopt));
  EXPECT_EQ(agent_->wait_exit(kWait), 0);
  EXPECT_EQ(agent_->standard_error(), "");
  const std::string log = log_.appended();
  EXPECT_THAT(log, HasSubstr("agent runtime cleanup started reason=service_quit"));
  EXPECT_THAT(log, HasSubstr("agent runtime cleanup finished reason=service_quit"));
}

TEST_F(AgentProcessTest, TheServiceClosingTheConnectionIsAFailure) {
  connect_agent();
  service_->close();
  EXPECT_EQ(agent_->wait_exit(kWait), 1);
  EXPECT_EQ(agent_->standard_error(),
            "Error: agent XPC connection terminated: connection_invalid\n");
}

TEST_F(AgentProcessTest, SigtermRunsTheCleanupAndExitsCleanly) {
  connect_agent();
  // A reply proves the agent is past start-up and waiting.
  auto id = service_->send_numbered(protocol::QueryStatus{});
  ASSERT_TRUE(id && service_->await_reply(*id, kWait));
  agent_->signal(SIGTERM);
  EXPECT_EQ(agent_->wait_exit(kWait), 0);
  EXPECT_THAT(log_.appended(), HasSubstr("agent runtime cleanup finished reason=os_signal"));
}

TEST_F(AgentProcessTest, AnActiveQuitLatchEndsTheAgentBeforeItConnects) {
  write_quit_latch("quit-1");
  start_agent();
  EXPECT_EQ(agent_->wait_exit(kWait), 0);
  EXPECT_FALSE(service_->accept_agent(50ms));
  EXPECT_THAT(log_.appended(), HasSubstr("startup gate requested clean agent exit"));
}

TEST_F(AgentProcessTest, AResumeIntentForTheLatchSendsItsQuitId) {
  write_quit_latch("quit-2");
  home_.write("Library/Application Support/Kivo/resume_intent.json",
              fmt::format(R"({{"version":1,"quit_id":"quit-2","boot_session_uuid":"{}",)"
                          R"("requested_at":1}})",
                          boot_id()));
  connect_agent();
  EXPECT_THAT(hello_raw_, HasSubstr(R"("resume_quit_id":"quit-2")"));
}

}  // namespace
}  // namespace kivo::agent::e2e
