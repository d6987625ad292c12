// Locking the login session the way the desktop's own lock action does:
// systemd-logind is asked to lock the session, and the session's screen
// locker answers that request.
#pragma once

#include <chrono>
#include <string>

#include "kivo/core/result.hpp"

namespace kivo::logind {

// How long a lock request may wait for the system bus and logind together.
inline constexpr std::chrono::milliseconds kLockTimeout{2'000};

// Locks the login session this process belongs to. Fails with
// InvalidMessage: "no login session for this process", or what the system
// bus or logind said.
Result<void> lock_own_session();

// Locks session `session_id` ("3", "c2") through logind's LockSession on the
// system bus ($DBUS_SYSTEM_BUS_ADDRESS, else the standard socket). Never
// waits longer than `timeout`.
Result<void> lock_session(const std::string& session_id,
                          std::chrono::milliseconds timeout = kLockTimeout);

}  // namespace kivo::logind
