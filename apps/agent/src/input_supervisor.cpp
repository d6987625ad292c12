#include "input_supervisor.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "kivo/core/log.hpp"
#include "kivo/protocol/epoch.hpp"

namespace kivo::agent {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{100};
constexpr milliseconds kMaxBackoff{1000};
constexpr std::chrono::seconds kUnavailableWarningInterval{30};
constexpr std::uint32_t kStreakWarningAt = 3;

protocol::AgentError agent_error_of(const input::InputError& error) {
  switch (error.kind()) {
    case input::InputError::Kind::kUnsupportedVirtualKey:
      return protocol::agent_error_from(KivoError::invalid_message(error.text()));
    case input::InputError::Kind::kQueueOverflow:
      return protocol::agent_error_from(KivoError::congested());
    default:
      return protocol::agent_error_from(KivoError::not_connected());
  }
}

}  // namespace

InputSupervisor::InputSupervisor(InputSupervisorPorts ports)
    : ports_(std::move(ports)), injector_(kInputQueueCapacity, ports_.posters, ports_.clock) {
  health_.next_unavailable_warning = ports_.clock->now();
}

void InputSupervisor::maintenance_step(const GraphicsSnapshot& graphics, bool capture_has_geometry,
                                       std::uint64_t& input_epoch) {
  if (graphics.loss_count != health_.last_loss_count_seen) {
    health_.last_loss_count_seen = graphics.loss_count;
    injector_.stop_generation();
    input_epoch = protocol::next_epoch(input_epoch);
    injector_.flush_with_reset();
    clear_failures();
    if (graphics.failure_text) {
      health_.last_failure = protocol::CaptureErrorRecord{.domain = "graphics",
                                                          .code = 0,
                                                          .detail = graphics.failure_text,
                                                          .observed_unix_ms = ports_.unix_ms()};
    }
    KIVO_WARN("kivo_agent", "window server loss invalidated input worker generation",
              log::field("lost_count", graphics.loss_count),
              log::field("input_epoch", input_epoch));
  }

  const bool graphics_ready = graphics.state == GraphicsState::kReady;
  for (const input::InputWorkerNotification& notification : injector_.drain_notifications()) {
    if (const auto* started = std::get_if<input::InputWorkerStarted>(&notification)) {
      if (injector_.worker_running() && started->generation == injector_.generation()) {
        clear_failures();
      }
      continue;
    }
    const auto& exited = std::get<input::GenerationExit>(notification);
    if (exited.generation != injector_.generation()) {
      KIVO_TRACE("kivo_input", "ignored stale input worker exit notification",
                 log::field("generation", exited.generation),
                 log::field("current_generation", injector_.generation()));
      continue;
    }
    if (auto failure = exited.reason.failure()) {
      handle_failure("worker_exit", exited.generation, *failure, graphics_ready);
    }
  }

  keep_worker_running(graphics_ready, capture_has_geometry, input_epoch);
}

void InputSupervisor::capture_started(const GraphicsSnapshot& graphics,
                                      std::uint64_t& input_epoch) {
  health_.failed_since_last_start = false;
  keep_worker_running(graphics.state == GraphicsState::kReady, true, input_epoch);
}

void InputSupervisor::keep_worker_running(bool graphics_ready, bool capture_has_geometry,
                                          std::uint64_t& input_epoch) {
  if (!graphics_ready || !capture_has_geometry || injector_.worker_running()) return;
  if (health_.retry_not_before && ports_.clock->now() < *health_.retry_not_before) return;
  if (health_.failed_since_last_start) {
    input_epoch = protocol::next_epoch(input_epoch);
    injector_.flush_with_reset();
    health_.failed_since_last_start = false;
  }
  auto started = injector_.start_generation();
  if (started) {
    clear_failures();
  } else {
    handle_failure("worker_start", injector_.generation(), started.error(), graphics_ready);
  }
}

