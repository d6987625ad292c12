#include "thread_names.hpp"

#include <pthread.h>

#include <array>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

constexpr std::size_t kMaxOsNameLength = 15;

struct ThreadName {
  std::string_view full;
  std::string_view os;
};

constexpr std::array kThreadNames{
    ThreadName{"kivo-agent-runtime", "kivo-runtime"},
    ThreadName{"kivo-agent-async", "kivo-async"},
    ThreadName{"kivo-agent-xpc-runtime", "kivo-xpc-rt"},
    ThreadName{"kivo-agent-clipboard-poll", "kivo-clip-poll"},
    ThreadName{kBulkWriterThread, "kivo-bulk-write"},
    ThreadName{kBulkReaderThread, "kivo-bulk-read"},
    ThreadName{kMediaPlaybackThread, "kivo-media-play"},
    ThreadName{"kivo-audio-playback", "kivo-audio-play"},
    ThreadName{"kivo-agent-thumbnail-worker", "kivo-thumbnail"},
    ThreadName{"kivo-agent-graphics-supervisor", "kivo-gfx-watch"},
    ThreadName{"kivo-agent-video-epoch", "kivo-vid-epoch"},
    ThreadName{"kivo-agent-video-media", "kivo-vid-media"},
    ThreadName{"kivo-agent-audio-epoch", "kivo-aud-epoch"},
    ThreadName{"kivo-agent-audio-media", "kivo-aud-media"},
    ThreadName{"kivo-agent-window-capture-watch", "kivo-win-watch"},
    ThreadName{"kivo-capture-audio-encoder", "kivo-aud-encode"},
    ThreadName{"kivo-input-worker", "kivo-input"},
    ThreadName{"kivo-log-writer", "kivo-log-writer"},
};

constexpr bool short_names_fit() {
  for (const ThreadName& name : kThreadNames) {
    if (name.os.size() > kMaxOsNameLength) return false;
  }
  return true;
}
static_assert(short_names_fit(), "a short thread name is longer than Linux keeps");

}  // namespace

std::string_view os_thread_name(std::string_view full_name) {
  for (const ThreadName& name : kThreadNames) {
    if (name.full == full_name) return name.os;
  }
  return full_name.substr(0, kMaxOsNameLength);
}

void name_current_thread(std::string_view full_name) {
  const std::string os_name(os_thread_name(full_name));
  // Naming is cosmetic; a failure leaves the inherited name.
  (void)::pthread_setname_np(::pthread_self(), os_name.c_str());
}

Result<std::thread> spawn_named_thread(std::string_view full_name, std::function<void()> body) {
  try {
    return std::thread([name = std::string(full_name), run = std::move(body)] {
      name_current_thread(name);
      try {
        run();
      } catch (const std::exception& error) {
        KIVO_ERROR("kivo_agent", "agent thread ended by an exception",
                   kivo::log::field("thread", name), kivo::log::field("error", error.what()));
      } catch (...) {
        KIVO_ERROR("kivo_agent", "agent thread ended by an exception",
                   kivo::log::field("thread", name));
      }
    });
  } catch (const std::system_error& error) {
    return fail(KivoError::io_errno(error.code().value()));
  }
}

}  // namespace kivo::agent
