#include "kivo/x11/x11_screen_source.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kivo/capture/capture_stream.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace kivo::x11 {
namespace {

using namespace std::chrono_literals;
using capture::FrameStatus;
using testing::XvfbServer;

constexpr auto kEventTimeout = 10s;

struct XcbDisconnect {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

// A client of the test's own, to draw and to make windows.
class Painter {
 public:
  explicit Painter(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_.get())).data;
    gc_ = xcb_generate_id(c_.get());
    xcb_create_gc(c_.get(), gc_, screen_->root, 0, nullptr);
  }

  bool ok() const { return xcb_connection_has_error(c_.get()) == 0; }
  xcb_window_t root() const { return screen_->root; }

  // Fills a rectangle of `drawable` with a 0xRRGGBB colour and waits until
  // the server has done it.
  void fill(xcb_drawable_t drawable, std::uint32_t rgb, std::int16_t x, std::int16_t y,
            std::uint16_t width, std::uint16_t height) {
    xcb_change_gc(c_.get(), gc_, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{x, y, width, height};
    xcb_poly_fill_rectangle(c_.get(), drawable, gc_, 1, &rect);
    sync();
  }

  // A mapped top-level window listed as an EWMH client.
  xcb_window_t client_window(std::int16_t x, std::int16_t y, std::uint16_t width,
                             std::uint16_t height, const std::string& title, std::uint32_t pid) {
    const xcb_window_t window = xcb_generate_id(c_.get());
    const std::uint32_t values[] = {0x000000ff, 1};
    xcb_create_window(c_.get(), XCB_COPY_FROM_PARENT, window, screen_->root, x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    set_property(window, "_NET_WM_NAME", atom("UTF8_STRING"), 8,
                 static_cast<std::uint32_t>(title.size()), title.data());
    set_property(window, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, 1, &pid);
    xcb_map_window(c_.get(), window);
    set_property(screen_->root, "_NET_CLIENT_LIST", XCB_ATOM_WINDOW, 32, 1, &window);
    sync();
    return window;
  }

  void sync() {
    std::free(xcb_get_input_focus_reply(c_.get(), xcb_get_input_focus(c_.get()), nullptr));
  }

 private:
  xcb_atom_t atom(const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c_.get(), xcb_intern_atom(c_.get(), 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr);
    const xcb_atom_t value = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return value;
  }

  void set_property(xcb_window_t window, const char* name, xcb_atom_t type, std::uint8_t format,
                    std::uint32_t count, const void* data) {
    xcb_change_property(c_.get(), XCB_PROP_MODE_REPLACE, window, atom(name), type, format, count,
                        data);
  }

  std::unique_ptr<xcb_connection_t, XcbDisconnect> c_;
  xcb_screen_t* screen_ = nullptr;
  xcb_gcontext_t gc_ = 0;
};

struct Frame {
  std::int64_t status = -1;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::optional<protocol::Rect> screen_rect;
  const std::uint8_t* data = nullptr;
  std::uint32_t centre_bgr = 0;  // the pixel in the middle, 0xRRGGBB
  std::chrono::steady_clock::time_point display_time;
};

// Records what a stream delivers; tests wait on it.
class Recorder final : public capture::StreamOutput {
 public:
  void on_screen_sample(capture::ScreenSample sample) override {
    Frame frame;
    frame.status = sample.attachments.status.value_or(-1);
    frame.screen_rect = sample.attachments.screen_rect;
    frame.display_time = sample.display_time;
    if (sample.image) {
      const capture::PixelBuffer& image = *sample.image;
      frame.width = image.width();
      frame.height = image.height();
      frame.data = image.data();
      const std::uint8_t* pixel = image.row(image.height() / 2).data() + image.width() / 2 * 4;
      frame.centre_bgr = static_cast<std::uint32_t>(pixel[2] << 16 | pixel[1] << 8 | pixel[0]);
    }
    std::lock_guard guard(mutex_);
    frames_.push_back(frame);
    cv_.notify_all();
  }
  void on_audio_sample(capture::AudioSample) override { ++audio_samples_; }
  void on_stopped_with_error(capture::StreamError error) override {
    std::lock_guard guard(mutex_);
    stopped_ = error;
    cv_.notify_all();
  }

  // Waits until `ready(frames)`; false after the time-out.
  bool wait_for(const std::function<bool(const std::vector<Frame>&)>& ready) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kEventTimeout, [&] { return ready(frames_); });
  }
  std::optional<capture::StreamError> wait_for_stop() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, kEventTimeout, [&] { return stopped_.has_value(); });
    return stopped_;
  }
  std::vector<Frame> frames() {
    std::lock_guard guard(mutex_);
    return frames_;
  }
  int audio_samples() const { return audio_samples_.load(); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Frame> frames_;
  std::optional<capture::StreamError> stopped_;
  std::atomic<int> audio_samples_{0};
};

