// The graphics supervisor: one thread that keeps probing for the window
// server, watches the connection once it has one, and publishes whether the
// window server is usable (not ready, ready, lost), how often it failed and
// why. Input is refused while it is not ready; the status report shows it.
//
// Probing backs off 100 ms, 200 ms, 400 ms, 800 ms, then 1 s (from 200 ms
// after a loss). Before the first success every failed probe counts as a
// failure; after it, every loss counts once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

#include "graphics_snapshot.hpp"
#include "kivo/core/result.hpp"
#include "window_server_probe.hpp"

namespace kivo::agent {

inline constexpr std::string_view kGraphicsSupervisorThread = "kivo-agent-graphics-supervisor";

// The supervisor's sense of time, injectable so that tests move time instead
// of waiting for it. Every wait returns early, at once, after wake().
class SupervisorTimer {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~SupervisorTimer() = default;

  virtual time_point now() const = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
  // Returns when `fd` turns readable or hangs up, or after `timeout`. A
  // negative `fd` is only a sleep.
  virtual void wait_readable(int fd, std::chrono::milliseconds timeout) = 0;
  // Ends the current wait and every later one at once. Any thread.
  virtual void wake() = 0;

  // The steady clock; waits on the descriptor in slices of at most 50 ms.
  static std::shared_ptr<SupervisorTimer> system();
};

class GraphicsSupervisor {
 public:
  using Spawn = std::function<Result<std::thread>(std::string_view, std::function<void()>)>;

  struct Options {
    std::shared_ptr<SupervisorTimer> timer = SupervisorTimer::system();
    // How long stop() waits for the thread before it leaves it behind.
    std::chrono::milliseconds stop_timeout{500};
    // Starts the thread; spawn_named_thread unless a test replaces it.
    Spawn spawn;
  };

  explicit GraphicsSupervisor(std::unique_ptr<WindowServerProbe> probe);
  GraphicsSupervisor(std::unique_ptr<WindowServerProbe> probe, Options options);
  // Stops the thread.
  ~GraphicsSupervisor();
  GraphicsSupervisor(const GraphicsSupervisor&) = delete;
  GraphicsSupervisor& operator=(const GraphicsSupervisor&) = delete;

  // Starts the thread "kivo-agent-graphics-supervisor"; once only. A thread
  // that cannot start leaves the state lost with the reason, and the agent
  // runs on without supervision.
  void start();

  // Asks the thread to end and joins it, waiting at most the stop time-out;
  // a thread still busy then (in a blocking probe) is detached, and ends on
  // its own later. Safe to call more than once.
  void stop();

  // State, failure count and last failure, read together. Any thread.
  GraphicsSnapshot snapshot() const;
  // How many times the window server was lost after being ready.
  std::uint64_t loss_count() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  Options options_;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace kivo::agent