Expected<void, protocol::AgentError> InputSupervisor::enqueue(
    const protocol::AgentStamp& stamp, const protocol::InjectInput& command,
    const std::optional<protocol::CaptureGeometry>& geometry) {
  const bool positioned = protocol::is_positioned_mouse_event(command.event);
  const input::InputStamp input_stamp{
      .agent_generation = stamp.agent_generation,
      .input_epoch = command.input_epoch,
      .geometry_epoch = positioned ? command.geometry_epoch : (geometry ? geometry->epoch : 0)};
  // The dispatcher has already refused positioned events without a geometry.
  auto outcome = positioned && geometry
                     ? injector_.enqueue(input_stamp, *geometry, command.event)
                     : injector_.enqueue_without_geometry(input_stamp, command.event);
  if (!outcome) return fail(agent_error_of(outcome.error()));
  if (*outcome == input::EnqueueOutcome::kOutOfBounds) {
    return fail(protocol::input_out_of_bounds_error());
  }
  return {};
}

void InputSupervisor::stop_worker() {
  injector_.stop_generation();
  health_.backoff = kFirstBackoff;
  health_.retry_not_before.reset();
  health_.failed_since_last_start = false;
  health_.last_failure.reset();
}

InputWorkerReport InputSupervisor::report() const {
  InputWorkerReport report{.worker_running = injector_.worker_running(),
                           .worker_generation = injector_.generation(),
                           .restart_count = injector_.restart_count(),
                           .failure_count = health_.failure_count,
                           .post_attempts = injector_.post_attempts(),
                           .last_failure = health_.last_failure,
                           .current_generation_exit_failure = std::nullopt};
  const auto& last_exit = injector_.last_exit();
  if (last_exit && last_exit->generation == injector_.generation()) {
    if (auto failure = last_exit->reason.failure()) {
      report.current_generation_exit_failure =
          protocol::CaptureErrorRecord{.domain = "input",
                                       .code = failure->code(),
                                       .detail = failure->text(),
                                       .observed_unix_ms = ports_.unix_ms()};
    }
  }
  return report;
}

void InputSupervisor::clear_failures() {
  health_.backoff = kFirstBackoff;
  health_.retry_not_before.reset();
  health_.failed_since_last_start = false;
  health_.streak_warning_given = false;
  health_.ready_failure_streak = 0;
  health_.last_failure.reset();
}

void InputSupervisor::handle_failure(std::string_view operation, std::uint64_t generation,
                                     const input::InputError& error, bool graphics_ready) {
  const auto now = ports_.clock->now();
  if (health_.failure_count != std::numeric_limits<std::uint64_t>::max()) {
    ++health_.failure_count;
  }
  health_.failed_since_last_start = true;
  health_.last_failure = protocol::CaptureErrorRecord{.domain = "input",
                                                      .code = error.code(),
                                                      .detail = error.text(),
                                                      .observed_unix_ms = ports_.unix_ms()};
  if (graphics_ready) {
    if (health_.ready_failure_streak != std::numeric_limits<std::uint32_t>::max()) {
      ++health_.ready_failure_streak;
    }
    if (health_.ready_failure_streak >= kStreakWarningAt && !health_.streak_warning_given) {
      KIVO_WARN("kivo_input",
                "input worker still fails while graphics is ready; keeping agent alive and "
                "retrying",
                log::field("generation", generation),
                log::field("streak", health_.ready_failure_streak));
      health_.streak_warning_given = true;
    }
  }
  const milliseconds used = health_.backoff;
  health_.retry_not_before = now + used;
  health_.backoff = std::min(used * 2, kMaxBackoff);
  if (now >= health_.next_unavailable_warning) {
    KIVO_WARN("kivo_input", "input worker unavailable", log::field("generation", generation),
              log::field("operation", operation), log::field("error", error.text()),
              log::field("failure_count", health_.failure_count),
              log::field("retry_after_ms", static_cast<std::uint64_t>(used.count())));
    health_.next_unavailable_warning = now + kUnavailableWarningInterval;
  }
}

}  // namespace kivo::agent