// Runs a completion-based call and waits for its result.
std::optional<capture::StreamError> complete(const std::function<void(capture::Completion)>& call) {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<std::optional<capture::StreamError>> result;
  call([&](std::optional<capture::StreamError> error) {
    std::lock_guard guard(mutex);
    result = std::move(error);
    cv.notify_all();
  });
  std::unique_lock lock(mutex);
  if (!cv.wait_for(lock, kEventTimeout, [&] { return result.has_value(); })) {
    return capture::StreamError{"test", -1, "completion timed out"};
  }
  return *result;
}

class X11ScreenSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(server_.start()) << server_.last_error();
    painter_.emplace(server_.display_name());
    ASSERT_TRUE(painter_->ok());
  }

  X11ScreenSource::Options options() const {
    return {.display_name = server_.display_name(), .idle_interval = 50ms};
  }

  capture::StreamConfiguration configuration(std::uint32_t fps) const {
    capture::StreamConfiguration config;
    config.width = 64;  // not the native size: the X11 stream ignores it
    config.height = 64;
    config.minimum_frame_interval = std::chrono::nanoseconds(1'000'000'000 / fps);
    return config;
  }

  std::unique_ptr<capture::ScreenStream> start(X11ScreenSource& source,
                                               const capture::ContentFilter& filter,
                                               std::shared_ptr<Recorder> recorder,
                                               std::uint32_t fps = 30) {
    auto stream = source.create_stream(filter, configuration(fps), std::move(recorder));
    EXPECT_TRUE(stream);
    if (!stream) return nullptr;
    EXPECT_TRUE((*stream)->add_output(capture::OutputType::kScreen));
    EXPECT_TRUE((*stream)->add_output(capture::OutputType::kAudio));
    const std::optional<capture::StreamError> started =
        complete([&](capture::Completion done) { (*stream)->start_capture(std::move(done)); });
    EXPECT_FALSE(started) << started->description;
    return std::move(*stream);
  }

  std::uint32_t main_display(X11ScreenSource& source) {
    const std::optional<std::uint32_t> id = source.main_display_id();
    EXPECT_TRUE(id);
    return id.value_or(0);
  }

  static XvfbServer::Options server_options() {
    XvfbServer::Options options;
    options.screen = "1280x720x24";
    return options;
  }

  XvfbServer server_{server_options()};
  std::optional<Painter> painter_;
};

TEST_F(X11ScreenSourceTest, ListsTheDisplayAndTheClientWindows) {
  const xcb_window_t window = painter_->client_window(40, 30, 200, 100, "Kivo window", 4242);
  X11ScreenSource source(options());

  std::mutex mutex;
  std::condition_variable cv;
  std::shared_ptr<const capture::ShareableContent> content;
  bool done = false;
  source.get_shareable_content({}, [&](std::shared_ptr<const capture::ShareableContent> c,
                                       std::optional<capture::StreamError> error) {
    EXPECT_FALSE(error);
    std::lock_guard guard(mutex);
    content = std::move(c);
    done = true;
    cv.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, kEventTimeout, [&] { return done; }));
  }
  ASSERT_TRUE(content);
  ASSERT_FALSE(content->displays.empty());
  const capture::DisplayDescriptor& main = content->displays.front();
  EXPECT_EQ(main.id, main_display(source));
  EXPECT_EQ(main.width, 1280u);
  EXPECT_EQ(main.height, 720u);
  EXPECT_EQ(main.frame, (protocol::Rect{{0, 0}, {1280, 720}}));

  ASSERT_EQ(content->windows.size(), 1u);
  const capture::WindowDescriptor& listed = content->windows.front();
  EXPECT_EQ(listed.id, window);
  EXPECT_EQ(listed.title, "Kivo window");
  EXPECT_EQ(listed.owning_pid, 4242);
  EXPECT_EQ(listed.frame, (protocol::Rect{{40, 30}, {200, 100}}));
  EXPECT_TRUE(listed.on_screen);
}

