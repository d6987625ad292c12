// The body of one worker generation's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "kivo/input/event_poster.hpp"
#include "kivo/input/input_clock.hpp"
#include "kivo/input/input_queue.hpp"
#include "notification_channel.hpp"
#include "rate_limited_warning.hpp"
#include "worker_run.hpp"

namespace kivo::input::detail {

// Everything a generation's thread uses, held by shared ownership: a thread
// that is abandoned and detached keeps what it needs alive by itself.
struct WorkerContext {
  std::uint64_t generation = 0;
  std::shared_ptr<InputQueue> queue;
  std::shared_ptr<WorkerRun> run;
  std::shared_ptr<NotificationChannel> notifications;
  std::shared_ptr<EventPosterFactory> posters;
  std::shared_ptr<const InputClock> clock;
  std::shared_ptr<std::atomic<std::uint64_t>> post_attempts;
  std::shared_ptr<std::atomic<bool>> abandoned;
  std::shared_ptr<std::atomic<bool>> release_all_buttons;
  std::shared_ptr<WorkerWarnings> warnings;
};

// Names the thread, creates the generation's poster, answers the start,
// runs commands until the queue closes or a command fails, releases what it
// holds and reports the end. An exception ends the thread without a
// notification: WorkerRun records it for the injector to find on joining.
void run_input_worker(const WorkerContext& context) noexcept;

}  // namespace kivo::input::detail
