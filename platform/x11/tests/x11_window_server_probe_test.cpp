#include "kivo/x11/x11_window_server_probe.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>

#include "kivo/testing/temp_dir.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace kivo::x11 {
namespace {

using kivo::testing::ScopedEnv;
using kivo::testing::XvfbServer;

// Whether the descriptor turns readable within a bounded wait.
bool readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 5000) == 1;
}

class X11WindowServerProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    // A display number of our own that has no server until the test starts one.
    ASSERT_TRUE(server_.start()) << server_.last_error();
    server_.stop();
  }

  XvfbServer server_;
};

TEST_F(X11WindowServerProbeTest, FollowsTheServerThroughACrashAndARestart) {
  X11WindowServerProbe probe(server_.display_name());

  // No server yet.
  Expected<void, std::string> opened = probe.open();
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), "cannot connect to X display \"" + server_.display_name() +
                                "\": socket, pipe or stream error");
  EXPECT_EQ(probe.watch_fd(), -1);
  EXPECT_FALSE(probe.check_alive());

  // The server starts: the probe connects and stays quiet while it lives.
  ASSERT_TRUE(server_.start()) << server_.last_error();
  ASSERT_TRUE(probe.open()) << probe.open().error();
  ASSERT_GE(probe.watch_fd(), 0);
  EXPECT_TRUE(probe.check_alive());
  pollfd idle{probe.watch_fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&idle, 1, 0), 0);

  // The server crashes: the descriptor wakes the watcher and the probe says why.
  server_.kill();
  ASSERT_TRUE(readable(probe.watch_fd()));
  Expected<void, std::string> alive = probe.check_alive();
  ASSERT_FALSE(alive);
  EXPECT_EQ(alive.error(), "X connection lost: socket, pipe or stream error");

  // Restarted on the same display: a new probe connection works again.
  ASSERT_TRUE(server_.start()) << server_.last_error();
  ASSERT_TRUE(probe.open());
  EXPECT_TRUE(probe.check_alive());
  probe.close();
  EXPECT_EQ(probe.watch_fd(), -1);
  probe.close();
}

TEST_F(X11WindowServerProbeTest, TakesTheDisplayFromTheEnvironmentAtEachOpen) {
  ASSERT_TRUE(server_.start()) << server_.last_error();
  X11WindowServerProbe probe;
  {
    ScopedEnv display("DISPLAY", nullptr);
    Expected<void, std::string> opened = probe.open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), "no X display: DISPLAY is not set");
  }
  {
    ScopedEnv display("DISPLAY", "not a display");
    Expected<void, std::string> opened = probe.open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(),
              "cannot connect to X display \"not a display\": invalid display name");
  }
  ScopedEnv display("DISPLAY", server_.display_name().c_str());
  EXPECT_TRUE(probe.open());
  EXPECT_TRUE(probe.check_alive());
}

}  // namespace
}  // namespace kivo::x11
