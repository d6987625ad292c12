// Keys: the remote side names keys by Windows virtual-key code, the desktop's
// event model by macOS key code. Modifier state is derived from the keys the
// worker holds, never taken from the remote event.
#pragma once

#include <array>
#include <cstdint>

#include "kivo/core/result.hpp"
#include "kivo/input/input_error.hpp"
#include "kivo/input/input_types.hpp"

namespace kivo::input {

// The macOS key code of a Windows virtual-key code. Codes without a key on
// the desktop (Pause, Print Screen, media and IME keys...) fail with
// UnsupportedVirtualKey. Note that 0x41 ("A") maps to key code 0.
Expected<std::uint16_t, InputError> vk_to_cg_keycode(std::uint16_t vk_code);

// The modifier flag a held key adds to every posted event: Command, Shift,
// Caps Lock, Option or Control for key codes 54..62, nothing otherwise. Left
// and right keys add the same device-independent flag.
EventFlags modifier_flag(std::uint16_t mac_key_code);

// The modifier keys a reset releases whether or not the worker saw them
// pressed (Caps Lock is a toggle and is left alone), ascending.
inline constexpr std::array<std::uint16_t, 8> kResetModifierKeyCodes{54, 55, 56, 58,
                                                                     59, 60, 61, 62};

}  // namespace kivo::input
