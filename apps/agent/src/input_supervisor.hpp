// InputSupervisor: the agent's side of remote input. It owns the input
// injector and its health (failures, back-off, warnings), keeps a worker
// generation running while the window server is ready and a capture has a
// geometry, and turns the injector's answers into the errors the service
// sees. The input epoch itself lives in AgentState: every step that changes
// it is handed the field.
//
// Not thread-safe: the agent calls it under its state lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "agent_features.hpp"
#include "graphics_snapshot.hpp"
#include "kivo/core/result.hpp"
#include "kivo/input/event_poster.hpp"
#include "kivo/input/input_clock.hpp"
#include "kivo/input/input_injector.hpp"
#include "kivo/protocol/agent_error.hpp"
#include "kivo/protocol/capture_geometry.hpp"
#include "kivo/protocol/service_message.hpp"
#include "kivo/protocol/stamp.hpp"

namespace kivo::agent {

inline constexpr std::size_t kInputQueueCapacity = 8192;

// What the agent remembers about the input worker between ticks.
struct InputHealth {
  using time_point = input::InputClock::time_point;

  std::uint64_t last_loss_count_seen = 0;
  std::uint64_t failure_count = 0;  // saturating
  bool failed_since_last_start = false;
  bool streak_warning_given = false;
  std::uint32_t ready_failure_streak = 0;  // saturating
  std::chrono::milliseconds backoff{100};
  std::optional<time_point> retry_not_before;
  time_point next_unavailable_warning{};
  std::optional<protocol::CaptureErrorRecord> last_failure;
};

struct InputSupervisorPorts {
  std::shared_ptr<input::EventPosterFactory> posters;
  std::shared_ptr<const input::InputClock> clock;
  // Wall-clock milliseconds since 1970, for failure records.
  std::function<std::uint64_t()> unix_ms;
};

class InputSupervisor {
 public:
  explicit InputSupervisor(InputSupervisorPorts ports);

  // One maintenance tick: a window-server loss invalidates the generation
  // and the epoch; notifications clear or record failures; a worker is
  // started (after its back-off) while graphics is ready and a capture has a
  // geometry.
  void maintenance_step(const GraphicsSnapshot& graphics, bool capture_has_geometry,
                        std::uint64_t& input_epoch);

  // A capture was installed (it has a geometry): forgets that the last
  // worker failed, and starts a worker now if one can run.
  void capture_started(const GraphicsSnapshot& graphics, std::uint64_t& input_epoch);

  // Queues an "inject_input" event that passed the dispatcher's checks;
  // `geometry` is the capture's current one.
  Expected<void, protocol::AgentError> enqueue(
      const protocol::AgentStamp& stamp, const protocol::InjectInput& command,
      const std::optional<protocol::CaptureGeometry>& geometry);

  // Empties the queue and releases what the worker holds.
  void flush_with_reset() { injector_.flush_with_reset(); }
  // Capture stopped: no worker, and a clean slate for the next start.
  void stop_worker();

  bool worker_running() const { return injector_.worker_running(); }
  InputWorkerReport report() const;
  const InputHealth& health() const { return health_; }

 private:
  void clear_failures();
  // Starts a generation when none runs, graphics is ready, the capture has
  // a geometry and the back-off allows.
  void keep_worker_running(bool graphics_ready, bool capture_has_geometry,
                           std::uint64_t& input_epoch);
  void handle_failure(std::string_view operation, std::uint64_t generation,
                      const input::InputError& error, bool graphics_ready);

  InputSupervisorPorts ports_;
  input::InputInjector injector_;
  InputHealth health_;
};

}  // namespace kivo::agent
