#include "logind_session_claim.hpp"

#include "kivo/logind/session_state.hpp"

namespace kivo::agent {

std::optional<SessionClaim> LogindSessionClaimSource::sample() {
  const std::optional<logind::SessionState> state = logind::read_own_session();
  if (!state) return std::nullopt;
  return SessionClaim{.on_console = state->on_seat_and_active, .login_done = state->logged_in};
}

}  // namespace kivo::agent
