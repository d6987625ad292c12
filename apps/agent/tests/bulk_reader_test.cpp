#include "bulk_reader.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/core/log.hpp"
#include "kivo/protocol/agent_error.hpp"
#include "outbound_receipt.hpp"
#include "socket_test_support.hpp"

namespace kivo::agent {
namespace {

using protocol::AgentMessage;
using protocol::BulkFrame;
using ::testing::ElementsAre;
using testing::filled;

class NoCleanup : public RouteCleanupHooks {
 public:
  void restore_physical_display_mode(std::string_view) override {}
  void end_status_connections(std::uint64_t, std::uint64_t) override {}
  void clear_clipboard_peer(const std::string&, std::uint64_t) override {}
  void cancel_file_peer(const std::string&, std::uint64_t) override {}
  void reset_audio_route(const std::string&, std::uint64_t) override {}
  void forget_file_route(std::uint64_t) override {}
  void forget_clipboard_route(std::uint64_t) override {}
  void revoke_file_clipboard_intents(std::uint64_t) override {}
  Result<void> enable_audio_playback(const PlaybackRoute&) override { return ok(); }
};

RouteWire route(std::uint64_t id, std::string role, std::uint64_t generation) {
  RouteWire r;
  r.route_id = id;
  r.peer_id = fmt::format("peer-{}", id);
  r.connection_generation = generation;
  r.role = std::move(role);
  return r;
}

AgentMessage event(std::string name) {
  return protocol::agent_msg::FileEvent{
      .route_id = 0, .event_type = std::move(name), .payload = {}};
}

AgentMessage error_message(const KivoError& error) {
  return protocol::agent_msg::Error{protocol::agent_error_from(error)};
}

// The AgentState side: routes 1 (controller), 2 (viewer), 3 (host without a
// connection); records every hand-off and answers with one event naming it.
class RecordingConsumer : public BulkFrameConsumer {
 public:
  RecordingConsumer() {
    NoCleanup hooks;
    (void)table.replace_routes(
        1, {route(1, "controller", 5), route(2, "viewer", 5), route(3, "host", 0)}, hooks);
  }

  const RouteTable& routes() const override { return table; }
  protocol::AgentStamp current_stamp() const override { return {7, 3}; }
  std::filesystem::path received_root() const override { return "/recv"; }

  Result<AgentMessages> receive_file_data(std::uint64_t route_id, const AuthorizedRoute& lease,
                                          std::string task_id, std::uint32_t chunk_index,
                                          protocol::Bytes data) override {
    return answer(fmt::format("file_data {} {} {} {} {} {} {}", route_id, lease.peer_id,
                              lease.lease, lease.received_root.string(), task_id, chunk_index,
                              data.size()));
  }
  Result<AgentMessages> receive_file_ack(std::uint64_t route_id, const AuthorizedRoute& lease,
                                         const protocol::Bytes& payload) override {
    return answer(fmt::format("file_ack {} {} {}", route_id, lease.peer_id, payload.size()));
  }
  Result<AgentMessages> receive_clipboard_packet(std::uint64_t route_id,
                                                 const ClipboardRouteView& lease,
                                                 protocol::Bytes packet) override {
    return answer(fmt::format("clipboard {} {} current={} {}", route_id, lease.peer_id,
                              lease.route_current, packet.size()));
  }

  RouteTable table;
  std::vector<std::string> calls;
  std::optional<KivoError> failure;
  std::size_t documents_per_frame = 1;

