// The small parts of the process: the main queue, the shutdown channel, the
// session claim's sampling rule and the failure report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "agent_failure.hpp"
#include "main_queue.hpp"
#include "session_claim.hpp"
#include "shutdown_channel.hpp"

namespace kivo::agent {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

TEST(MainQueueTest, AStopPostedBeforeRunStillEndsIt) {
  MainQueue queue;
  std::vector<int> ran;
  queue.post([&] { ran.push_back(1); });
  queue.post_stop();
  queue.post([&] { ran.push_back(2); });  // after the stop: never runs
  queue.run();
  EXPECT_THAT(ran, ElementsAre(1));
}

TEST(MainQueueTest, RunsWorkPostedFromOtherThreadsUntilStopped) {
  MainQueue queue;
  std::vector<int> ran;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) queue.post([&ran, i] { ran.push_back(i); });
    queue.post_stop();
  });
  queue.run();
  poster.join();
  EXPECT_EQ(ran.size(), 100u);
}

TEST(ShutdownChannelTest, KeepsOrderAndDropsPostsAfterClose) {
  ShutdownChannel channel;
  channel.post(ShutdownRequest::menu_quit());
  channel.post(ShutdownRequest::xpc_terminated(true, "send_failed"));
  channel.close();
  channel.post(ShutdownRequest::os_signal());
  EXPECT_EQ(channel.try_take()->kind, ShutdownRequest::Kind::kMenuQuit);
  EXPECT_EQ(shutdown_reason(*channel.try_take()), "xpc_quit");
  EXPECT_FALSE(channel.try_take().has_value());
}

TEST(ShutdownReasonTest, NamesEveryRequest) {
  EXPECT_EQ(shutdown_reason(ShutdownRequest::os_signal()), "os_signal");
  EXPECT_EQ(shutdown_reason(ShutdownRequest::service_quit()), "service_quit");
  EXPECT_EQ(shutdown_reason(ShutdownRequest::xpc_terminated(false, "x")), "xpc_terminated");
  EXPECT_EQ(shutdown_reason(ShutdownRequest::xpc_terminated(true, "x")), "xpc_quit");
}

class ScriptedClaims final : public SessionClaimSource {
 public:
  explicit ScriptedClaims(std::vector<std::optional<SessionClaim>> samples)
      : samples_(std::move(samples)) {}
  std::optional<SessionClaim> sample() override {
    const std::size_t index = std::min(taken, samples_.size() - 1);
    ++taken;
    return samples_[index];
  }
  std::size_t taken = 0;

 private:
  std::vector<std::optional<SessionClaim>> samples_;
};

class RecordingSleeper final : public Sleeper {
 public:
  void sleep_for(std::chrono::milliseconds duration) override { waits.push_back(duration.count()); }
  std::vector<long> waits;
};

TEST(SessionClaimTest, ResolvesOnTwoEqualCompleteSamplesInARow) {
  const SessionClaim on{true, true};
  const SessionClaim off{false, true};
  const SessionClaim half{std::nullopt, true};
  struct Case {
    const char* name;
    std::vector<std::optional<SessionClaim>> samples;
    SessionClaim expected;
    std::size_t samples_taken;
  };
  const std::vector<Case> cases{
      {"stable from the start", {on, on}, on, 2},
      {"changes once, then settles", {on, off, off}, off, 3},
      {"login never reported done", {half}, SessionClaim{}, 8},
      {"flapping until the last pair", {on, off, on, off, on, off, on, on}, on, 8},
      {"no session at all", {std::nullopt}, SessionClaim{}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedClaims claims(c.samples);
    RecordingSleeper sleeper;
    EXPECT_EQ(sample_session_claim(claims, sleeper), c.expected);
    EXPECT_EQ(claims.taken, c.samples_taken);
  }
}

TEST(SessionClaimTest, WaitsGrowBetweenSamples) {
  ScriptedClaims claims({SessionClaim{}});
  RecordingSleeper sleeper;
  sample_session_claim(claims, sleeper);
  EXPECT_THAT(sleeper.waits, ElementsAreArray({250, 500, 750, 750, 750, 750, 750}));
}

TEST(AgentFailureTest, ReportsTheChainOutermostFirst) {
  EXPECT_EQ(AgentFailure("agent XPC connection terminated: connection_invalid").report(),
            "Error: agent XPC connection terminated: connection_invalid\n");
  EXPECT_EQ(AgentFailure(KivoError::not_connected())
                .context("failed to complete agent XPC hello")
                .report(),
            "Error: failed to complete agent XPC hello\n\nCaused by:\n    not connected\n");
}

}  // namespace
}  // namespace kivo::agent
