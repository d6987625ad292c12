#include "command_loop.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "agent_fakes.hpp"
#include "maintenance_loop.hpp"

namespace kivo::agent {
namespace {

using ::testing::ElementsAre;

// Records "<type> <request id or -> <capture epoch>" per document; fails
// every send from the `fail_from`-th on.
class RecordingSender final : public DocumentSender {
 public:
  std::size_t fail_from = SIZE_MAX;

  Result<void> send(std::optional<std::uint64_t> request_id, const protocol::AgentStamp& stamp,
                    const protocol::AgentMessage& message) override {
    std::lock_guard lock(mutex_);
    if (attempts_++ >= fail_from) return fail(KivoError::not_connected());
    sent_.push_back(fmt::format("{} {} {}", protocol::agent_message_type(message),
                                request_id ? std::to_string(*request_id) : "-",
                                stamp.capture_epoch));
    return {};
  }
  std::vector<std::string> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  mutable std::mutex mutex_;
  std::size_t attempts_ = 0;
  std::vector<std::string> sent_;
};

xpc::ServiceInbound envelope(std::optional<std::uint64_t> request_id,
                             protocol::ServiceToAgent command, std::uint64_t capture_epoch = 0) {
  return xpc::InboundEnvelope{
      protocol::ServiceEnvelope{.request_id = request_id,
                                .stamp = {.agent_generation = 1, .capture_epoch = capture_epoch},
                                .message = std::move(command)}};
}

std::vector<std::string> take_requests(ShutdownChannel& channel) {
  std::vector<std::string> requests;
  while (auto request = channel.try_take()) {
    requests.push_back(fmt::format("{} {}", shutdown_reason(*request), request->detail));
  }
  return requests;
}

class CommandLoopTest : public ::testing::Test {
 protected:
  CommandLoopTest() : shared_(std::make_unique<testing::FakeFeatures>()) {}

  void run_with(std::vector<xpc::ServiceInbound> items, bool close = true) {
    for (auto& item : items) ASSERT_TRUE(inbound_.push(std::move(item)));
    if (close) inbound_.close();
    run_command_loop(CommandLoopContext{.inbound = inbound_,
                                        .shared = shared_,
                                        .sender = sender_,
                                        .shutdown = shutdown_,
                                        .quitting = quitting_});
  }

