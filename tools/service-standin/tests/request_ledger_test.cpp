#include "kivo/standin/request_ledger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kivo::standin {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Sends `command` through the ledger as the service does: stamp, number, book.
protocol::ServiceEnvelope send(RequestLedger& ledger, protocol::ServiceToAgent command,
                               bool numbered = true) {
  protocol::ServiceEnvelope envelope{std::nullopt, ledger.stamp_for(command), std::move(command)};
  if (numbered) envelope.request_id = ledger.next_request_id();
  ledger.record_sent(envelope);
  return envelope;
}

TEST(RequestLedgerTest, NumbersFromOneAndSkipsReservedIds) {
  RequestLedger ledger(1);
  ledger.reserve_request_id(2);
  EXPECT_EQ(ledger.next_request_id(), 1u);
  EXPECT_EQ(ledger.next_request_id(), 3u);
  // An id a full envelope used is not handed out again.
  ledger.record_sent({5, {1, 0}, protocol::QueryStatus{}});
  EXPECT_EQ(ledger.next_request_id(), 4u);
  EXPECT_EQ(ledger.next_request_id(), 6u);
}

TEST(RequestLedgerTest, CaptureEpochFollowsAcceptedStarts) {
  RequestLedger ledger(7);
  EXPECT_EQ(send(ledger, protocol::QueryStatus{}).stamp, (protocol::AgentStamp{7, 0}));

  const auto start = send(ledger, protocol::StartCapture{});
  EXPECT_EQ(start.stamp, (protocol::AgentStamp{7, 1}));
  // Until the agent accepts it, the old epoch is current...
  EXPECT_EQ(send(ledger, protocol::QueryStatus{}).stamp.capture_epoch, 0u);
  // ...and a second start still gets an epoch of its own.
  const auto restart = send(ledger, protocol::Reconfigure{});
  EXPECT_EQ(restart.stamp.capture_epoch, 2u);

  EXPECT_THAT(ledger.record_reply(*start.request_id, start.stamp, "status"), IsEmpty());
  EXPECT_EQ(ledger.capture_epoch(), 1u);
  // A refused reconfiguration leaves the epoch where it was.
  EXPECT_THAT(ledger.record_reply(*restart.request_id, restart.stamp, "error"), IsEmpty());
  EXPECT_EQ(ledger.capture_epoch(), 1u);
  EXPECT_EQ(send(ledger, protocol::SwitchToMonitorCapture{}).stamp.capture_epoch, 3u);

  // Without a request id nothing can confirm it: the epoch is taken at once.
  send(ledger, protocol::StartCapture{}, /*numbered=*/false);
  EXPECT_EQ(ledger.capture_epoch(), 4u);
}

TEST(RequestLedgerTest, FlagsRepliesThatBreakTheRules) {
  RequestLedger ledger(1);
  const auto status = send(ledger, protocol::QueryStatus{});
  const auto quit = send(ledger, protocol::Quit{});
  const auto keyframe = send(ledger, protocol::RequestKeyframe{});

  EXPECT_THAT(ledger.record_reply(99, {1, 0}, "status"),
              ElementsAre(HasSubstr("request_id 99, which no command had")));
  EXPECT_THAT(ledger.record_reply(*status.request_id, status.stamp, "status"), IsEmpty());
  EXPECT_THAT(ledger.record_reply(*status.request_id, status.stamp, "status"),
              ElementsAre(HasSubstr("a second reply (\"status\") to request 1")));
  EXPECT_THAT(ledger.record_reply(*quit.request_id, quit.stamp, "stopped"),
              ElementsAre(HasSubstr("answered only when it fails")));
  EXPECT_THAT(ledger.record_reply(*keyframe.request_id, {1, 5}, "status"),
              ElementsAre(HasSubstr("carries the stamp {agent_generation 1, capture_epoch 5}, not "
                                    "the command's {agent_generation 1, capture_epoch 0}")));
}

TEST(RequestLedgerTest, CommandsAnsweredOnlyOnFailureAreNeverOwed) {
  RequestLedger ledger(1);
  send(ledger, protocol::Quit{});
  send(ledger, protocol::LockScreen{});
  send(ledger, protocol::CaptureDisplayThumbnail{1, 1, 0});
  send(ledger, protocol::OutboundReceipt{});
  send(ledger, protocol::RecentHistorySnapshot{});
  const auto failed_thumbnail = send(ledger, protocol::CaptureDisplayThumbnail{});
  const auto list = send(ledger, protocol::ListDisplays{});
  send(ledger, protocol::QueryGeometry{});

  // An "error" is a proper answer to a command that is silent on success.
  EXPECT_THAT(ledger.record_reply(*failed_thumbnail.request_id, failed_thumbnail.stamp, "error"),
              IsEmpty());
  EXPECT_THAT(ledger.record_reply(*list.request_id, list.stamp, "error"), IsEmpty());
  const auto owed = ledger.unanswered();
  ASSERT_EQ(owed.size(), 1u);
  EXPECT_EQ(owed[0].request_id, 8u);
  EXPECT_EQ(owed[0].command, "query_geometry");
}

}  // namespace
}  // namespace kivo::standin
