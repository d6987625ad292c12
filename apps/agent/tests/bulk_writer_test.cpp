#include "bulk_writer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kivo/core/log.hpp"
#include "socket_io.hpp"
#include "socket_test_support.hpp"

namespace kivo::agent {
namespace {

using protocol::BulkFrame;
using testing::eventually;
using testing::filled;
using testing::readable_bytes;

// Larger than a Unix socket's buffer, so the writer blocks on a peer that
// does not read with part of the frame already on the socket.
constexpr std::size_t kBlockingSize = 4 * 1024 * 1024;

BulkFrame file_data(std::uint64_t packet_id, std::size_t size) {
  return BulkFrame{BulkFrame::FileData{.route_id = 3,
                                       .packet_id = packet_id,
                                       .task_id = "recv_0001",
                                       .chunk_index = static_cast<std::uint32_t>(packet_id),
                                       .data = filled(size, static_cast<std::uint8_t>(packet_id))}};
}

BulkFrame thumbnail(std::uint64_t request_id) {
  return BulkFrame{
      BulkFrame::DisplayThumbnail{.request_id = request_id,
                                  .display_id = 1,
                                  .index = 0,
                                  .result = BulkFrame::ThumbnailImage{.jpeg = filled(64, 9)}}};
}

std::vector<std::string> messages_of(const kivo::log::ScopedCapture& capture) {
  std::vector<std::string> messages;
  for (const auto& event : capture.events()) messages.push_back(event.message);
  return messages;
}

class BulkWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto installed = install_bulk_socket(std::move(pair.agent), stop, clock);
    ASSERT_TRUE(installed) << installed.error().display();
    install = std::move(*installed);
  }

  void TearDown() override {
    stop = true;
    if (install.writer) install.writer->shutdown_socket();
    if (install.writer_thread.joinable()) install.writer_thread.join();
  }

  std::optional<BulkFrame> read_frame() {
    auto bytes = read_framed_packet(pair.peer.get(), protocol::kMaxBulkBodyLength, "peer");
    if (!bytes) return std::nullopt;
    auto frame = protocol::decode_bulk_frame(*bytes);
    if (!frame) return std::nullopt;
    return std::move(*frame);
  }

  // Queues a frame the peer will not take, and waits until the writer is
  // stuck on it with some of its bytes on the socket.
  void block_writer_on_unread_frame(std::optional<std::chrono::milliseconds> ttl = std::nullopt) {
    ASSERT_TRUE(install.writer->enqueue(file_data(1, kBlockingSize), ttl));
    ASSERT_TRUE(eventually(
        [&] { return install.writer->queued() == 0 && readable_bytes(pair.peer.get()) > 0; }));
  }

  testing::SocketPair pair;
  std::atomic<bool> stop{false};
  testing::FakeClock clock;
  BulkSocketInstall install;
};

TEST_F(BulkWriterTest, WritesWholeFramesInQueueOrder) {
  const std::vector<BulkFrame> frames{
      file_data(1, 1024 * 1024),
      BulkFrame{
          BulkFrame::ClipboardOutbound{.route_id = 3, .packet_id = 2, .packet = filled(10, 1)}},
      thumbnail(5),
      BulkFrame{BulkFrame::FileAck{.route_id = 3, .payload = filled(80, 2)}},
  };
  for (const auto& frame : frames) {
    const auto ttl = std::holds_alternative<BulkFrame::DisplayThumbnail>(frame.value)
                         ? std::optional(kThumbnailTimeToLive)
                         : std::nullopt;
    ASSERT_TRUE(enqueue_bulk_frame(install.writer.get(), frame, ttl));
  }
  for (const auto& frame : frames) EXPECT_EQ(read_frame(), std::optional(frame));
}

TEST_F(BulkWriterTest, FullQueueIsCongestedAtOnce) {
  block_writer_on_unread_frame();
  for (std::uint64_t id = 2; id < 2 + BulkQueue::kCapacity; ++id) {
    ASSERT_TRUE(install.writer->enqueue(file_data(id, 16), std::nullopt)) << id;
  }
  const auto refused = install.writer->enqueue(file_data(99, 16), std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), KivoError::Kind::kCongested);
}