  xpc::InboundQueue inbound_{xpc::kInboundQueueCapacity};
  SharedAgentState shared_;
  RecordingSender sender_;
  ShutdownChannel shutdown_;
  std::atomic<bool> quitting_{false};
};

TEST_F(CommandLoopTest, RepliesCarryTheRequestIdAndTheEnvelopesStamp) {
  run_with(
      {envelope(5, protocol::QueryStatus{}, 3), envelope(std::nullopt, protocol::QueryGeometry{})});
  EXPECT_THAT(sender_.sent(), ElementsAre("status 5 3", "geometry - 0"));
  EXPECT_TRUE(take_requests(shutdown_).empty());
}

TEST_F(CommandLoopTest, QuitEndsTheLoopWithoutAReplyAndLeavesLaterCommands) {
  run_with({envelope(1, protocol::Quit{}), envelope(2, protocol::QueryStatus{})}, false);
  EXPECT_TRUE(sender_.sent().empty());
  EXPECT_THAT(take_requests(shutdown_), ElementsAre("service_quit "));
  EXPECT_EQ(inbound_.size(), 1u);
}

TEST_F(CommandLoopTest, TheEndOfTheConnectionIsReportedWithTheQuittingFlag) {
  const std::vector<std::pair<bool, std::string>> cases{
      {false, "xpc_terminated connection_invalid"}, {true, "xpc_quit connection_invalid"}};
  for (const auto& [quitting, expected] : cases) {
    SCOPED_TRACE(expected);
    xpc::InboundQueue inbound(4);
    ASSERT_TRUE(inbound.push(xpc::InboundTerminated{"connection_invalid", quitting}));
    ASSERT_TRUE(inbound.push(envelope(2, protocol::QueryStatus{})));
    run_command_loop(CommandLoopContext{.inbound = inbound,
                                        .shared = shared_,
                                        .sender = sender_,
                                        .shutdown = shutdown_,
                                        .quitting = quitting_});
    EXPECT_THAT(take_requests(shutdown_), ElementsAre(expected));
    EXPECT_TRUE(sender_.sent().empty());
  }
}

TEST_F(CommandLoopTest, AFailedSendAsksForShutdownAndDropsTheRest) {
  sender_.fail_from = 1;
  quitting_ = true;
  run_with({envelope(1, protocol::QueryStatus{}), envelope(2, protocol::QueryStatus{}),
            envelope(3, protocol::QueryStatus{})},
           false);
  EXPECT_THAT(sender_.sent(), ElementsAre("status 1 0"));
  EXPECT_THAT(take_requests(shutdown_), ElementsAre("xpc_quit send_failed"));
  EXPECT_EQ(inbound_.size(), 1u);
}

TEST_F(CommandLoopTest, CommandsQueuedOnceCleanupBeganAreNeverHandled) {
  shared_.state.shutting_down = true;
  run_with({envelope(1, protocol::StartCapture{})});
  EXPECT_TRUE(sender_.sent().empty());
  EXPECT_TRUE(shared_.state.capture_pipeline == nullptr);
}

TEST_F(CommandLoopTest, RequestsAfterTheWaitEndedAreDropped) {
  shutdown_.close();
  run_with({envelope(1, protocol::Quit{})});
  EXPECT_TRUE(take_requests(shutdown_).empty());
}

// Maintenance documents whose send fails end the loop with their own detail.
class TickingFeatures final : public UnbuiltFeatures {
 public:
  std::vector<StampedMessage> maintenance_tick(AgentState&) override {
    return {StampedMessage{{1, 2}, protocol::agent_msg::CursorState{.css = "default"}},
            StampedMessage{{1, 2}, protocol::agent_msg::CursorState{.css = "text"}}};
  }
};

TEST(MaintenanceLoopTest, SendsEachTicksDocumentsAndStopsOnAFailedSend) {
  SharedAgentState shared(std::make_unique<TickingFeatures>());
  RecordingSender sender;
  ShutdownChannel shutdown;
  std::atomic<bool> quitting{false};
  StopSignal stop;
  const MaintenanceLoopContext context{.shared = shared,
                                       .sender = sender,
                                       .shutdown = shutdown,
                                       .quitting = quitting,
                                       .stop = stop,
                                       .period = std::chrono::milliseconds(1)};
  EXPECT_TRUE(run_maintenance_tick(context));
  EXPECT_THAT(sender.sent(), ElementsAre("cursor_state - 2", "cursor_state - 2"));

  sender.fail_from = 3;
  run_maintenance_loop(context);  // returns on the failed send
  EXPECT_EQ(sender.sent().size(), 3u);
  EXPECT_THAT(take_requests(shutdown), ElementsAre("xpc_terminated maintenance_send_failed"));
}

TEST(MaintenanceLoopTest, AStopSetWhileSleepingEndsTheLoopAtOnce) {
  SharedAgentState shared(std::make_unique<TickingFeatures>());
  RecordingSender sender;
  ShutdownChannel shutdown;
  std::atomic<bool> quitting{false};
  StopSignal stop;
  std::thread loop([&] {
    run_maintenance_loop(MaintenanceLoopContext{.shared = shared,
                                                .sender = sender,
                                                .shutdown = shutdown,
                                                .quitting = quitting,
                                                .stop = stop,
                                                .period = std::chrono::hours(1)});
  });
  stop.set();
  loop.join();
  EXPECT_TRUE(sender.sent().empty());
}

}  // namespace
}  // namespace kivo::agent
