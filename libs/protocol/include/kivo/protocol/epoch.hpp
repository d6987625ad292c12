// The advance rule shared by every counter of the agent that must never read
// 0: the bulk packet id, the capture and input epochs, the agent and input
// generations. A counter starts at 0 ("nothing yet"), and every advanced value
// is non-zero, so 0 stays free to mean "none" on the wire.
#pragma once

#include <concepts>
#include <limits>

namespace kivo::protocol {

template <class T>
concept EpochCounter = std::unsigned_integral<T> && !std::same_as<T, bool>;

// e + 1, except that 0 and the type's largest value both become 1: the
// counter wraps past its maximum onto 1, never onto 0.
template <EpochCounter T>
constexpr T next_epoch(T e) noexcept {
  if (e == 0 || e == std::numeric_limits<T>::max()) return T{1};
  return static_cast<T>(e + 1U);
}

}  // namespace kivo::protocol
