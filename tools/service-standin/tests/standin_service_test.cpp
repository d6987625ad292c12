#include "kivo/standin/standin_service.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "kivo/testing/temp_dir.hpp"
#include "kivo/xpc/connection.hpp"
#include "kivo/xpc/message_kind.hpp"
#include "test_agent.hpp"

namespace kivo::standin {
namespace {

using namespace std::chrono_literals;
using kivo::testing::ScopedEnv;
using kivo::testing::TempDir;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::kPatience;
using testing::TestAgent;

bool write_bytes(int fd, const protocol::Bytes& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

protocol::Bytes read_bytes(int fd, std::size_t size) {
  protocol::Bytes bytes(size);
  const ssize_t n = ::recv(fd, bytes.data(), size, MSG_WAITALL);
  bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return bytes;
}

protocol::MediaFrame video_frame(std::uint64_t generation) {
  return protocol::MediaFrame{
      protocol::MediaFrame::Video{generation, 1, 1, 0, true, protocol::Bytes{0, 0, 0, 1, 0x65}}};
}

class StandinServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto service = StandinService::listen({.root = root_.path(), .generation = 7});
    ASSERT_TRUE(service) << service.error().display();
    service_ = std::move(*service);
    ASSERT_TRUE(agent_.connect());
    ASSERT_TRUE(service_->accept_agent(kPatience));
    auto hello = service_->await_hello(kPatience);
    ASSERT_TRUE(hello) << hello.error().display();
    hello_ = *hello;
  }

  void accept_hello() {
    ASSERT_TRUE(service_->accept_hello());
    ASSERT_TRUE(agent_.hello()) << agent_.hello().error().display();
  }

  TempDir root_;
  ScopedEnv root_env_{"KIVO_SYSTEM_ROOT", root_.path().c_str()};
  std::unique_ptr<StandinService> service_;
  protocol::HelloRequest hello_;
  TestAgent agent_;  // goes first: the service sees the agent leave
};

TEST_F(StandinServiceTest, AnAcceptedHelloHandsOverWorkingSockets) {
  EXPECT_EQ(hello_.session.on_console, true);
  EXPECT_EQ(hello_.capabilities.size(), protocol::kAgentCapabilities.size());
  accept_hello();
  xpc::HelloResult& hello = *agent_.hello();
  EXPECT_EQ(hello.agent_generation, 7u);
  // The listening socket is gone: one agent only.
  EXPECT_FALSE(std::filesystem::exists(service_->socket_path()));

  // The agent's media reaches the service...
  ASSERT_TRUE(write_bytes(hello.media_fd.get(), *protocol::encode_media_frame(video_frame(7))));
  auto video = service_->next_media_frame(kPatience);
  ASSERT_TRUE(video) << video.error().display();
  EXPECT_EQ(*video, video_frame(7));
  const protocol::BulkFrame clipboard{protocol::BulkFrame::ClipboardOutbound{3, 1, {1, 2, 3}}};
  ASSERT_TRUE(write_bytes(hello.bulk_fd.get(), *protocol::encode_bulk_frame(clipboard)));
  auto bulk = service_->next_bulk_frame(kPatience);
  ASSERT_TRUE(bulk) << bulk.error().display();
  EXPECT_EQ(*bulk, clipboard);

  // ...and the service's frames reach the agent.
  const protocol::MediaFrame playback{protocol::MediaFrame::Playback{3, 0, {9, 9}}};
  ASSERT_TRUE(service_->write_media_frame(playback, kPatience));
  const protocol::Bytes expected_playback = *protocol::encode_media_frame(playback);
  EXPECT_EQ(read_bytes(hello.media_fd.get(), expected_playback.size()), expected_playback);
  const protocol::BulkFrame chunk{protocol::BulkFrame::FileData{3, 0, "recv_1", 0, {4, 5}}};
  ASSERT_TRUE(service_->write_bulk_frame(chunk, kPatience));
  const protocol::Bytes expected_chunk = *protocol::encode_bulk_frame(chunk);
  EXPECT_EQ(read_bytes(hello.bulk_fd.get(), expected_chunk.size()), expected_chunk);

  EXPECT_THAT(service_->violations(), IsEmpty());
}

TEST_F(StandinServiceTest, ARefusedHelloFailsTheAgentsHello) {
  ASSERT_TRUE(service_->refuse_hello());
  ASSERT_FALSE(agent_.hello());
  EXPECT_EQ(agent_.hello().error().display(), "invalid message: service rejected agent hello");
  EXPECT_FALSE(service_->refuse_hello()) << "a hello is answered once";
}

TEST_F(StandinServiceTest, CommandsReachTheAgentStampedAndNumbered) {
  accept_hello();
  ASSERT_TRUE(service_->send_numbered(protocol::QueryStatus{}));
  auto status = agent_.next_command();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->request_id, 1u);
  EXPECT_EQ(status->stamp, (protocol::AgentStamp{7, 0}));
  EXPECT_TRUE(std::holds_alternative<protocol::QueryStatus>(status->message));

