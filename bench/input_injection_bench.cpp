// Remote pointer motion through the real agent at 1000 events per second for
// five seconds: the stand-in sends "inject_input" moves along a path over a
// private X server, and a client of that server watches the pointer.
//
// Counters:
//   reply_p50_us / reply_p99_us   command sent to "input_accepted" decoded
//   arrival_p50_us / arrival_p99_us
//                                 command sent to the X server reporting the
//                                 pointer at that command's point (moves that
//                                 the worker merged into a later one never
//                                 arrive on their own and are not counted)
//   sent, accepted                every command, and those answered
//                                 "input_accepted"
//   posted, merged                the worker's posts during the run (the
//                                 agent's post-attempt counter), and the
//                                 accepted moves folded into another
//   last_position_exact           1 when the pointer ends at the last point
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "agent_session.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPatience = kivo::agent::e2e::kAgentPatience;
constexpr int kEventsPerSecond = 1000;
constexpr int kSeconds = 5;
constexpr int kEvents = kEventsPerSecond * kSeconds;
constexpr double kLeadingReleasePosts = 8;

struct Point {
  int x = 0;
  int y = 0;
  friend bool operator<(Point a, Point b) { return a.x != b.x ? a.x < b.x : a.y < b.y; }
  friend bool operator==(Point, Point) = default;
};

// A path over the 1280x720 screen that never repeats a point within a run.
Point point_of(int n) {
  return {40 + n % 1200, 40 + (n / 1200) * 100 + (n % 7)};
}

double percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
}

// The times the X server reported the pointer at each point, from motion
// events on the root window.
class PointerWatch {
 public:
  explicit PointerWatch(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr)) {
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    const std::uint32_t mask = XCB_EVENT_MASK_POINTER_MOTION;
    xcb_change_window_attributes(connection_, screen->root, XCB_CW_EVENT_MASK, &mask);
    root_ = screen->root;
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    thread_ = std::thread([this] { watch(); });
  }
  ~PointerWatch() {
    stop_ = true;
    // Wakes the waiting thread with an event of our own.
    xcb_client_message_event_t wake{};
    wake.response_type = XCB_CLIENT_MESSAGE;
    wake.format = 32;
    wake.window = root_;
    xcb_send_event(connection_, 0, root_, XCB_EVENT_MASK_POINTER_MOTION,
                   reinterpret_cast<const char*>(&wake));
    xcb_flush(connection_);
    thread_.join();
    xcb_disconnect(connection_);
  }
  PointerWatch(const PointerWatch&) = delete;
  PointerWatch& operator=(const PointerWatch&) = delete;

  std::optional<Clock::time_point> arrival(Point point) {
    std::lock_guard guard(mutex_);
    auto found = arrivals_.find(point);
    if (found == arrivals_.end()) return std::nullopt;
    return found->second;
  }

  Point current() {
    std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> reply(
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr),
        &std::free);
    return reply ? Point{reply->root_x, reply->root_y} : Point{-1, -1};
  }

 private:
  void watch() {
    while (!stop_) {
      xcb_generic_event_t* event = xcb_wait_for_event(connection_);
      if (event == nullptr) return;
      const Clock::time_point now = Clock::now();
      if ((event->response_type & 0x7F) == XCB_MOTION_NOTIFY) {
        const auto* motion = reinterpret_cast<xcb_motion_notify_event_t*>(event);
        std::lock_guard guard(mutex_);
        arrivals_.emplace(Point{motion->root_x, motion->root_y}, now);
      }
      std::free(event);
    }
  }

  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::map<Point, Clock::time_point> arrivals_;
  std::thread thread_;
};

