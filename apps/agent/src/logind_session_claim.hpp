// The session claim from systemd-logind.
#pragma once

#include "session_claim.hpp"

namespace kivo::agent {

class LogindSessionClaimSource final : public SessionClaimSource {
 public:
  std::optional<SessionClaim> sample() override;
};

}  // namespace kivo::agent
