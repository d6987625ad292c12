#include "media_reader.hpp"

#include <memory>
#include <utility>
#include <variant>

#include "kivo/core/log.hpp"
#include "socket_io.hpp"
#include "thread_names.hpp"

namespace kivo::agent {

void run_media_playback_reader(xpc::UniqueFd fd, const std::atomic<bool>& stop,
                               PlaybackFrameConsumer* consumer) {
  while (!stop.load()) {
    auto bytes = read_framed_packet(fd.get(), protocol::kMaxMediaBodyLength, kMediaChannel);
    if (!bytes || stop.load()) return;
    auto frame = protocol::decode_media_frame(*bytes);
    if (!frame) {
      KIVO_WARN("kivo_agent", "failed to decode playback media frame",
                kivo::log::field("error", frame.error()));
      return;
    }
    bytes.reset();

    auto* playback = std::get_if<protocol::MediaFrame::Playback>(&frame->value);
    if (playback == nullptr) continue;
    if (consumer == nullptr) {
      KIVO_TRACE("kivo_audio", "dropped playback media frame without a playback engine",
                 kivo::log::field("route_id", playback->route_id));
      continue;
    }
    consumer->receive_playback_frame(std::move(*playback));
  }
}

Result<std::thread> start_media_playback_reader(xpc::UniqueFd fd, const std::atomic<bool>& stop,
                                                PlaybackFrameConsumer* consumer) {
  return spawn_named_thread(
      kMediaPlaybackThread,
      [socket = std::make_shared<xpc::UniqueFd>(std::move(fd)), &stop, consumer] {
        run_media_playback_reader(std::move(*socket), stop, consumer);
      });
}

}  // namespace kivo::agent
