// The supervisor on a real X server that comes, crashes and comes back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "graphics_supervisor.hpp"
#include "kivo/testing/xvfb_server.hpp"
#include "x11_window_server_probe_adapter.hpp"

namespace kivo::agent {
namespace {

using kivo::testing::XvfbServer;

// Polls in short steps, bounded: the supervisor publishes no change events.
template <class Predicate>
bool eventually(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool reaches(const GraphicsSupervisor& supervisor, GraphicsState state) {
  return eventually([&] { return supervisor.snapshot().state == state; });
}

TEST(X11GraphicsSupervisorTest, FollowsTheXServer) {
  if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
  XvfbServer server;
  ASSERT_TRUE(server.start()) << server.last_error();
  server.stop();  // the display number stays ours, with no server on it

  GraphicsSupervisor supervisor(make_x11_window_server_probe(server.display_name()));
  supervisor.start();
  ASSERT_TRUE(eventually([&] { return supervisor.snapshot().failure_count > 0; }));
  const GraphicsSnapshot before = supervisor.snapshot();
  EXPECT_EQ(before.state, GraphicsState::kNotReady);
  ASSERT_TRUE(before.failure_text);
  EXPECT_NE(before.failure_text->find(server.display_name()), std::string::npos);

  ASSERT_TRUE(server.start()) << server.last_error();
  ASSERT_TRUE(reaches(supervisor, GraphicsState::kReady));
  EXPECT_EQ(supervisor.snapshot().failure_text, std::nullopt);

  server.kill();
  ASSERT_TRUE(reaches(supervisor, GraphicsState::kLost));
  EXPECT_EQ(supervisor.loss_count(), 1U);

  ASSERT_TRUE(server.start()) << server.last_error();
  ASSERT_TRUE(reaches(supervisor, GraphicsState::kReady));
  EXPECT_EQ(supervisor.loss_count(), 1U);
  supervisor.stop();
}

}  // namespace
}  // namespace kivo::agent
