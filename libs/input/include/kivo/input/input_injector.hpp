// InputInjector: a bounded command queue and one worker thread,
// "kivo-input-worker", that drains it and posts events, so that the thread
// handling service commands never blocks on the window system.
//
// A worker with its queue is a generation: numbered from 1, started and
// stopped here, abandoned when it does not stop in time, and replaced. Each
// generation reports its start and end through notifications, which the
// agent drains on its maintenance tick.
//
// Not thread-safe: the agent calls every operation under its state lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "kivo/core/result.hpp"
#include "kivo/input/event_commands.hpp"
#include "kivo/input/event_poster.hpp"
#include "kivo/input/input_clock.hpp"
#include "kivo/input/input_error.hpp"
#include "kivo/input/input_queue.hpp"
#include "kivo/input/input_worker_exit.hpp"
#include "kivo/input/worker_command.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/input_event.hpp"

namespace kivo::input {

namespace detail {
class NotificationChannel;
class WorkerRun;
struct WorkerWarnings;
}  // namespace detail

inline constexpr const char* kInputWorkerThreadName = "kivo-input-worker";

class InputInjector {
 public:
  // `capacity` becomes max(capacity, 2). A null `clock` is the system's.
  // No worker runs until start_generation().
  InputInjector(std::size_t capacity, std::shared_ptr<EventPosterFactory> posters,
                std::shared_ptr<const InputClock> clock);
  ~InputInjector();  // stops the generation
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  // Stops the current generation and starts the next one; returns its
  // number once its worker is ready (at most 2 s). On failure the number
  // has advanced all the same, and pushes fail with WorkerStopped until a
  // start succeeds.
  Expected<std::uint64_t, InputError> start_generation();

  // Closes the queue and waits up to 500 ms for the worker to release what
  // it holds and end; a worker that does not is abandoned (it can post
  // nothing more) and left to end by itself.
  void stop_generation();

  // The notifications of every generation, oldest first. Exited ones update
  // last_exit(). A worker thread found dead of an exception adds
  // Exited {generation, Panicked}.
  std::vector<InputWorkerNotification> drain_notifications();

  // For mouse events carrying frame coordinates of `geometry`.
  Expected<EnqueueOutcome, InputError> enqueue(const InputStamp& stamp,
                                               const protocol::CaptureGeometry& geometry,
                                               const protocol::InputEvent& event);
  // For every other event.
  Expected<EnqueueOutcome, InputError> enqueue_without_geometry(const InputStamp& stamp,
                                                                const protocol::InputEvent& event);

  // Discards everything queued and, unless the queue is closed, queues a
  // Reset; the current stamp stays. Used on input epoch changes.
  void flush_with_reset();

  std::uint64_t generation() const { return generation_; }
  std::uint64_t restart_count() const { return restart_count_; }
  const std::optional<GenerationExit>& last_exit() const { return last_exit_; }
  // Posts attempted by all generations so far.
  std::uint64_t post_attempts() const;
  // A worker thread exists and has not finished.
  bool worker_running() const;

 private:
  Expected<EnqueueOutcome, InputError> push(const InputStamp& stamp,
                                            Expected<EventCommand, InputError> built);

  std::shared_ptr<detail::NotificationChannel> notifications_;
  std::optional<GenerationExit> last_exit_;
  std::shared_ptr<InputQueue> queue_;
  std::shared_ptr<std::atomic<std::uint64_t>> post_attempts_;
  std::optional<std::thread> thread_;
  std::shared_ptr<detail::WorkerRun> run_;
  std::shared_ptr<std::atomic<bool>> abandoned_;
  std::size_t capacity_;
  std::uint64_t generation_ = 0;
  std::uint64_t restart_count_ = 0;

  std::shared_ptr<EventPosterFactory> posters_;
  std::shared_ptr<const InputClock> clock_;
  // Set when a generation ended holding what it held (abandoned or crashed);
  // the next generation's first Reset then releases every button.
  std::shared_ptr<std::atomic<bool>> release_all_buttons_;
  std::shared_ptr<detail::WorkerWarnings> warnings_;
};

}  // namespace kivo::input
