#include "kivo/xpc/agent_connection.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "kivo/core/log.hpp"
#include "kivo/testing/temp_dir.hpp"
#include "kivo/xpc/listener.hpp"
#include "kivo/xpc/message_kind.hpp"
#include "kivo/xpc/service_path.hpp"
#include "test_support.hpp"

namespace kivo::xpc {
namespace {

using kivo::testing::ScopedEnv;
using kivo::testing::TempDir;
using testing::make_socket_pair;

// Plays the service: listens under a temporary system root, accepts the
// agent, and records what the agent sends.
class ServiceLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_.path() / "run" / "kivo");
    Result<Listener> listener =
        Listener::bind(service_socket_path(root_.path(), kAgentServiceName));
    ASSERT_TRUE(listener) << listener.error().display();
    listener_.emplace(std::move(*listener));

    Result<AgentConnection> agent = AgentConnection::connect_privileged(kAgentServiceName);
    ASSERT_TRUE(agent) << agent.error().display();
    agent_.emplace(std::move(*agent));

    Result<UniqueFd> accepted = listener_->accept();
    ASSERT_TRUE(accepted);
    service_.emplace(Connection::adopt(std::move(*accepted)));
    service_->set_event_handler([this](Event event) { service_events_.push(std::move(event)); });
    service_->resume();

    agent_->start(inbound_, quitting_);
  }

  // Answers the agent's hello with `reply` once it arrives.
  void answer_hello_with(Message reply) {
    responder_ = std::thread([this, reply = std::move(reply)]() mutable {
      std::optional<Event> hello = service_events_.pop();
      if (!hello || !std::holds_alternative<WireMessage>(*hello)) return;
      EXPECT_TRUE(service_->send_reply(std::get<WireMessage>(*hello).message_id, std::move(reply)));
    });
  }

  void send_command(std::string_view payload, std::uint64_t kind = kKindCommand) {
    Message message;
    message.set_uint64(std::string(kKindKey), kind);
    message.set_data(std::string(kPayloadKey), payload);
    ASSERT_TRUE(service_->send(std::move(message)));
  }

  void TearDown() override {
    if (responder_.joinable()) responder_.join();
    // The connections' threads push into the queues below: stop them first.
    if (agent_) agent_->close();
    if (service_) service_->cancel();
  }

  TempDir root_;
  ScopedEnv root_env_{"KIVO_SYSTEM_ROOT", root_.path().c_str()};
  BoundedQueue<Event> service_events_{1024};
  std::shared_ptr<InboundQueue> inbound_ = std::make_shared<InboundQueue>(kInboundQueueCapacity);
  std::atomic<bool> quitting_{false};
  std::optional<Listener> listener_;
  std::optional<AgentConnection> agent_;
  std::optional<Connection> service_;
  std::thread responder_;
};

constexpr std::string_view kQueryStatus =
    R"({"request_id":7,"stamp":{"agent_generation":1,"capture_epoch":0},"message":{"type":"query_status"}})";
constexpr std::string_view kQuit =
    R"({"stamp":{"agent_generation":1,"capture_epoch":0},"message":{"type":"quit"}})";

