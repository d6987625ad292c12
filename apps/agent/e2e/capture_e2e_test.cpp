// The real kivo-agent capturing a private X server for the stand-in service:
// "start_capture" answers with a running status and a geometry, the media
// socket carries H.264 that decodes at the display's size, "stop_capture"
// ends the frames and a second start numbers its frames from 0 again.
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_session.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace kivo::agent::e2e {
namespace {

using namespace std::chrono_literals;
using protocol::MediaFrame;
using ::testing::HasSubstr;

constexpr auto kWait = kAgentPatience;

// Keeps the screen changing: a square moves over the root window, so the
// capture has new content for every frame.
class ScreenPainter {
 public:
  explicit ScreenPainter(const std::string& display) {
    thread_ = std::thread([this, display] { paint(display); });
  }
  ~ScreenPainter() {
    stop_ = true;
    thread_.join();
  }
  ScreenPainter(const ScreenPainter&) = delete;
  ScreenPainter& operator=(const ScreenPainter&) = delete;

 private:
  void paint(const std::string& display) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection) != 0) {
      xcb_disconnect(connection);
      return;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_gcontext_t gc = xcb_generate_id(connection);
    std::uint32_t colour = screen->white_pixel;
    xcb_create_gc(connection, gc, screen->root, XCB_GC_FOREGROUND, &colour);
    for (std::uint32_t step = 0; !stop_; ++step) {
      colour = (step * 0x3F1A7u) & 0xFFFFFFu;
      xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &colour);
      const xcb_rectangle_t square{static_cast<std::int16_t>((step * 13) % 1100),
                                   static_cast<std::int16_t>((step * 7) % 560), 160, 160};
      xcb_poly_fill_rectangle(connection, screen->root, gc, 1, &square);
      xcb_flush(connection);
      std::this_thread::sleep_for(15ms);
    }
    xcb_disconnect(connection);
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class CaptureE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kivo::testing::XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(xvfb_.start()) << xvfb_.last_error();
    painter_.emplace(xvfb_.display_name());
    const std::string failure =
        session_.start({.display = xvfb_.display_name(),
                        .environment = {},
                        .on_media_frame = [this](const MediaFrame& frame) { on_media(frame); },
                        .on_document = {}});
    ASSERT_EQ(failure, "");
  }

  void TearDown() override {
    if (session_.running()) {
      EXPECT_EQ(session_.quit(), 0) << session_.agent().standard_error();
      EXPECT_TRUE(session_.service().violations().empty());
    }
  }

  void on_media(const MediaFrame& frame) {
    if (const auto* video = std::get_if<MediaFrame::Video>(&frame.value)) {
      std::lock_guard guard(mutex_);
      videos_.push_back(*video);
      arrived_.notify_all();
    }
  }

  // The video frames of `capture_epoch`, once there are at least `count`.
  std::vector<MediaFrame::Video> frames_of(std::uint64_t capture_epoch, std::size_t count) {
    std::unique_lock lock(mutex_);
    std::vector<MediaFrame::Video> selected;
    arrived_.wait_for(lock, kWait, [&] {
      selected.clear();
      for (const auto& video : videos_) {
        if (video.capture_epoch == capture_epoch) selected.push_back(video);
      }
      return selected.size() >= count;
    });
    return selected;
  }

  std::size_t frame_count() {
    std::lock_guard guard(mutex_);
    return videos_.size();
  }

  // Starts a capture of the whole display; its capture epoch.
  std::uint64_t start_capture() {
    protocol::CaptureConfig config;
    config.width = 640;
    config.height = 480;
    config.fps = 30;
    config.bitrate_kbps = 4000;
    auto reply = session_.command(protocol::StartCapture{config});
    EXPECT_TRUE(reply);
    if (!reply) return 0;
    EXPECT_THAT(reply->raw,
                HasSubstr(R"("status":{"running":true,"backend":"screencapturekit_videotoolbox",)"
                          R"("message_key":"capture.running"})"));
    EXPECT_THAT(reply->raw, HasSubstr(R"("surface_size_px":{"width":1280.0,"height":720.0})"));
    return session_.service().capture_epoch();
  }

  static bool has_nal(const protocol::Bytes& data, std::uint8_t type) {
    for (std::size_t i = 0; i + 4 < data.size(); ++i) {
      if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1 &&
          (data[i + 4] & 0x1F) == type) {
        return true;
      }
    }
    return false;
  }

  // ffprobe's "key=value" lines for the stream in `path`; empty without
  // ffprobe.
  static std::string probe(const std::filesystem::path& path) {
    const std::string command = fmt::format(
        "ffprobe -v error -select_streams v:0 -show_entries "
        "stream=codec_name,profile,width,height,has_b_frames -of default=nw=1 '{}' 2>&1",
        path.string());
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::pclose(pipe);
    return output;
  }

  kivo::testing::XvfbServer xvfb_;
  std::optional<ScreenPainter> painter_;
  AgentSession session_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<MediaFrame::Video> videos_;
};