 private:
  Result<AgentMessages> answer(std::string call) {
    calls.push_back(call);
    if (failure) return fail(*failure);
    return AgentMessages(documents_per_frame, event(call));
  }
};

// ---- One frame under the lock ------------------------------------------------

struct FrameCase {
  const char* name;
  BulkFrame frame;
  std::vector<std::string> calls;  // the hand-off, if any
  std::optional<KivoError> refusal;
};

class BulkFrameHandlingTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(BulkFrameHandlingTest, ChecksTheRouteAndHandsOnOrRefusesWithOneError) {
  const FrameCase& c = GetParam();
  RecordingConsumer consumer;
  const AgentMessages documents = handle_bulk_frame(c.frame, consumer);
  EXPECT_EQ(consumer.calls, c.calls);
  if (c.refusal) {
    EXPECT_THAT(documents, ElementsAre(error_message(*c.refusal)));
  } else {
    ASSERT_EQ(c.calls.size(), 1u);
    EXPECT_THAT(documents, ElementsAre(event(c.calls[0])));
  }
}

BulkFrame file_data(std::uint64_t route_id) {
  return BulkFrame{BulkFrame::FileData{.route_id = route_id,
                                       .packet_id = 0,
                                       .task_id = "recv_1",
                                       .chunk_index = 4,
                                       .data = filled(9, 0)}};
}
BulkFrame file_ack(std::uint64_t route_id) {
  return BulkFrame{BulkFrame::FileAck{.route_id = route_id, .payload = filled(12, 0)}};
}
BulkFrame clipboard(std::uint64_t route_id) {
  return BulkFrame{BulkFrame::Clipboard{.route_id = route_id, .packet = filled(5, 0)}};
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BulkFrameHandlingTest,
    ::testing::Values(
        FrameCase{
            "FileData", file_data(1), {"file_data 1 peer-1 5 /recv recv_1 4 9"}, std::nullopt},
        FrameCase{
            "FileDataUnknownRoute", file_data(9), {}, KivoError::permission_denied("agent.route")},
        FrameCase{"FileDataWithoutLease",
                  file_data(2),
                  {},
                  KivoError::permission_denied("file.authorized_route_lease")},
        FrameCase{"FileAck", file_ack(1), {"file_ack 1 peer-1 12"}, std::nullopt},
        FrameCase{"FileAckWithoutConnection",
                  file_ack(3),
                  {},
                  KivoError::permission_denied("file.authorized_route_lease")},
        FrameCase{"Clipboard", clipboard(1), {"clipboard 1 peer-1 current=true 5"}, std::nullopt},
        FrameCase{"ClipboardWithoutLease",
                  clipboard(2),
                  {},
                  KivoError::permission_denied("clipboard.authorized_route_lease")},
        FrameCase{
            "ClipboardOutboundFromService",
            BulkFrame{BulkFrame::ClipboardOutbound{.route_id = 1, .packet_id = 1, .packet = {}}},
            {},
            KivoError::invalid_message("service must not send ClipboardOutbound to agent")},
        FrameCase{"DisplayThumbnailFromService",
                  BulkFrame{BulkFrame::DisplayThumbnail{
                      .request_id = 1,
                      .display_id = 1,
                      .index = 0,
                      .result = BulkFrame::ThumbnailFailure{.code = "thumbnail.empty"}}},
                  {},
                  KivoError::invalid_message("service must not send DisplayThumbnail to agent")}),
    [](const ::testing::TestParamInfo<FrameCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(BulkFrameHandlingTest, FailureOfTheFeatureBecomesOneError) {
  RecordingConsumer consumer;
  consumer.failure = KivoError::invalid_message(std::string(kFileAckKindRefusal));
  EXPECT_THAT(handle_bulk_frame(file_ack(1), consumer),
              ElementsAre(error_message(*consumer.failure)));
}

// ---- The reader thread's loop ------------------------------------------------

struct SentDocument {
  std::optional<std::uint64_t> request_id;
  protocol::AgentStamp stamp;
  AgentMessage message;
  bool lock_free;  // the AgentState lock was not held while sending
};

class RecordingSender : public DocumentSender {
 public:
  explicit RecordingSender(std::mutex& state_lock) : state_lock_(state_lock) {}
  Result<void> send(std::optional<std::uint64_t> request_id, const protocol::AgentStamp& stamp,
                    const AgentMessage& message) override {
    const bool lock_free = state_lock_.try_lock();
    if (lock_free) state_lock_.unlock();
    sent.push_back({request_id, stamp, message, lock_free});
    if (failing) return fail(KivoError::not_connected());
    return ok();
  }

  std::vector<SentDocument> sent;
  bool failing = false;

 private:
  std::mutex& state_lock_;
};

class RecordingReaderHooks : public BulkReaderHooks {
 public:
  void bulk_send_failed() override { ++send_failures; }
  void bulk_reader_ended() override { ++ends; }
  int send_failures = 0;
  int ends = 0;
};

class BulkReaderTest : public ::testing::Test {
 protected:
  void send(const BulkFrame& frame) {
    testing::write_all(pair.peer.get(), *protocol::encode_bulk_frame(frame));
  }

  void run() {
    run_bulk_reader(std::move(pair.agent),
                    BulkReaderContext{state_lock, consumer, sender, hooks, stop});
  }

  std::vector<std::string> warnings() const {
    std::vector<std::string> lines;
    for (const auto& e : capture.events()) {
      if (e.level == kivo::log::Level::kWarn) lines.push_back(e.message);
    }
    return lines;
  }

  testing::SocketPair pair;
  std::mutex state_lock;
  RecordingConsumer consumer;
  RecordingSender sender{state_lock};
  RecordingReaderHooks hooks;
  std::atomic<bool> stop{false};
  kivo::log::ScopedCapture capture;
};

TEST_F(BulkReaderTest, RefusedFrameCostsOneErrorAndTheNextFrameIsHandled) {
  send(BulkFrame{BulkFrame::ClipboardOutbound{.route_id = 1, .packet_id = 1, .packet = {}}});
  send(clipboard(1));
  testing::write_all(pair.peer.get(), {1, 0, 0, 0, 0x55});  // unknown kind ends the reader
  send(clipboard(1));
  run();

  ASSERT_EQ(sender.sent.size(), 2u);
  EXPECT_EQ(sender.sent[0].message, error_message(KivoError::invalid_message(
                                        "service must not send ClipboardOutbound to agent")));
  EXPECT_EQ(sender.sent[1].message, event("clipboard 1 peer-1 current=true 5"));
  for (const auto& document : sender.sent) {
    EXPECT_EQ(document.request_id, std::nullopt);
    EXPECT_EQ(document.stamp, (protocol::AgentStamp{7, 3}));
    EXPECT_TRUE(document.lock_free);
  }
  EXPECT_THAT(warnings(), ElementsAre("failed to decode bulk frame"));
  EXPECT_EQ(hooks.ends, 1);
  EXPECT_EQ(hooks.send_failures, 0);
}

TEST_F(BulkReaderTest, PeerClosingInsideAFrameEndsTheReaderSilently) {
  send(file_data(1));
  testing::write_all(pair.peer.get(), {40, 0, 0, 0, 0x11, 1, 0});
  pair.peer.reset();
  run();

  EXPECT_EQ(consumer.calls.size(), 1u);
  EXPECT_TRUE(warnings().empty());
  EXPECT_EQ(hooks.ends, 1);
}

TEST_F(BulkReaderTest, FailedSendDropsTheRestAndAsksForShutdown) {
  consumer.documents_per_frame = 3;
  sender.failing = true;
  send(file_ack(1));
  send(file_ack(1));
  run();

  EXPECT_EQ(sender.sent.size(), 1u);
  EXPECT_EQ(consumer.calls.size(), 1u);  // the second frame is never read
  EXPECT_THAT(warnings(), ElementsAre("failed to send bulk-derived agent event over XPC"));
  EXPECT_EQ(hooks.send_failures, 1);
  EXPECT_EQ(hooks.ends, 1);
}

TEST_F(BulkReaderTest, StopFlagEndsTheReaderBeforeItHandlesAnotherFrame) {
  send(file_data(1));
  stop = true;
  run();
  EXPECT_TRUE(consumer.calls.empty());
  EXPECT_EQ(hooks.ends, 1);
}

// ---- Outbound receipts -------------------------------------------------------

class RecordingReceipts : public OutboundReceiptTables {
 public:
  bool file_knows = false;
  bool clipboard_knows = false;
  std::vector<std::string> calls;
  bool settle_file_receipt(const protocol::OutboundReceipt& receipt) override {
    calls.push_back(fmt::format("file {}", receipt.packet_id));
    return file_knows;
  }
  bool settle_clipboard_receipt(const protocol::OutboundReceipt& receipt) override {
    calls.push_back(fmt::format("clipboard {}", receipt.packet_id));
    return clipboard_knows;
  }
};

TEST(OutboundReceiptTest, SettlesWithTheFileSideFirstThenTheClipboard) {
  const protocol::OutboundReceipt receipt{.route_id = 1, .packet_id = 42, .accepted = true};
  RecordingReceipts file_side;
  file_side.file_knows = true;
  settle_outbound_receipt(receipt, file_side);
  EXPECT_THAT(file_side.calls, ElementsAre("file 42"));

  RecordingReceipts clipboard_side;
  clipboard_side.clipboard_knows = true;
  settle_outbound_receipt(receipt, clipboard_side);
  EXPECT_THAT(clipboard_side.calls, ElementsAre("file 42", "clipboard 42"));
}

}  // namespace
}  // namespace kivo::agent
