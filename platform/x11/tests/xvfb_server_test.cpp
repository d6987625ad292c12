#include "kivo/testing/xvfb_server.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

namespace kivo {
namespace {

using testing::XvfbServer;

struct XcbDisconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

XcbConnection connect_to(const std::string& display) {
  return XcbConnection(xcb_connect(display.c_str(), nullptr));
}

bool has_extension(xcb_connection_t* connection, const std::string& name) {
  const xcb_query_extension_cookie_t cookie =
      xcb_query_extension(connection, static_cast<std::uint16_t>(name.size()), name.c_str());
  std::unique_ptr<xcb_query_extension_reply_t, decltype(&std::free)> reply(
      xcb_query_extension_reply(connection, cookie, nullptr), &std::free);
  return reply != nullptr && reply->present != 0;
}

class XvfbServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
  }
};

TEST_F(XvfbServerTest, AcceptsClientsWithTheCaptureExtensions) {
  XvfbServer server;
  ASSERT_TRUE(server.start()) << server.last_error();
  ASSERT_TRUE(server.display_number().has_value());
  EXPECT_EQ(server.display_name(), ":" + std::to_string(*server.display_number()));

  XcbConnection connection = connect_to(server.display_name());
  ASSERT_EQ(xcb_connection_has_error(connection.get()), 0);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(screen->width_in_pixels, 1280);
  EXPECT_EQ(screen->height_in_pixels, 720);
  EXPECT_EQ(screen->root_depth, 24);
  for (const char* name : {"MIT-SHM", "DAMAGE", "RANDR", "XTEST", "XFIXES"}) {
    EXPECT_TRUE(has_extension(connection.get(), name)) << name;
  }
}

TEST_F(XvfbServerTest, TwoServersGetTwoDisplays) {
  XvfbServer first;
  XvfbServer second;
  ASSERT_TRUE(first.start()) << first.last_error();
  ASSERT_TRUE(second.start()) << second.last_error();
  EXPECT_NE(first.display_name(), second.display_name());
}

TEST_F(XvfbServerTest, KilledServerRestartsOnTheSameDisplay) {
  XvfbServer server;
  ASSERT_TRUE(server.start()) << server.last_error();
  const std::string display = server.display_name();
  XcbConnection before = connect_to(display);
  ASSERT_EQ(xcb_connection_has_error(before.get()), 0);

  server.kill();
  EXPECT_FALSE(server.running());
  // The client sees the server go: its next round trip fails.
  xcb_get_input_focus_reply_t* reply =
      xcb_get_input_focus_reply(before.get(), xcb_get_input_focus(before.get()), nullptr);
  EXPECT_EQ(reply, nullptr);
  std::free(reply);
  EXPECT_NE(xcb_connection_has_error(before.get()), 0);
  EXPECT_NE(xcb_connection_has_error(connect_to(display).get()), 0);

  ASSERT_TRUE(server.start()) << server.last_error();
  EXPECT_EQ(server.display_name(), display);
  EXPECT_EQ(xcb_connection_has_error(connect_to(display).get()), 0);
}

TEST_F(XvfbServerTest, StopAndDestructionReapTheServer) {
  pid_t stopped = -1;
  pid_t destroyed = -1;
  {
    XvfbServer server;
    ASSERT_TRUE(server.start()) << server.last_error();
    stopped = server.pid();
    server.stop();
    EXPECT_FALSE(server.running());
    ASSERT_TRUE(server.start()) << server.last_error();
    destroyed = server.pid();
  }
  // A reaped child no longer exists; a zombie would still answer signal 0.
  for (pid_t pid : {stopped, destroyed}) {
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1) << pid;
    EXPECT_EQ(errno, ESRCH) << pid;
  }
}

TEST_F(XvfbServerTest, KilledServerLeavesNoFilesBehind) {
  std::string number;
  {
    XvfbServer server;
    ASSERT_TRUE(server.start()) << server.last_error();
    number = std::to_string(*server.display_number());
    server.kill();
  }
  EXPECT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X" + number));
}

TEST_F(XvfbServerTest, StartingTwiceIsRefused) {
  XvfbServer server;
  ASSERT_TRUE(server.start()) << server.last_error();
  EXPECT_FALSE(server.start());
  EXPECT_EQ(server.last_error(), "the server is already running");
  EXPECT_TRUE(server.running());
}

}  // namespace
}  // namespace kivo
