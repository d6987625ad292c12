#include "kivo/logind/session_state.hpp"

#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace kivo::logind {
namespace {

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, FreeDeleter>;

OwnedText take(char* text) {
  return OwnedText(text);
}

}  // namespace

std::optional<SessionState> read_own_session() {
  SessionState state;
  char* raw_session = nullptr;
  if (sd_pid_get_session(0, &raw_session) < 0 || raw_session == nullptr) return std::nullopt;
  const OwnedText session = take(raw_session);

  char* raw_state = nullptr;
  if (sd_session_get_state(session.get(), &raw_state) >= 0 && raw_state != nullptr) {
    const OwnedText text = take(raw_state);
    const std::string_view value(text.get());
    state.logged_in = value == "online" || value == "active";
  }

  char* raw_seat = nullptr;
  const int seat_result = sd_session_get_seat(session.get(), &raw_seat);
  const OwnedText seat = take(raw_seat);
  if (seat_result == -ENODATA || (seat_result >= 0 && raw_seat == nullptr)) {
    state.on_seat_and_active = false;  // a remote or seatless login
  } else if (seat_result >= 0) {
    const int active = sd_session_is_active(session.get());
    if (active >= 0) state.on_seat_and_active = active > 0;
  }
  return state;
}

}  // namespace kivo::logind
