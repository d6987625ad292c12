#include "maintenance_loop.hpp"

#include <mutex>
#include <vector>

#include "kivo/core/log.hpp"

namespace kivo::agent {

bool run_maintenance_tick(const MaintenanceLoopContext& context) {
  std::vector<StampedMessage> documents;
  {
    std::lock_guard lock(context.shared.mutex);
    documents = context.shared.state.features->maintenance_tick(context.shared.state);
  }
  for (const StampedMessage& document : documents) {
    auto sent = context.sender.send(std::nullopt, document.stamp, document.message);
    if (sent) continue;
    KIVO_WARN("kivo_agent", "failed to send maintenance event over XPC",
              log::field("error", sent.error()));
    context.shutdown.post(
        ShutdownRequest::xpc_terminated(context.quitting.load(), "maintenance_send_failed"));
    return false;
  }
  return true;
}

void run_maintenance_loop(const MaintenanceLoopContext& context) {
  while (!context.stop.is_set()) {
    if (context.stop.wait_for(context.period)) return;
    if (!run_maintenance_tick(context)) return;
  }
}

}  // namespace kivo::agent