  const protocol::CaptureConfig config{1920, 1080, 30, 8000, std::nullopt, std::nullopt};
  ASSERT_TRUE(service_->send_numbered(protocol::StartCapture{config}));
  auto start = agent_.next_command();
  ASSERT_TRUE(start);
  EXPECT_EQ(start->request_id, 2u);
  EXPECT_EQ(start->stamp, (protocol::AgentStamp{7, 1}));
  EXPECT_EQ(start->message, protocol::ServiceToAgent(protocol::StartCapture{config}));

  // The agent takes the capture: the new epoch is the current one.
  ASSERT_TRUE(agent_.send(start->request_id, start->stamp, testing::stopped_status()));
  ASSERT_TRUE(service_->await_reply(2, kPatience));
  EXPECT_EQ(service_->capture_epoch(), 1u);
  ASSERT_TRUE(service_->send_command(protocol::QueryGeometry{}, std::nullopt));
  auto geometry = agent_.next_command();
  ASSERT_TRUE(geometry);
  EXPECT_FALSE(geometry->request_id);
  EXPECT_EQ(geometry->stamp, (protocol::AgentStamp{7, 1}));

  ASSERT_TRUE(agent_.send(status->request_id, status->stamp, testing::stopped_status()));
  EXPECT_TRUE(service_->await_replies(kPatience));
  EXPECT_THAT(service_->violations(), IsEmpty());
}

TEST_F(StandinServiceTest, AgentDocumentsArriveDecodedAndRaw) {
  accept_hello();
  const protocol::AgentMessage cursor = protocol::agent_msg::CursorState{"pointer"};
  ASSERT_TRUE(agent_.send(std::nullopt, {7, 0}, cursor));
  ASSERT_TRUE(agent_.send(std::nullopt, {7, 0}, protocol::agent_msg::CursorState{"text"}));

  std::size_t cursor_position = 0;
  auto first = service_->await_document("cursor_state", &cursor_position, kPatience);
  ASSERT_TRUE(first && first->envelope);
  EXPECT_EQ(first->raw, protocol::encode_agent_envelope(std::nullopt, {7, 0}, cursor));
  EXPECT_EQ(first->envelope->message, cursor);
  EXPECT_EQ(first->index, 0u);
  // The cursor moves on: the next wait finds the second document.
  auto second = service_->await_document("cursor_state", &cursor_position, kPatience);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->index, 1u);
  EXPECT_FALSE(service_->await_document("cursor_state", &cursor_position, 1ms));
  EXPECT_THAT(service_->violations(), IsEmpty());
}

TEST_F(StandinServiceTest, TheAgentLeavingEndsTheLink) {
  accept_hello();
  agent_.close();
  EXPECT_TRUE(service_->await_end(kPatience));
  EXPECT_FALSE(service_->closed_locally());
  EXPECT_FALSE(service_->next_media_frame(kPatience)) << "its socket has ended too";
}

