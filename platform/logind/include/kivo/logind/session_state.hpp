// The login session of this process as systemd-logind sees it.
#pragma once

#include <optional>

namespace kivo::logind {

struct SessionState {
  // Attached to a seat and the active session on it: the user is at this
  // machine's own screen and keyboard. Unknown without a session.
  std::optional<bool> on_seat_and_active;
  // The session is logged in ("online" or "active"), not closing.
  std::optional<bool> logged_in;
};

// Asks sd-login about the session of this process: empty when there is no
// logind or the process belongs to no session.
std::optional<SessionState> read_own_session();

}  // namespace kivo::logind
