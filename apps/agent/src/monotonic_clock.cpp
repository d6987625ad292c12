#include "monotonic_clock.hpp"

namespace kivo::agent {
namespace {

class SteadyClock final : public MonotonicClock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const MonotonicClock& MonotonicClock::system() {
  static const SteadyClock clock;
  return clock;
}

}  // namespace kivo::agent