TEST_F(BulkWriterTest, ThumbnailStillQueuedAfterItsTimeToLiveIsDropped) {
  kivo::log::ScopedCapture capture;
  block_writer_on_unread_frame();
  ASSERT_TRUE(install.writer->enqueue(thumbnail(7), kThumbnailTimeToLive));
  ASSERT_TRUE(install.writer->enqueue(file_data(2, 16), std::nullopt));
  clock.advance(kThumbnailTimeToLive);

  EXPECT_EQ(read_frame(), std::optional(file_data(1, kBlockingSize)));
  EXPECT_EQ(read_frame(), std::optional(file_data(2, 16)));
  EXPECT_THAT(messages_of(capture), ::testing::Contains("dropped expired bulk frame before write"));
}

TEST_F(BulkWriterTest, FrameExpiringHalfWrittenEndsTheWriterAndLaterEnqueuesAreNotConnected) {
  kivo::log::ScopedCapture capture;
  block_writer_on_unread_frame(kThumbnailTimeToLive);
  clock.advance(std::chrono::seconds(3));
  install.writer_thread.join();

  const auto refused = install.writer->enqueue(file_data(2, 16), std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), KivoError::Kind::kNotConnected);
  EXPECT_THAT(messages_of(capture),
              ::testing::Not(::testing::Contains("failed to write agent bulk frame")));
}

TEST_F(BulkWriterTest, StopFlagEndsAWriterBlockedOnAPeerThatDoesNotRead) {
  block_writer_on_unread_frame();
  stop = true;
  install.writer_thread.join();  // returns within a send timeout or two
}

TEST_F(BulkWriterTest, WriteFailureIsLoggedAndEndsTheWriter) {
  kivo::log::ScopedCapture capture;
  pair.peer.reset();
  ASSERT_TRUE(install.writer->enqueue(file_data(1, 16), std::nullopt));
  install.writer_thread.join();

  const auto events = capture.events();
  const auto warning = std::find_if(events.begin(), events.end(), [](const auto& event) {
    return event.message == "failed to write agent bulk frame";
  });
  ASSERT_NE(warning, events.end());
  EXPECT_EQ(warning->level, kivo::log::Level::kWarn);
  EXPECT_TRUE(warning->field("error").has_value());
  EXPECT_EQ(install.writer->enqueue(file_data(2, 16), std::nullopt).error().kind(),
            KivoError::Kind::kNotConnected);
}

TEST_F(BulkWriterTest, WriterEndsOnceItsProducerIsGone) {
  install.writer.reset();
  install.writer_thread.join();
}

TEST(BulkEnqueueTest, RefusesWithoutAnInstalledSocketOrAnEncodableFrame) {
  const auto missing = enqueue_bulk_frame(nullptr, file_data(1, 16), std::nullopt);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "invalid message: agent bulk fd is not installed");

  testing::SocketPair pair;
  std::atomic<bool> stop{false};
  auto installed = install_bulk_socket(std::move(pair.agent), stop, MonotonicClock::system());
  ASSERT_TRUE(installed);
  const auto too_large = enqueue_bulk_frame(
      installed->writer.get(), file_data(1, protocol::kMaxBulkBodyLength), std::nullopt);
  ASSERT_FALSE(too_large);
  EXPECT_EQ(too_large.error().kind(), KivoError::Kind::kInvalidMessage);
  EXPECT_THAT(too_large.error().text(), ::testing::StartsWith("payload too large"));

  stop = true;
  installed->writer_thread.join();
}

TEST(BulkPacketIdsTest, StartsAtOneAndCounts) {
  BulkPacketIds ids;
  EXPECT_EQ(ids.next(), 1u);
  EXPECT_EQ(ids.next(), 2u);
}

}  // namespace
}  // namespace kivo::agent