void BM_InjectInputAt1000PerSecond(benchmark::State& state) {
  if (!kivo::testing::XvfbServer::available()) return state.SkipWithError("Xvfb is not installed");
  kivo::testing::XvfbServer xvfb;
  if (!xvfb.start()) return state.SkipWithError(xvfb.last_error().c_str());
  std::mutex replies_mutex;
  std::map<std::uint64_t, Clock::time_point> replied;
  std::atomic<std::uint64_t> accepted{0};
  kivo::agent::e2e::AgentSession session;
  const std::string failure =
      session.start({.display = xvfb.display_name(),
                     .environment = {"KIVO_LOG=kivo=info,kivo_input_diag=warn"},
                     .on_media_frame = {},
                     .on_document = [&](const kivo::standin::AgentDocument& document) {
                       if (!document.envelope || !document.envelope->request_id) return;
                       const Clock::time_point now = Clock::now();
                       if (document.type() == "input_accepted") accepted.fetch_add(1);
                       std::lock_guard guard(replies_mutex);
                       replied.emplace(*document.envelope->request_id, now);
                     }});
  if (!failure.empty()) return state.SkipWithError(failure.c_str());
  kivo::protocol::CaptureConfig config;
  config.width = 1280;
  config.height = 720;
  config.fps = 30;
  config.bitrate_kbps = 2000;
  if (!session.command(kivo::protocol::StartCapture{config})) {
    return state.SkipWithError("start_capture was not answered");
  }
  const std::optional<kivo::protocol::agent_msg::Status> status = session.await_input_ready();
  if (!status) return state.SkipWithError("the input worker did not start");
  const std::uint64_t posts_before = status->diagnostics->input_health.post_attempts;
  PointerWatch watch(xvfb.display_name());

  std::vector<std::pair<std::uint64_t, Clock::time_point>> sent;
  sent.reserve(kEvents);
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    for (int n = 0; n < kEvents; ++n) {
      std::this_thread::sleep_until(start + n * 1ms);
      const Point point = point_of(n);
      kivo::protocol::MouseEvent move;
      move.action = kivo::protocol::MouseAction::kMove;
      move.has_xy = true;
      move.x = point.x;
      move.y = point.y;
      const Clock::time_point now = Clock::now();
      auto id = session.service().send_numbered(
          kivo::protocol::InjectInput{.event = move,
                                      .geometry_epoch = status->geometry->epoch,
                                      .input_epoch = status->input_epoch});
      if (!id) return state.SkipWithError("the link ended");
      sent.emplace_back(*id, now);
    }
    if (!session.service().await_replies(kPatience)) return state.SkipWithError("replies missing");
  }
  // The last move has landed once the pointer is there or the wait ran out.
  const Point last = point_of(kEvents - 1);
  const Clock::time_point settle = Clock::now() + 2s;
  while (watch.current() != last && Clock::now() < settle) std::this_thread::sleep_for(1ms);
  const auto after = session.query_status();
  const std::uint64_t posts = after && after->diagnostics
                                  ? after->diagnostics->input_health.post_attempts - posts_before
                                  : 0;

  std::vector<double> reply_us;
  std::vector<double> arrival_us;
  {
    std::lock_guard guard(replies_mutex);
    for (std::size_t n = 0; n < sent.size(); ++n) {
      const auto [id, at] = sent[n];
      if (auto reply = replied.find(id); reply != replied.end()) {
        reply_us.push_back(std::chrono::duration<double, std::micro>(reply->second - at).count());
      }
      if (auto arrived = watch.arrival(point_of(static_cast<int>(n)))) {
        arrival_us.push_back(std::chrono::duration<double, std::micro>(*arrived - at).count());
      }
    }
  }
  state.counters["reply_p50_us"] = percentile(reply_us, 0.50);
  state.counters["reply_p99_us"] = percentile(reply_us, 0.99);
  state.counters["arrival_p50_us"] = percentile(arrival_us, 0.50);
  state.counters["arrival_p99_us"] = percentile(arrival_us, 0.99);
  state.counters["sent"] = static_cast<double>(sent.size());
  state.counters["accepted"] = static_cast<double>(accepted.load());
  state.counters["posted"] = static_cast<double>(posts);
  // The run's first move follows a stamp the worker has not seen, so the
  // queue puts a release of the eight modifier keys before it.
  state.counters["merged"] =
      static_cast<double>(accepted.load()) - (static_cast<double>(posts) - kLeadingReleasePosts);
  state.counters["arrived"] = static_cast<double>(arrival_us.size());
  state.counters["last_position_exact"] = watch.current() == last ? 1 : 0;

  (void)session.quit();
}
BENCHMARK(BM_InjectInputAt1000PerSecond)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
