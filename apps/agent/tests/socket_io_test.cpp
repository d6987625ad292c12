#include "socket_io.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/core/log.hpp"
#include "socket_test_support.hpp"

namespace kivo::agent {
namespace {

struct FramedReadCase {
  const char* name;
  protocol::Bytes sent;  // then the peer closes
  std::optional<protocol::Bytes> expected;
  // The WARN line, if any, and its "declared" field.
  std::optional<std::string> warning;
  std::optional<std::string> declared;
};

class FramedReadTest : public ::testing::TestWithParam<FramedReadCase> {};

TEST_P(FramedReadTest, ReturnsOneWholeFrameOrEndsTheStream) {
  const FramedReadCase& c = GetParam();
  testing::SocketPair pair;
  testing::write_all(pair.peer.get(), c.sent);
  pair.peer.reset();

  kivo::log::ScopedCapture capture;
  EXPECT_EQ(read_framed_packet(pair.agent.get(), protocol::kMaxBulkBodyLength, kBulkChannel),
            c.expected);

  const auto events = capture.events();
  if (!c.warning) {
    EXPECT_TRUE(events.empty());
    return;
  }
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, kivo::log::Level::kWarn);
  EXPECT_EQ(events[0].message, *c.warning);
  EXPECT_EQ(events[0].field("declared"), c.declared);
  EXPECT_EQ(events[0].field("max"), "33554432");
  EXPECT_EQ(events[0].field("channel"), "bulk");
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FramedReadTest,
    ::testing::Values(
        FramedReadCase{"WholeFrame",
                       {2, 0, 0, 0, 0xAA, 0xBB},
                       protocol::Bytes{2, 0, 0, 0, 0xAA, 0xBB},
                       std::nullopt,
                       std::nullopt},
        FramedReadCase{
            "ZeroLength", {0, 0, 0, 0}, std::nullopt, "rejected invalid framed packet length", "0"},
        FramedReadCase{"AboveMaximum",
                       {1, 0, 0, 2},
                       std::nullopt,
                       "rejected invalid framed packet length",
                       "33554433"},
        FramedReadCase{"ClosedBetweenFrames", {}, std::nullopt, std::nullopt, std::nullopt},
        FramedReadCase{"ClosedInsideLength", {5, 0}, std::nullopt, std::nullopt, std::nullopt},
        FramedReadCase{
            "ClosedInsideBody", {5, 0, 0, 0, 0x11}, std::nullopt, std::nullopt, std::nullopt}),
    [](const ::testing::TestParamInfo<FramedReadCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(SocketIoTest, DuplicatesNeverLandOnStandardStreams) {
  testing::SocketPair pair;
  auto copy = duplicate_socket_fd(pair.agent.get());
  ASSERT_TRUE(copy);
  EXPECT_GE(copy->get(), 3);
}

}  // namespace
}  // namespace kivo::agent
