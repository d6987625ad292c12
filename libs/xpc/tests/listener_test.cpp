#include "kivo/xpc/listener.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "kivo/xpc/connection.hpp"
#include "kivo/xpc/service_path.hpp"
#include "test_support.hpp"

namespace kivo::xpc {
namespace {

namespace fs = std::filesystem;

class ServiceSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kivo-xpc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "run" / "kivo");
    ::setenv("KIVO_SYSTEM_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KIVO_SYSTEM_ROOT");
    fs::remove_all(root_);
  }

  fs::path root_;
};

TEST_F(ServiceSocketTest, SocketPathFollowsTheSystemRoot) {
  EXPECT_EQ(agent_service_socket_path(), root_ / "run/kivo/com.kivo.service.agent");
  ::setenv("KIVO_SYSTEM_ROOT", "", 1);
  EXPECT_EQ(agent_service_socket_path(), fs::path("/run/kivo/com.kivo.service.agent"));
  ::unsetenv("KIVO_SYSTEM_ROOT");
  EXPECT_EQ(agent_service_socket_path(), fs::path("/run/kivo/com.kivo.service.agent"));
}

TEST_F(ServiceSocketTest, AgentConnectsAndSpeaksWithTheListeningService) {
  auto listener = Listener::bind(agent_service_socket_path());
  ASSERT_TRUE(listener) << listener.error().display();

  auto agent = Connection::connect(agent_service_socket_path());
  ASSERT_TRUE(agent) << agent.error().display();
  auto accepted = listener->accept();
  ASSERT_TRUE(accepted);
  Connection service = Connection::adopt(std::move(*accepted));
  service.set_event_handler([sender = service.sender()](Event event) {
    if (auto* wire = std::get_if<WireMessage>(&event)) {
      Message reply;
      reply.set_uint64("kind", 5);
      EXPECT_TRUE(sender.send_reply(wire->message_id, std::move(reply)));
    }
  });
  service.resume();
  agent->resume();

  Message hello;
  hello.set_uint64("kind", 1);
  auto reply = agent->send_with_reply(std::move(hello));
  ASSERT_TRUE(reply);
  ASSERT_FALSE(reply->is_error());
  EXPECT_EQ(reply->message().uint64("kind"), 5u);
}

TEST_F(ServiceSocketTest, ConnectFailureCarriesTheOsError) {
  const auto agent = Connection::connect(agent_service_socket_path());
  ASSERT_FALSE(agent);
  EXPECT_EQ(agent.error().kind(), KivoError::Kind::kInvalidMessage);
  EXPECT_EQ(agent.error().text(),
            "failed to create privileged XPC connection: No such file or directory (os error 2)");

  const auto too_long = Connection::connect(root_ / std::string(200, 'x'));
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().text(),
            "failed to create privileged XPC connection: File name too long (os error 36)");
}

TEST_F(ServiceSocketTest, ListenerReplacesAStaleSocketButNoOtherFile) {
  const fs::path path = agent_service_socket_path();
  {
    auto first = Listener::bind(path);
    ASSERT_TRUE(first);
    EXPECT_TRUE(fs::is_socket(path));
  }
  EXPECT_FALSE(fs::exists(path)) << "the listener removes its socket file";

  {
    // What a service that crashed leaves behind: a socket file nobody listens on.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  ASSERT_TRUE(fs::is_socket(path));
  EXPECT_TRUE(Listener::bind(path));

  std::ofstream(path.string()) << "not a socket";
  const auto refused = Listener::bind(path);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().os_error(), EEXIST);
  EXPECT_TRUE(fs::is_regular_file(path));
}

// A peer that finds the path must get through: the path may not appear
// before the socket listens. The peer tries as fast as it can while the
// listener comes up, many times over.
TEST_F(ServiceSocketTest, PathAppearsOnlyOnceTheSocketListens) {
  const fs::path path = agent_service_socket_path();
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<bool> started{false};
    int refused = 0;
    std::thread peer([&] {
      started = true;
      for (;;) {
        auto connection = Connection::connect(path);
        if (connection) return;
        if (connection.error().text().find("os error 2)") == std::string::npos) {
          ++refused;
          return;
        }
      }
    });
    while (!started) std::this_thread::yield();
    auto listener = Listener::bind(path);
    ASSERT_TRUE(listener) << listener.error().display();
    peer.join();
    ASSERT_EQ(refused, 0) << "round " << round;
    ASSERT_TRUE(listener->accept());
  }
  // Nothing is left beside the path.
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 0);
}

TEST_F(ServiceSocketTest, StopWakesAWaitingAccept) {
  auto listener = Listener::bind(agent_service_socket_path());
  ASSERT_TRUE(listener);
  std::thread waiting([&] { EXPECT_FALSE(listener->accept()); });
  listener->stop();
  waiting.join();
}

}  // namespace
}  // namespace kivo::xpc
