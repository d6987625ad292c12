#include "kivo/input/input_injector.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>
#include <utility>

#include "input_worker.hpp"
#include "kivo/core/log.hpp"
#include "kivo/protocol/epoch.hpp"

namespace kivo::input {
namespace {

constexpr std::string_view kTarget = "kivo_input";
constexpr std::size_t kMinCapacity = 2;
constexpr auto kStartTimeout = std::chrono::seconds(2);
constexpr auto kStopTimeout = std::chrono::milliseconds(500);

}  // namespace

InputInjector::InputInjector(std::size_t capacity, std::shared_ptr<EventPosterFactory> posters,
                             std::shared_ptr<const InputClock> clock)
    : notifications_(std::make_shared<detail::NotificationChannel>()),
      queue_(std::make_shared<InputQueue>(std::max(capacity, kMinCapacity))),
      post_attempts_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      capacity_(std::max(capacity, kMinCapacity)),
      posters_(std::move(posters)),
      // The system clock is a static: share it without owning it.
      clock_(clock ? std::move(clock)
                   : std::shared_ptr<const InputClock>(std::shared_ptr<void>(),
                                                       &InputClock::system())),
      release_all_buttons_(std::make_shared<std::atomic<bool>>(false)),
      warnings_(std::make_shared<detail::WorkerWarnings>()) {}

InputInjector::~InputInjector() {
  stop_generation();
}

Expected<std::uint64_t, InputError> InputInjector::start_generation() {
  stop_generation();
  const std::uint64_t previous = generation_;
  generation_ = protocol::next_epoch(generation_);
  if (previous != 0 && restart_count_ != std::numeric_limits<std::uint64_t>::max()) {
    ++restart_count_;
  }

  auto queue = std::make_shared<InputQueue>(capacity_);
  auto abandoned = std::make_shared<std::atomic<bool>>(false);
  auto run = std::make_shared<detail::WorkerRun>();
  detail::WorkerContext context{.generation = generation_,
                                .queue = queue,
                                .run = run,
                                .notifications = notifications_,
                                .posters = posters_,
                                .clock = clock_,
                                .post_attempts = post_attempts_,
                                .abandoned = abandoned,
                                .release_all_buttons = release_all_buttons_,
                                .warnings = warnings_};
  // Taken before the thread exists, so that the wait is bounded from the
  // spawn on whatever the thread does first.
  const InputClock::time_point deadline = clock_->now() + kStartTimeout;
  std::thread thread;
  try {
    thread = std::thread([context = std::move(context)] { detail::run_input_worker(context); });
  } catch (const std::system_error& e) {
    return fail(InputError::worker_start_failed(e.what()));
  }

  const detail::WorkerRun::Start start = run->wait_start(*clock_, deadline);
  using Answer = detail::WorkerRun::StartAnswer;
  switch (start.answer) {
    case Answer::kReady:
      queue_ = std::move(queue);
      thread_ = std::move(thread);
      run_ = std::move(run);
      abandoned_ = std::move(abandoned);
      KIVO_INFO(kTarget, "input worker generation started", log::field("generation", generation_),
                log::field("restart_count", restart_count_));
      return generation_;
    case Answer::kExited: {
      queue->close();
      thread.join();
      (void)drain_notifications();
      const InputWorkerExitReason reason = *start.reason;
      last_exit_ = GenerationExit{generation_, reason};
      return fail(reason.failure().value_or(InputError::worker_stopped()));
    }
    case Answer::kTimedOut:
    case Answer::kChannelClosed:
      break;
  }
  abandoned->store(true, std::memory_order_release);
  queue->close();
  if (run->finished()) {
    thread.join();
  } else {
    thread.detach();
  }
  return fail(InputError::worker_start_failed(start.answer == Answer::kTimedOut
                                                  ? "input worker initialization timed out"
                                                  : "input worker initialization channel closed"));
}

void InputInjector::stop_generation() {
  queue_->close();
  std::shared_ptr<std::atomic<bool>> abandoned = std::exchange(abandoned_, nullptr);
  std::shared_ptr<detail::WorkerRun> run = std::exchange(run_, nullptr);
  std::optional<std::thread> thread = std::exchange(thread_, std::nullopt);
  if (thread) {
    if (run->wait_finished(*clock_, clock_->now() + kStopTimeout)) {
      thread->join();
      if (run->panicked()) {
        const GenerationExit exit{generation_, InputWorkerExitReason::panicked()};
        last_exit_ = exit;
        notifications_->send(exit);
      }
    } else {
      abandoned->store(true, std::memory_order_release);
      // The abandoned worker may hold buttons that it will now never
      // release; the next generation releases them.
      release_all_buttons_->store(true);
      KIVO_WARN(
          kTarget, "input worker shutdown timeout; generation abandoned",
          log::field("generation", generation_),
          log::field("timeout_ms",
                     std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout).count()));
      thread->detach();
    }
  }
  (void)drain_notifications();
}

std::vector<InputWorkerNotification> InputInjector::drain_notifications() {
  std::vector<InputWorkerNotification> drained = notifications_->drain();
  for (const InputWorkerNotification& notification : drained) {
    if (const auto* exit = std::get_if<GenerationExit>(&notification)) last_exit_ = *exit;
  }
  if (thread_ && run_->finished()) {
    thread_->join();
    if (run_->panicked()) {
      const GenerationExit exit{generation_, InputWorkerExitReason::panicked()};
      drained.emplace_back(exit);
      last_exit_ = exit;
    }
    thread_.reset();
    run_.reset();
    abandoned_.reset();
  }
  return drained;
}

Expected<EnqueueOutcome, InputError> InputInjector::enqueue(
    const InputStamp& stamp, const protocol::CaptureGeometry& geometry,
    const protocol::InputEvent& event) {
  return push(stamp, command_for_event(geometry, event));
}

Expected<EnqueueOutcome, InputError> InputInjector::enqueue_without_geometry(
    const InputStamp& stamp, const protocol::InputEvent& event) {
  return push(stamp, command_for_event_without_geometry(event));
}

Expected<EnqueueOutcome, InputError> InputInjector::push(const InputStamp& stamp,
                                                         Expected<EventCommand, InputError> built) {
  if (!built) return fail(std::move(built).error());
  if (const auto* outcome = std::get_if<EnqueueOutcome>(&*built)) return *outcome;
  auto pushed = queue_->push(stamp, std::get<WorkerCommand>(std::move(*built)));
  if (!pushed) return fail(std::move(pushed).error());
  return EnqueueOutcome::kQueued;
}

void InputInjector::flush_with_reset() {
  queue_->flush_with_reset();
}

std::uint64_t InputInjector::post_attempts() const {
  return post_attempts_->load();
}

bool InputInjector::worker_running() const {
  return thread_.has_value() && !run_->finished();
}

}  // namespace kivo::input
