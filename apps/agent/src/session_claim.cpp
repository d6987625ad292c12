#include "session_claim.hpp"

#include <array>
#include <thread>

#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

constexpr std::size_t kMaxSamples = 8;
// The wait after sample number 1..7.
constexpr std::array<std::chrono::milliseconds, kMaxSamples - 1> kWaits{
    std::chrono::milliseconds{250}, std::chrono::milliseconds{500}, std::chrono::milliseconds{750},
    std::chrono::milliseconds{750}, std::chrono::milliseconds{750}, std::chrono::milliseconds{750},
    std::chrono::milliseconds{750}};

class SystemSleeper final : public Sleeper {
 public:
  // std::this_thread::sleep_for resumes after a signal for the time left.
  void sleep_for(std::chrono::milliseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

void log_resolved(SessionClaim claim, bool fallback_unknown) {
  KIVO_DEBUG("kivo_agent", "agent session claim resolved",
             log::field("final_on_console", tri_state_text(claim.on_console)),
             log::field("final_login_done", tri_state_text(claim.login_done)),
             log::field("fallback_unknown", fallback_unknown));
}

}  // namespace

Sleeper& Sleeper::system() {
  static SystemSleeper sleeper;
  return sleeper;
}

std::string_view tri_state_text(std::optional<bool> value) {
  if (!value) return "unknown";
  return *value ? "true" : "false";
}

SessionClaim sample_session_claim(SessionClaimSource& source, Sleeper& sleeper) {
  std::optional<SessionClaim> previous;
  for (std::size_t attempt = 0; attempt < kMaxSamples; ++attempt) {
    if (attempt > 0) sleeper.sleep_for(kWaits[attempt - 1]);
    const std::optional<SessionClaim> sampled = source.sample();
    if (!sampled) break;
    const SessionClaim claim = *sampled;
    KIVO_DEBUG("kivo_agent", "agent session claim sample", log::field("attempt", attempt),
               log::field("claim_on_console", tri_state_text(claim.on_console)),
               log::field("claim_login_done", tri_state_text(claim.login_done)),
               log::field("complete", claim.complete()));
    if (claim.complete() && previous == claim) {
      log_resolved(claim, false);
      return claim;
    }
    previous = claim;
  }
  log_resolved(SessionClaim{}, true);
  return SessionClaim{};
}

}  // namespace kivo::agent
