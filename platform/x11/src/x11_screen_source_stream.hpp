// The ScreenStream of X11ScreenSource: one capture thread with its own
// connection, started by start_capture and ended by stop_capture, a lost
// connection, or the destructor.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "kivo/capture/screen_source.hpp"

namespace kivo::x11 {

class X11ScreenStream final : public capture::ScreenStream {
 public:
  X11ScreenStream(std::string display_name, std::chrono::milliseconds idle_interval,
                  capture::ContentFilter filter, capture::StreamConfiguration configuration,
                  std::shared_ptr<capture::StreamOutput> output);
  ~X11ScreenStream() override;

  Result<void> add_output(capture::OutputType type) override;
  Result<void> remove_output(capture::OutputType type) override;
  void start_capture(capture::Completion done) override;
  void stop_capture(capture::Completion done) override;
  void update_configuration(const capture::StreamConfiguration& configuration,
                            capture::Completion done) override;
  void wait_for_callbacks() override;

 private:
  class Capture;
  enum class State : std::uint8_t { kIdle, kRunning, kEnded };

  void run(capture::Completion start_done);
  // Wakes the capture thread out of its wait.
  void wake();

  const std::string display_name_;
  const std::chrono::milliseconds idle_interval_;
  const capture::ContentFilter filter_;
  const std::shared_ptr<capture::StreamOutput> output_;
  const int wake_fd_;

  std::mutex mutex_;  // guards everything below
  capture::StreamConfiguration configuration_;
  std::optional<capture::Completion> pending_update_done_;
  bool update_pending_ = false;
  bool stop_requested_ = false;
  std::optional<capture::Completion> stop_done_;
  bool screen_output_ = false;
  bool audio_output_ = false;
  State state_ = State::kIdle;
  std::thread thread_;

  // Held while an output callback runs.
  std::mutex callback_mutex_;
};

}  // namespace kivo::x11