TEST_F(X11ScreenSourceTest, DeliversTheDisplayAtItsNativeSizeAndMarksStillFramesIdle) {
  X11ScreenSource source(options());
  auto recorder = std::make_shared<Recorder>();
  auto stream = start(source, capture::ContentFilter::display(main_display(source)), recorder);
  ASSERT_TRUE(stream);

  // Nothing drawn: the first frame is complete, then the same image idles.
  ASSERT_TRUE(recorder->wait_for([](const std::vector<Frame>& f) { return f.size() >= 3; }));
  std::vector<Frame> frames = recorder->frames();
  EXPECT_EQ(frames[0].status, static_cast<std::int64_t>(FrameStatus::kComplete));
  EXPECT_EQ(frames[0].width, 1280u);
  EXPECT_EQ(frames[0].height, 720u);
  EXPECT_EQ(frames[0].screen_rect, (protocol::Rect{{0, 0}, {1280, 720}}));
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].status, static_cast<std::int64_t>(FrameStatus::kIdle)) << i;
    EXPECT_EQ(frames[i].data, frames[0].data) << "an idle frame sends the last image again";
  }

  // Drawing damages the screen: the next frame is complete and shows it.
  painter_->fill(painter_->root(), 0xff0000, 0, 0, 1280, 720);
  ASSERT_TRUE(recorder->wait_for([](const std::vector<Frame>& f) {
    return f.back().status == static_cast<std::int64_t>(FrameStatus::kComplete) &&
           f.back().centre_bgr == 0xff0000;
  }));
  EXPECT_FALSE(complete([&](capture::Completion done) { stream->stop_capture(std::move(done)); }));
  EXPECT_EQ(recorder->audio_samples(), 0);
}

TEST_F(X11ScreenSourceTest, KeepsTheMinimumFrameIntervalUnderConstantDamage) {
  X11ScreenSource source(options());
  auto recorder = std::make_shared<Recorder>();
  constexpr std::uint32_t kFps = 20;
  auto stream =
      start(source, capture::ContentFilter::display(main_display(source)), recorder, kFps);
  ASSERT_TRUE(stream);

  std::atomic<bool> drawing{true};
  std::thread painter([&, display = server_.display_name()] {
    Painter own(display);
    for (std::uint32_t colour = 1; drawing.load(); ++colour) {
      own.fill(own.root(), colour & 0xffffff, 0, 0, 64, 64);
    }
  });
  const bool enough = recorder->wait_for([](const std::vector<Frame>& f) { return f.size() >= 8; });
  drawing.store(false);
  painter.join();
  ASSERT_TRUE(enough);

  const std::vector<Frame> frames = recorder->frames();
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].status, static_cast<std::int64_t>(FrameStatus::kComplete)) << i;
    EXPECT_GE(frames[i].display_time - frames[i - 1].display_time,
              std::chrono::nanoseconds(1'000'000'000 / kFps))
        << "frame " << i;
  }
}

TEST_F(X11ScreenSourceTest, AConfigurationUpdateChangesTheRate) {
  X11ScreenSource source(options());
  auto recorder = std::make_shared<Recorder>();
  auto stream = start(source, capture::ContentFilter::display(main_display(source)), recorder, 120);
  ASSERT_TRUE(stream);
  EXPECT_FALSE(complete([&](capture::Completion done) {
    stream->update_configuration(configuration(5), std::move(done));
  }));
  EXPECT_FALSE(complete([&](capture::Completion done) { stream->stop_capture(std::move(done)); }));
  // A stopped stream refuses updates instead of dropping their completion.
  EXPECT_TRUE(complete([&](capture::Completion done) {
    stream->update_configuration(configuration(5), std::move(done));
  }));
}

