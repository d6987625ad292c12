// The agent and the X server's life: an agent started before its X server
// reports graphics not ready, then ready once the server runs, then lost when
// the server dies, and keeps serving commands through all three.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "agent_process.hpp"
#include "kivo/standin/standin_service.hpp"
#include "kivo/testing/temp_dir.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace kivo::agent::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;

class GraphicsLifeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kivo::testing::XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    auto service = standin::StandinService::listen(standin::StandinOptions{.root = root_.path()});
    ASSERT_TRUE(service) << service.error().display();
    service_ = std::move(*service);
  }

  // The "state" of "graphics_health" in a fresh status reply.
  std::string graphics_state() {
    auto id = service_->send_numbered(protocol::QueryStatus{});
    if (!id) return "no send";
    auto reply = service_->await_reply(*id, kWait);
    if (!reply || !reply->envelope) return "no reply";
    const auto* status = std::get_if<protocol::agent_msg::Status>(&reply->envelope->message);
    if (status == nullptr || !status->diagnostics) return "not a status";
    return std::string(
        protocol::StringEnum<protocol::CapabilityHealthState>::names[static_cast<std::size_t>(
            status->diagnostics->graphics_health.state)]);
  }

  // Asks until the graphics state is `expected`, for at most ten seconds.
  bool graphics_becomes(const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (graphics_state() == expected) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  kivo::testing::TempDir root_;
  kivo::testing::TempDir home_;
  std::unique_ptr<standin::StandinService> service_;
};

TEST_F(GraphicsLifeTest, NotReadyThenReadyThenLostAndTheAgentServesThroughout) {
  // Learn a display number that is free, then leave it empty for the start.
  kivo::testing::XvfbServer xvfb;
  ASSERT_TRUE(xvfb.start()) << xvfb.last_error();
  const std::string display = xvfb.display_name();
  xvfb.stop();

  AgentProcess agent(root_.path(), home_.path(), root_.path() / "agent.stderr",
                     {"DISPLAY=" + display});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(service_->accept_agent(kWait));
  ASSERT_TRUE(service_->await_hello(kWait));
  ASSERT_TRUE(service_->accept_hello());

  EXPECT_EQ(graphics_state(), "starting");
  ASSERT_TRUE(xvfb.start()) << xvfb.last_error();
  EXPECT_TRUE(graphics_becomes("ready"));
  xvfb.kill();
  EXPECT_TRUE(graphics_becomes("lost"));

  ASSERT_TRUE(service_->send_command(protocol::Quit{}, std::nullopt));
  EXPECT_EQ(agent.wait_exit(kWait), 0);
}

}  // namespace
}  // namespace kivo::agent::e2e