TEST_F(CaptureE2eTest, TheScreenArrivesAsH264AndEachCaptureNumbersItsFramesFromZero) {
  const std::uint64_t first_epoch = start_capture();
  ASSERT_NE(first_epoch, 0u);
  const auto first = frames_of(first_epoch, 30);
  ASSERT_GE(first.size(), 30u);
  EXPECT_TRUE(first.front().keyframe);
  EXPECT_TRUE(has_nal(first.front().data, 7));  // SPS
  EXPECT_TRUE(has_nal(first.front().data, 8));  // PPS
  EXPECT_TRUE(has_nal(first.front().data, 5));  // IDR slice
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].sequence, i);
    EXPECT_EQ(first[i].agent_generation, 1u);
  }

  auto stopped = session_.command(protocol::StopCapture{first_epoch});
  ASSERT_TRUE(stopped);
  EXPECT_THAT(stopped->raw, HasSubstr(R"("status":{"running":false,)"));
  // The writers are joined before the reply: whatever of the first capture
  // is still to come was on the socket already.
  const std::size_t after_stop = frames_of(first_epoch, 0).size();

  const std::uint64_t second_epoch = start_capture();
  ASSERT_NE(second_epoch, first_epoch);
  const auto second = frames_of(second_epoch, 2);
  ASSERT_GE(second.size(), 2u);
  EXPECT_EQ(second[0].sequence, 0u);
  EXPECT_TRUE(second[0].keyframe);
  EXPECT_EQ(second[1].sequence, 1u);
  EXPECT_EQ(frames_of(first_epoch, 0).size(), after_stop);

  // A start while a capture runs replaces it.
  const std::uint64_t third_epoch = start_capture();
  ASSERT_NE(third_epoch, second_epoch);
  const auto third = frames_of(third_epoch, 2);
  ASSERT_GE(third.size(), 2u);
  EXPECT_EQ(third[0].sequence, 0u);
  EXPECT_TRUE(third[0].keyframe);

  // The first capture's stream, as the service would pass it on.
  const std::filesystem::path stream = session_.root() / "first.h264";
  {
    std::ofstream out(stream, std::ios::binary);
    for (const auto& video : frames_of(first_epoch, 0)) {
      out.write(reinterpret_cast<const char*>(video.data.data()),
                static_cast<std::streamsize>(video.data.size()));
    }
  }
  if (std::system("command -v ffprobe >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ffprobe is not installed";
  }
  const std::string probed = probe(stream);
  EXPECT_THAT(probed, HasSubstr("codec_name=h264"));
  EXPECT_THAT(probed, HasSubstr("profile=High"));
  EXPECT_THAT(probed, HasSubstr("width=1280"));
  EXPECT_THAT(probed, HasSubstr("height=720"));
  EXPECT_THAT(probed, HasSubstr("has_b_frames=0"));
}

}  // namespace
}  // namespace kivo::agent::e2e