// An agent that breaks the rules, written by hand on the raw link.
TEST(StandinServiceViolationTest, EveryFaultOfTheAgentIsReported) {
  TempDir root;
  auto service = StandinService::listen({.root = root.path(), .generation = 7});
  ASSERT_TRUE(service);
  auto link = xpc::Connection::connect((*service)->socket_path());
  ASSERT_TRUE(link);
  link->resume();
  ASSERT_TRUE((*service)->accept_agent(kPatience));

  const auto message = [](std::uint64_t kind, std::optional<std::string_view> payload) {
    xpc::Message m;
    m.set_uint64(std::string(xpc::kKindKey), kind);
    if (payload) m.set_data(std::string(xpc::kPayloadKey), *payload);
    return m;
  };
  std::thread service_side([&] {
    ASSERT_TRUE((*service)->await_hello(kPatience));
    ASSERT_TRUE((*service)->accept_hello());
  });
  auto reply = link->send_with_reply(message(xpc::kKindHello, R"({"session":{}})"));
  service_side.join();
  ASSERT_TRUE(reply && !reply->is_error());
  xpc::UniqueFd media = reply->message().dup_fd(xpc::kMediaFdKey);

  ASSERT_TRUE(link->send(message(xpc::kKindAgentDocument, "not json")));
  ASSERT_TRUE(link->send(message(xpc::kKindAgentDocument, std::nullopt)));
  ASSERT_TRUE(link->send(message(9, std::nullopt)));
  ASSERT_TRUE(link->send(
      message(xpc::kKindAgentDocument,
              protocol::encode_agent_envelope(41, {7, 0}, protocol::agent_msg::Stopped{}))));
  ASSERT_TRUE(write_bytes(media.get(), *protocol::encode_media_frame(video_frame(8))));
  ASSERT_TRUE(write_bytes(media.get(), *protocol::encode_media_frame(video_frame(8))));
  ASSERT_TRUE((*service)->next_media_frame(kPatience));
  ASSERT_TRUE((*service)->next_media_frame(kPatience));
  // A frame whose kind the format does not know ends the reading.
  ASSERT_TRUE(write_bytes(media.get(), protocol::Bytes{1, 0, 0, 0, 0x09}));
  std::size_t cursor = 0;
  ASSERT_TRUE((*service)->await_document("stopped", &cursor, kPatience));
  EXPECT_FALSE((*service)->next_media_frame(kPatience));

  const std::vector<std::string> violations = (*service)->violations();
  EXPECT_THAT(violations,
              Contains(AllOf(HasSubstr("a document that does not decode"), HasSubstr("not json"))));
  EXPECT_THAT(violations, Contains("an agent document with missing XPC payload"));
  EXPECT_THAT(violations, Contains("a message of kind 9 from the agent"));
  EXPECT_THAT(violations, Contains(HasSubstr("request_id 41, which no command had")));
  EXPECT_THAT(violations, Contains(HasSubstr("invalid message type: 0x09")));
  // Told once, however many frames carry it.
  EXPECT_EQ(std::count(violations.begin(), violations.end(),
                       "video frames stamped with agent generation 8, not 7"),
            1);
  EXPECT_EQ(violations.size(), 6u);
}

TEST(StandinServiceWaitTest, WaitsEndOnTimeOutAndOnInterrupt) {
  TempDir root;
  auto service = StandinService::listen({.root = root.path()});
  ASSERT_TRUE(service);
  auto nobody = (*service)->accept_agent(5ms);
  ASSERT_FALSE(nobody);
  EXPECT_EQ(nobody.error().display(), "io error: no agent connected within 5 ms");

  auto other = StandinService::listen({.root = root.path()});
  ASSERT_TRUE(other);
  std::thread interrupter([&] { (*other)->interrupt(); });
  // Whether the interrupt comes before or during the wait, it ends it.
  EXPECT_FALSE((*other)->accept_agent(kPatience * 100));
  interrupter.join();
  EXPECT_FALSE((*other)->await_end(kPatience * 100));
}

}  // namespace
}  // namespace kivo::standin