TEST_F(X11ScreenSourceTest, CropsAWindowOutOfTheScreen) {
  const xcb_window_t window = painter_->client_window(100, 50, 300, 200, "Crop", 1);
  painter_->fill(window, 0x00ff00, 0, 0, 300, 200);
  X11ScreenSource source(options());
  auto recorder = std::make_shared<Recorder>();
  auto stream = start(source, capture::ContentFilter::window(window), recorder);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(recorder->wait_for([](const std::vector<Frame>& f) { return !f.empty(); }));
  const Frame first = recorder->frames().front();
  EXPECT_EQ(first.width, 300u);
  EXPECT_EQ(first.height, 200u);
  EXPECT_EQ(first.screen_rect, (protocol::Rect{{100, 50}, {300, 200}}));
  EXPECT_EQ(first.centre_bgr, 0x00ff00u);

  // Drawing into the window damages the screen too.
  painter_->fill(window, 0xffff00, 0, 0, 300, 200);
  EXPECT_TRUE(recorder->wait_for([](const std::vector<Frame>& f) {
    return f.back().status == static_cast<std::int64_t>(FrameStatus::kComplete) &&
           f.back().centre_bgr == 0xffff00;
  }));
}

TEST_F(X11ScreenSourceTest, ReportsTheStreamStoppedWhenTheServerGoesAway) {
  X11ScreenSource source(options());
  auto recorder = std::make_shared<Recorder>();
  auto stream = start(source, capture::ContentFilter::display(main_display(source)), recorder);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(recorder->wait_for([](const std::vector<Frame>& f) { return !f.empty(); }));

  server_.kill();
  const std::optional<capture::StreamError> stopped = recorder->wait_for_stop();
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->domain, "X11");
  EXPECT_TRUE(complete([&](capture::Completion done) { stream->stop_capture(std::move(done)); }))
      << "a stream that stopped by itself refuses the stop";
}

// The capture stream on the X11 source, as the capture worker runs it.
TEST_F(X11ScreenSourceTest, CaptureStreamRunsOnTheX11Source) {
  X11ScreenSource source(options());
  const capture::CaptureStreamCells cells{
      .running = std::make_shared<std::atomic<bool>>(true),
      .audio_enabled = std::make_shared<std::atomic<bool>>(false),
      .counters = std::make_shared<capture::CaptureCounters>(),
      .raw_frames = std::make_shared<capture::RawFrameQueue>(capture::kRawFrameQueueLimit),
      .raw_audio = std::make_shared<capture::RawAudioQueue>(capture::kRawAudioQueueLimit),
  };
  protocol::CaptureConfig config;
  config.width = 1280;
  config.height = 720;
  config.fps = 30;
  config.bitrate_kbps = 2'000;
  auto stream = capture::CaptureStream::setup(source, config, cells);
  ASSERT_TRUE(stream) << stream.error().display();
  std::optional<capture::RawFrame> frame;
  for (int turn = 0; turn < 200 && !frame; ++turn) frame = (*stream)->take_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->pixel_width, 1280u);
  EXPECT_EQ(frame->pixel_height, 720u);
  EXPECT_TRUE(frame->content_rect_valid);
  EXPECT_EQ(frame->content_rect, (protocol::Rect{{0, 0}, {1280, 720}}));

  server_.kill();
  for (int turn = 0; turn < 200 && cells.running->load(); ++turn) (void)(*stream)->take_frame();
  EXPECT_FALSE(cells.running->load());
  EXPECT_TRUE((*stream)->failed());
  ASSERT_TRUE(cells.counters->last_source_error());
  EXPECT_EQ(cells.counters->last_source_error()->domain, "X11");
  EXPECT_TRUE((*stream)->teardown());
}

TEST_F(X11ScreenSourceTest, AnUnreachableServerFailsTheStart) {
  server_.kill();
  X11ScreenSource source(options());
  EXPECT_FALSE(source.main_display_id());
  auto recorder = std::make_shared<Recorder>();
  auto stream =
      source.create_stream(capture::ContentFilter::display(0), configuration(30), recorder);
  ASSERT_TRUE(stream);
  const std::optional<capture::StreamError> started =
      complete([&](capture::Completion done) { (*stream)->start_capture(std::move(done)); });
  ASSERT_TRUE(started);
  EXPECT_EQ(started->domain, "X11");
}

}  // namespace
}  // namespace kivo::x11
