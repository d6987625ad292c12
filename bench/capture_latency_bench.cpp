// Latency from a change on the screen to its video frame on the media socket,
// through the real agent: a private 1920x1080 X server with nothing else
// moving, the stand-in service, and kivo-agent capturing at 30 frames per
// second. Each iteration draws a fresh 256x256 patch of noise, waits until
// the X server has applied it, and times until the stand-in's media reader
// has decoded the first video frame large enough to carry it (an unchanged
// screen is re-sent about once a second as a frame of a few dozen bytes).
// Between iterations it waits a random part of a frame interval, so that
// changes land at every phase of the capture cadence.
//
// The counters p50_ms and p99_ms are the percentiles of the iteration times.
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "agent_session.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using kivo::protocol::MediaFrame;

constexpr auto kPatience = kivo::agent::e2e::kAgentPatience;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr std::uint16_t kPatch = 256;
// Larger than any frame of an unchanged screen, far smaller than a frame that
// carries a patch of noise.
constexpr std::size_t kChangedFrameBytes = 4096;

// Arrival times of the video frames that carry a change.
class Arrivals {
 public:
  void record(const MediaFrame& frame) {
    const auto* video = std::get_if<MediaFrame::Video>(&frame.value);
    if (video == nullptr || video->data.size() < kChangedFrameBytes) return;
    const Clock::time_point now = Clock::now();
    std::lock_guard guard(mutex_);
    times_.push_back(now);
    arrived_.notify_all();
  }

  void clear() {
    std::lock_guard guard(mutex_);
    times_.clear();
  }

  // The first arrival at or after `since`.
  std::optional<Clock::time_point> first_after(Clock::time_point since) {
    std::unique_lock lock(mutex_);
    std::optional<Clock::time_point> found;
    arrived_.wait_for(lock, kPatience, [&] {
      for (Clock::time_point time : times_) {
        if (time >= since) {
          found = time;
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Clock::time_point> times_;
};

// Draws patches of noise on the root window through a connection of its own.
class Painter {
 public:
  explicit Painter(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr)), pixels_(kPatch * kPatch) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
  }
  ~Painter() { xcb_disconnect(connection_); }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  bool ok() const { return xcb_connection_has_error(connection_) == 0 && screen_ != nullptr; }

  // Returns once the X server has applied the drawing.
  void paint(std::mt19937& random) {
    for (std::uint32_t& pixel : pixels_) pixel = random() & 0xFFFFFFu;
    const auto x = static_cast<std::int16_t>(random() % (kWidth - kPatch));
    const auto y = static_cast<std::int16_t>(random() % (kHeight - kPatch));
    xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, gc_, kPatch, kPatch, x, y,
                  0, screen_->root_depth, static_cast<std::uint32_t>(pixels_.size() * 4),
                  reinterpret_cast<const std::uint8_t*>(pixels_.data()));
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

 private:
  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_gcontext_t gc_ = 0;
  std::vector<std::uint32_t> pixels_;
};

void BM_ScreenChangeToMediaFrame(benchmark::State& state) {
  if (!kivo::testing::XvfbServer::available()) return state.SkipWithError("Xvfb is not installed");
  kivo::testing::XvfbServer xvfb({.screen = "1920x1080x24", .extra_arguments = {}});
  if (!xvfb.start()) return state.SkipWithError(xvfb.last_error().c_str());
  Arrivals arrivals;
  kivo::agent::e2e::AgentSession session;
  const std::string failure =
      session.start({.display = xvfb.display_name(),
                     .environment = {"KIVO_LOG=kivo=info"},
                     .on_media_frame = [&](const MediaFrame& frame) { arrivals.record(frame); },
                     .on_document = {}});
  if (!failure.empty()) return state.SkipWithError(failure.c_str());
  kivo::protocol::CaptureConfig config;
  config.width = kWidth;
  config.height = kHeight;
  config.fps = 30;
  config.bitrate_kbps = 8000;
  if (!session.command(kivo::protocol::StartCapture{config})) {
    return state.SkipWithError("start_capture was not answered");
  }
  Painter painter(xvfb.display_name());
  if (!painter.ok()) return state.SkipWithError("cannot draw on the X server");

  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> phase_ms(0, 33);
  std::vector<double> samples;
  // Lets the first key frame and the encoder's warm-up pass.
  painter.paint(random);
  std::this_thread::sleep_for(1s);
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40 + phase_ms(random)));
    arrivals.clear();
    painter.paint(random);
    const Clock::time_point changed = Clock::now();
    const std::optional<Clock::time_point> arrived = arrivals.first_after(changed);
    if (!arrived) return state.SkipWithError("no frame carried the change");
    const std::chrono::duration<double> latency = *arrived - changed;
    state.SetIterationTime(latency.count());
    samples.push_back(latency.count() * 1000);
  }
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
  };
  state.counters["p50_ms"] = at(0.50);
  state.counters["p99_ms"] = at(0.99);
  state.counters["max_ms"] = samples.back();

  (void)session.quit();
}
BENCHMARK(BM_ScreenChangeToMediaFrame)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
