#include "input_worker.hpp"

#include <pthread.h>

#include <exception>
#include <optional>
#include <utility>

#include "kivo/core/log.hpp"
#include "kivo/input/command_executor.hpp"

namespace kivo::input::detail {
namespace {

constexpr std::string_view kTarget = "kivo_input";
// "kivo-input-worker" is longer than the 15 bytes Linux keeps.
constexpr const char* kOsThreadName = "kivo-input";

// Runs commands until the queue closes (Stopped, after releasing what is
// held) or a command fails (Failed with its error).
InputWorkerExitReason run_commands(const WorkerContext& context, EventPoster& poster) {
  CommandExecutor executor(PostingStep(poster, context.post_attempts, context.abandoned),
                           *context.clock, context.release_all_buttons);
  const std::atomic<bool>* abandoned = context.abandoned.get();
  while (std::optional<WorkerCommand> command = context.queue->take()) {
    PostResult done = executor.execute(*command);
    if (done) continue;
    InputError error = std::move(done).error();
    context.queue->close();
    if (context.warnings->command_failed.admit(*context.clock)) {
      KIVO_WARN(kTarget, "input worker event creation failed",
                log::field("generation", context.generation), log::field("error", error.text()));
    }
    // After a failed Reset, posting the same releases again would fail the
    // same way; an abandoned generation may post nothing at all.
    if (abandoned->load(std::memory_order_acquire) ||
        std::holds_alternative<command::Reset>(*command)) {
      executor.forget_held();
    } else {
      (void)executor.release_everything(abandoned);
    }
    return InputWorkerExitReason::failed(std::move(error));
  }
  if (abandoned->load(std::memory_order_acquire)) {
    executor.forget_held();
    return InputWorkerExitReason::stopped();
  }
  PostResult released = executor.release_everything(abandoned);
  if (!released) return InputWorkerExitReason::failed(std::move(released).error());
  return InputWorkerExitReason::stopped();
}

void run(const WorkerContext& context) {
  auto poster = context.posters->create();
  if (!poster) {
    InputError error = std::move(poster).error();
    context.queue->close();
    if (context.warnings->initialization_failed.admit(*context.clock)) {
      KIVO_WARN(kTarget, "input worker event source initialization failed",
                log::field("generation", context.generation), log::field("error", error.text()));
    }
    const InputWorkerExitReason reason = InputWorkerExitReason::initialization_failed(error);
    context.run->send_exit(reason);
    context.notifications->send(GenerationExit{context.generation, reason});
    return;
  }
  // Started goes out before the start answer, so that once start_generation
  // has returned, the notification is there to be drained.
  context.notifications->send(InputWorkerStarted{context.generation});
  context.run->send_ready();
  const InputWorkerExitReason reason = run_commands(context, **poster);
  context.notifications->send(GenerationExit{context.generation, reason});
}

}  // namespace

void run_input_worker(const WorkerContext& context) noexcept {
  (void)::pthread_setname_np(::pthread_self(), kOsThreadName);
  bool panicked = false;
  try {
    run(context);
  } catch (const std::exception& e) {
    panicked = true;
    KIVO_ERROR(kTarget, "input worker panicked", log::field("generation", context.generation),
               log::field("error", e.what()));
  } catch (...) {
    panicked = true;
    KIVO_ERROR(kTarget, "input worker panicked", log::field("generation", context.generation));
  }
  if (panicked) {
    // Whatever the worker held stays down on the desktop, and nobody will
    // take from this queue again.
    context.queue->close();
    context.release_all_buttons->store(true);
  }
  context.run->finish(panicked);
}

}  // namespace kivo::input::detail