TEST_F(ServiceLinkTest, AnAcceptedHelloHandsOverBothSockets) {
  auto [media_agent_end, media_service_end] = make_socket_pair();
  auto [bulk_agent_end, bulk_service_end] = make_socket_pair();
  Message reply;
  reply.set_uint64(std::string(kKindKey), kKindHelloAccepted);
  reply.set_uint64(std::string(kAgentGenerationKey), 42);
  reply.set_fd(std::string(kMediaFdKey), std::move(media_agent_end));
  reply.set_fd(std::string(kBulkFdKey), std::move(bulk_agent_end));
  answer_hello_with(std::move(reply));

  Result<HelloResult> hello = agent_->send_hello(true, std::nullopt, std::nullopt);
  ASSERT_TRUE(hello) << hello.error().display();
  EXPECT_EQ(hello->agent_generation, 42u);
  // The descriptors reach the service's other ends.
  ASSERT_EQ(::send(hello->media_fd.get(), "m", 1, MSG_NOSIGNAL), 1);
  char byte = 0;
  ASSERT_EQ(::recv(media_service_end.get(), &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'm');
  ASSERT_EQ(::send(hello->bulk_fd.get(), "b", 1, MSG_NOSIGNAL), 1);
  ASSERT_EQ(::recv(bulk_service_end.get(), &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'b');
}

// Waits (a few seconds at most) for the peer of `fd` to be closed everywhere.
bool sees_end_of_stream(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 5000) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

struct FailedHelloCase {
  const char* name;
  std::optional<std::uint64_t> kind;
  std::optional<std::uint64_t> generation;
  bool media;
  bool bulk;
  bool close_instead;
  const char* error;
};

class FailedHelloTest : public ServiceLinkTest,
                        public ::testing::WithParamInterface<FailedHelloCase> {};

TEST_P(FailedHelloTest, FailsAndClosesWhatItTook) {
  const FailedHelloCase& c = GetParam();
  auto [media_agent_end, media_service_end] = make_socket_pair();
  auto [bulk_agent_end, bulk_service_end] = make_socket_pair();
  if (c.close_instead) {
    responder_ = std::thread([this] {
      service_events_.pop();
      service_->cancel();
    });
  } else {
    Message reply;
    if (c.kind) reply.set_uint64(std::string(kKindKey), *c.kind);
    if (c.generation) reply.set_uint64(std::string(kAgentGenerationKey), *c.generation);
    if (c.media) reply.set_fd(std::string(kMediaFdKey), std::move(media_agent_end));
    if (c.bulk) reply.set_fd(std::string(kBulkFdKey), std::move(bulk_agent_end));
    answer_hello_with(std::move(reply));
  }
  media_agent_end.reset();
  bulk_agent_end.reset();

  Result<HelloResult> hello = agent_->send_hello(std::nullopt, std::nullopt, std::nullopt);
  ASSERT_FALSE(hello);
  EXPECT_EQ(hello.error().display(), std::string("invalid message: ") + c.error);
  responder_.join();
  // Every copy of the agent's ends is closed: the service's ends see the end
  // (the service's writer closes its own copies just after sending).
  EXPECT_TRUE(sees_end_of_stream(media_service_end.get()));
  EXPECT_TRUE(sees_end_of_stream(bulk_service_end.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FailedHelloTest,
    ::testing::Values(FailedHelloCase{"generation_zero", kKindHelloAccepted, 0, true, true, false,
                                      "agent hello reply missing generation"},
                      FailedHelloCase{"no_generation", kKindHelloAccepted, std::nullopt, true, true,
                                      false, "agent hello reply missing generation"},
                      FailedHelloCase{"no_media", kKindHelloAccepted, 5, false, true, false,
                                      "agent hello reply missing media fd"},
                      FailedHelloCase{"no_bulk", kKindHelloAccepted, 5, true, false, false,
                                      "agent hello reply missing bulk fd"},
                      FailedHelloCase{"rejected", kKindHelloRejected, std::nullopt, false, false,
                                      false, "service rejected agent hello"},
                      FailedHelloCase{"command_kind", kKindCommand, 5, true, true, false,
                                      "unexpected agent hello reply kind"},
                      FailedHelloCase{"no_kind", std::nullopt, 5, true, true, false,
                                      "unexpected agent hello reply kind"},
                      FailedHelloCase{"closed_before_reply", std::nullopt, std::nullopt, false,
                                      false, true, "agent hello reply was not a dictionary"}),
    [](const ::testing::TestParamInfo<FailedHelloCase>& param) { return param.param.name; });

TEST_F(ServiceLinkTest, HelloDocumentIsTheAgentsView) {
  Message reply;
  reply.set_uint64(std::string(kKindKey), kKindHelloRejected);
  responder_ = std::thread([this, reply = std::move(reply)]() mutable {
    std::optional<Event> hello = service_events_.pop();
    ASSERT_TRUE(hello && std::holds_alternative<WireMessage>(*hello));
    const Message& message = std::get<WireMessage>(*hello).message;
    EXPECT_EQ(message.uint64(kKindKey), kKindHello);
    auto payload = message.data(kPayloadKey);
    ASSERT_TRUE(payload);
    EXPECT_EQ(std::string(payload->begin(), payload->end()),
              R"({"session":{"on_console":true},"resume_quit_id":"q1","capabilities":)"
              R"(["recent_history_snapshot_v1","open_ui_connect_intent_v1",)"
              R"("display_thumbnail_bulk_v1"]})");
    EXPECT_TRUE(service_->send_reply(std::get<WireMessage>(*hello).message_id, std::move(reply)));
  });
  EXPECT_FALSE(agent_->send_hello(true, std::nullopt, "q1"));
}

TEST_F(ServiceLinkTest, BadAndForeignMessagesAreLoggedAndDropped) {
  log::ScopedCapture capture;
  send_command("", kKindCommand);
  {
    Message no_payload;
    no_payload.set_uint64(std::string(kKindKey), kKindCommand);
    ASSERT_TRUE(service_->send(std::move(no_payload)));
  }
  send_command(R"({"stamp":{"agent_generation":1,"capture_epoch":0},"message":{"type":"Quit"}})");
  for (std::uint64_t kind :
       {kKindHello, kKindHelloAccepted, kKindAgentDocument, kKindHelloRejected}) {
    send_command("{}", kind);
  }
  send_command(kQueryStatus);

  // Handled in order: the first item through is the good command.
  std::optional<ServiceInbound> first = inbound_->pop();
  ASSERT_TRUE(first && std::holds_alternative<InboundEnvelope>(*first));
  EXPECT_EQ(std::get<InboundEnvelope>(*first).envelope.request_id, 7u);

  std::vector<log::CapturedEvent> events = capture.events();
  std::vector<std::pair<std::string, std::string>> seen;
  for (const log::CapturedEvent& event : events) {
    if (event.target != "kivo_xpc") continue;
    EXPECT_EQ(event.level, log::Level::kWarn);
    std::string detail = event.field("error").value_or(event.field("kind").value_or(""));
    seen.emplace_back(event.message, detail);
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"failed to decode service envelope", "missing XPC payload"},
      {"failed to decode service envelope", "missing XPC payload"},
      {"failed to decode service envelope",
       "unknown variant `Quit`, expected one of `quit`, `lock_screen`, `start_capture`, "
       "`stop_capture`, `reconfigure`, `switch_to_window_capture`, `switch_to_monitor_capture`, "
       "`request_keyframe`, `set_audio_enabled`, `inject_input`, `reset_input`, `query_status`, "
       "`query_geometry`, `list_displays`, `capture_display_thumbnail`, `query_permission`, "
       "`request_screen_recording`, `request_accessibility`, `replace_routes`, `revoke_route`, "
       "`clipboard_command`, `file_command`, `audio_configure`, `list_alt_tab_windows`, "
       "`query_display_settings`, `set_physical_display_mode`, `set_target_bitrate`, "
       "`outbound_receipt`, `recent_history_snapshot`"},
      {"agent received unknown XPC message kind", "1"},
      {"agent received unknown XPC message kind", "4"},
      {"agent received unknown XPC message kind", "5"},
  };
  EXPECT_EQ(seen, expected);
}

TEST_F(ServiceLinkTest, QuitThenTheEndOfTheConnectionReportsQuitting) {
  send_command(kQuit);
  std::optional<ServiceInbound> quit = inbound_->pop();
  service_->cancel();
  ASSERT_TRUE(quit && std::holds_alternative<InboundEnvelope>(*quit));
  EXPECT_TRUE(
      std::holds_alternative<protocol::Quit>(std::get<InboundEnvelope>(*quit).envelope.message));
  std::optional<ServiceInbound> end = inbound_->pop();
  ASSERT_TRUE(end && std::holds_alternative<InboundTerminated>(*end));
  EXPECT_EQ(std::get<InboundTerminated>(*end).reason, "connection_invalid");
  EXPECT_TRUE(std::get<InboundTerminated>(*end).quitting);
}

TEST_F(ServiceLinkTest, TheEndWithoutQuitIsNotQuitting) {
  agent_->close();
  std::optional<ServiceInbound> end = inbound_->pop();
  ASSERT_TRUE(end && std::holds_alternative<InboundTerminated>(*end));
  EXPECT_FALSE(std::get<InboundTerminated>(*end).quitting);
}

TEST_F(ServiceLinkTest, ABusyCommandLoopLosesNoEnvelope) {
  constexpr std::uint64_t kCount = kInboundQueueCapacity + 1;
  for (std::uint64_t id = 1; id <= kCount; ++id) {
    send_command(fmt::format(
        R"({{"request_id":{},"stamp":{{"agent_generation":1,"capture_epoch":0}},"message":{{"type":"query_status"}}}})",
        id));
  }
  // The queue fills up; the last envelope waits in the handler meanwhile.
  while (inbound_->size() < kInboundQueueCapacity) std::this_thread::yield();
  for (std::uint64_t id = 1; id <= kCount; ++id) {
    std::optional<ServiceInbound> item = inbound_->pop();
    ASSERT_TRUE(item && std::holds_alternative<InboundEnvelope>(*item));
    EXPECT_EQ(std::get<InboundEnvelope>(*item).envelope.request_id, id);
  }
}

TEST_F(ServiceLinkTest, AgentDocumentsReachTheService) {
  AgentMessageSender sender = agent_->sender();
  ASSERT_TRUE(sender.send(9, protocol::AgentStamp{3, 4}, protocol::agent_msg::Stopped{}));
  std::optional<Event> event = service_events_.pop();
  ASSERT_TRUE(event && std::holds_alternative<WireMessage>(*event));
  const Message& message = std::get<WireMessage>(*event).message;
  EXPECT_EQ(message.uint64(kKindKey), kKindAgentDocument);
  auto payload = message.data(kPayloadKey);
  ASSERT_TRUE(payload);
  EXPECT_EQ(
      std::string(payload->begin(), payload->end()),
      R"({"request_id":9,"stamp":{"agent_generation":3,"capture_epoch":4},"message":{"type":"stopped"}})");
}

TEST(AgentConnectionTest, ANameWithNulFailsBeforeConnecting) {
  Result<AgentConnection> agent =
      AgentConnection::connect_privileged(std::string_view("com.kivo\0x", 10));
  ASSERT_FALSE(agent);
  EXPECT_EQ(agent.error().display(), "invalid message: mach service contains NUL");
}

TEST(AgentConnectionTest, NoServiceListening) {
  TempDir root;
  ScopedEnv env("KIVO_SYSTEM_ROOT", root.path().c_str());
  Result<AgentConnection> agent = AgentConnection::connect_privileged(kAgentServiceName);
  ASSERT_FALSE(agent);
  EXPECT_EQ(agent.error().display(),
            "invalid message: failed to create privileged XPC connection: No such file or "
            "directory (os error 2)");
}

}  // namespace
}  // namespace kivo::xpc
