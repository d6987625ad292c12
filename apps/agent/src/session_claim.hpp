// The session claim: whether this login session is the one on the physical
// console and whether its login has finished, each possibly unknown. The
// hello carries it, the status item appears only for a console session, and
// "lock_screen" acts only on one.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace kivo::agent {

struct SessionClaim {
  std::optional<bool> on_console;
  std::optional<bool> login_done;

  bool complete() const { return on_console.has_value() && login_done.has_value(); }
  bool console_and_logged_in() const { return on_console == true && login_done == true; }
  friend bool operator==(const SessionClaim&, const SessionClaim&) = default;
};

// The port to the login manager. One sample per call; never fails: what it
// cannot learn is unknown. Empty when the process belongs to no login
// session at all, which no amount of waiting changes.
class SessionClaimSource {
 public:
  virtual ~SessionClaimSource() = default;
  virtual std::optional<SessionClaim> sample() = 0;
};

// Waits between samples; injectable so that tests do not wait.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  // Sleeps the whole duration, resuming after signals.
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;

  static Sleeper& system();
};

// Samples until two complete samples in a row agree, up to 8 samples with
// growing waits between them; unknown for both after that, or at once when
// there is no session to ask about.
SessionClaim sample_session_claim(SessionClaimSource& source, Sleeper& sleeper);

// "true", "false" or "unknown", for log fields.
std::string_view tri_state_text(std::optional<bool> value);

}  // namespace kivo::agent
