#include "kivo/input/lock_screen_shortcut.hpp"

#include <string>

#include "kivo/core/log.hpp"

namespace kivo::input {
namespace {

constexpr std::string_view kTarget = "kivo_agent";

Result<void> post_key(EventPoster& poster, bool down) {
  if (poster.post_key(kLockScreenKeyCode, down, kLockScreenFlags)) return ok();
  const std::string reason = down ? "failed to create Cmd+Ctrl+Q key down event"
                                  : "failed to create Cmd+Ctrl+Q key up event";
  KIVO_WARN(kTarget, reason, log::field("keycode", kLockScreenKeyCode));
  return fail(KivoError::invalid_message(reason));
}

}  // namespace

Result<void> post_lock_screen_shortcut(EventPoster& poster) {
  KIVO_TRY(post_key(poster, true));
  KIVO_TRY(post_key(poster, false));
  KIVO_INFO(kTarget, "posted lock screen shortcut Cmd+Ctrl+Q");
  return ok();
}

}  // namespace kivo::input
