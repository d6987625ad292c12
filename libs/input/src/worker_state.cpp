#include "kivo/input/worker_state.hpp"

#include "kivo/input/key_map.hpp"

namespace kivo::input {

EventFlags held_key_flags(const PressedKeys& keys) {
  EventFlags flags = 0;
  for (const std::uint16_t key : keys) flags |= modifier_flag(key);
  return flags;
}

}  // namespace kivo::input
