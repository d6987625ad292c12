// The desktop's lock-screen shortcut, Command+Control+Q, posted as one key
// press and release. Runs on the caller's thread with its own poster and
// shares nothing with the input worker.
#pragma once

#include "kivo/core/result.hpp"
#include "kivo/input/event_poster.hpp"

namespace kivo::input {

inline constexpr std::uint16_t kLockScreenKeyCode = 12;  // Q
inline constexpr EventFlags kLockScreenFlags = kFlagCommand | kFlagControl;

// Posts the press, then the release. A failed post is an InvalidMessage
// error naming the event ("failed to create Cmd+Ctrl+Q key down event", or
// "... key up event"), also logged as a warning.
Result<void> post_lock_screen_shortcut(EventPoster& poster);

}  // namespace kivo::input
