#include "kivo/logind/session_lock.hpp"

#include <fmt/format.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace kivo::logind {
namespace {

using Clock = std::chrono::steady_clock;

struct BusClose {
  // Closes without flushing: a flush waits for the peer without a bound.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

KivoError bus_failure(std::string_view what, int negative_errno) {
  return KivoError::invalid_message(fmt::format("{}: {}", what, std::strerror(-negative_errno)));
}

// The answer to the lock request, filled in by the reply handler.
struct Answer {
  bool received = false;
  std::optional<std::string> error;
};

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error* /*unused*/) {
  auto* answer = static_cast<Answer*>(userdata);
  answer->received = true;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply); error != nullptr) {
    const char* name = error->name != nullptr ? error->name : "unnamed D-Bus error";
    answer->error = error->message != nullptr && *error->message != '\0'
                        ? fmt::format("LockSession failed: {}: {}", name, error->message)
                        : fmt::format("LockSession failed: {}", name);
  }
  return 0;
}

}  // namespace

Result<void> lock_own_session() {
  char* raw_session = nullptr;
  if (sd_pid_get_session(0, &raw_session) < 0 || raw_session == nullptr) {
    return fail(KivoError::invalid_message("no login session for this process"));
  }
  const std::string session(raw_session);
  std::free(raw_session);
  return lock_session(session);
}

Result<void> lock_session(const std::string& session_id, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;

  // Connecting only starts the handshake; the loop below bounds the rest.
  sd_bus* raw_bus = nullptr;
  const int opened = sd_bus_open_system(&raw_bus);
  const std::unique_ptr<sd_bus, BusClose> bus(raw_bus);
  if (opened < 0) return fail(bus_failure("cannot connect to the system bus", opened));

  Answer answer;
  sd_bus_slot* raw_slot = nullptr;
  const int sent = sd_bus_call_method_async(
      bus.get(), &raw_slot, "org.freedesktop.login1", "/org/freedesktop/login1",
      "org.freedesktop.login1.Manager", "LockSession", on_reply, &answer, "s", session_id.c_str());
  // Declared after the bus, so the slot goes first and its handler can no
  // longer run once this function has returned.
  const std::unique_ptr<sd_bus_slot, SlotUnref> slot(raw_slot);
  if (sent < 0) return fail(bus_failure("cannot send LockSession", sent));

  while (!answer.received) {
    const int processed = sd_bus_process(bus.get(), nullptr);
    if (processed < 0) return fail(bus_failure("system bus connection failed", processed));
    if (processed > 0) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return fail(KivoError::invalid_message(
          fmt::format("no answer to LockSession within {} ms", timeout.count())));
    }
    const int waited = sd_bus_wait(bus.get(), static_cast<std::uint64_t>(left.count()));
    if (waited < 0) return fail(bus_failure("system bus connection failed", waited));
  }
  if (answer.error) return fail(KivoError::invalid_message(std::move(*answer.error)));
  return {};
}

}  // namespace kivo::logind
