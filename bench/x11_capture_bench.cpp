// The cost of one 1920x1080 screen capture on X11: one MIT-SHM GetImage of
// the root window into a pooled shared-memory buffer, as the X11 screen
// stream takes each frame.
//
// Runs on the display named by KIVO_BENCH_DISPLAY when set (the comparison
// script bench/x11_capture_vs_ffmpeg.sh does that), else on a private Xvfb of
// 1920x1080 started for the run.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

// The test helper library is header-only; the benchmarks do not link it.
#include "kivo/testing/xvfb_server.hpp"
#include "kivo/x11/x11_screen_source_grabber.hpp"

namespace {

// The display to capture, started on first use and kept for the process.
const std::string& bench_display() {
  static std::unique_ptr<kivo::testing::XvfbServer> server;
  static const std::string display = [] {
    if (const char* given = std::getenv("KIVO_BENCH_DISPLAY"); given != nullptr && *given != 0) {
      return std::string(given);
    }
    kivo::testing::XvfbServer::Options options;
    options.screen = "1920x1080x24";
    server = std::make_unique<kivo::testing::XvfbServer>(options);
    if (!server->start() || !server->display_number()) return std::string();
    // Built here rather than with display_name(): gcc 12 at -O3 sees a false
    // overlap (-Wrestrict) in that string concatenation once inlined.
    return fmt::format(":{}", *server->display_number());
  }();
  return display;
}

void BM_X11ShmCapture1080p(benchmark::State& state) {
  const std::string& display = bench_display();
  if (display.empty()) {
    state.SkipWithError("no X display: Xvfb did not start");
    return;
  }
  auto grabber = kivo::x11::X11ScreenGrabber::connect(display, 4);
  if (!grabber) {
    state.SkipWithError(grabber.error().display().c_str());
    return;
  }
  for (auto _ : state) {
    auto frame = (*grabber)->grab(0, 0, 1920, 1080);
    if (!frame || !*frame) {
      state.SkipWithError("grab failed");
      break;
    }
    benchmark::DoNotOptimize((*frame)->data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 4);
}
// The server does the copy in its own process: wall time is the cost.
BENCHMARK(BM_X11ShmCapture1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
