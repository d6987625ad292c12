#include "media_writer.hpp"

#include <variant>

#include "socket_io.hpp"

namespace kivo::agent {
namespace {

// After a stop, how many attempts in a row without progress a half-written
// frame gets to finish: about one second of a peer that does not read, at
// the 20 ms send timeout.
constexpr int kStalledAttemptsAfterStop = 50;

}  // namespace

Result<bool> MediaWriter::write_frame(const protocol::MediaFrame& frame,
                                      VideoWriteCounters& counters, const std::atomic<bool>& stop) {
  auto bytes = protocol::encode_media_frame(frame);
  if (!bytes) return fail(KivoError::invalid_message(bytes.error().display()));

  std::lock_guard lock(write_mutex_);
  if (broken_) {
    return fail(KivoError::io(IoKind::kBrokenPipe, "media socket holds an unfinished frame"));
  }
  if (stop.load()) return false;
  KIVO_TRY(set_send_timeout(fd_.get()));

  int stalled_attempts = 0;
  std::size_t written_before = 0;
  const auto keep_going = [&](std::size_t written) {
    if (!stop.load()) return true;
    // Nothing of this frame is out yet: leave the stream as it is.
    if (written == 0) return false;
    stalled_attempts = written > written_before ? 0 : stalled_attempts + 1;
    written_before = written;
    return stalled_attempts <= kStalledAttemptsAfterStop;
  };
  std::size_t written = 0;
  const auto result =
      write_frame_bytes(fd_.get(), *bytes, "media socket write returned zero", keep_going, written);
  if (written > 0 && written < bytes->size()) broken_ = true;
  if (!result) return fail(result.error());
  if (written == 0) return false;
  if (written < bytes->size()) {
    return fail(KivoError::io(IoKind::kTimedOut, "media frame left unfinished after stop"));
  }

  if (std::holds_alternative<protocol::MediaFrame::Video>(frame.value)) {
    counters.ok_frames.fetch_add(1);
    counters.ok_bytes.fetch_add(bytes->size());
  }
  return true;
}

void MediaWriter::shutdown_socket() {
  // The descriptor never changes while the writer lives, so this need not
  // wait behind a write that the shutdown is meant to end.
  shutdown_agent_socket(fd_.get(), kMediaChannel);
}

Result<bool> write_media_frame(MediaWriter& writer, const protocol::MediaFrame& frame,
                               VideoWriteCounters& counters, const std::atomic<bool>& stop) {
  return writer.write_frame(frame, counters, stop);
}

Result<MediaSocketInstall> install_media_socket(xpc::UniqueFd fd) {
  auto reader_fd = duplicate_socket_fd(fd.get());
  if (!reader_fd) return fail(reader_fd.error());
  return MediaSocketInstall{.writer = std::make_shared<MediaWriter>(std::move(fd)),
                            .reader_fd = std::move(*reader_fd)};
}

}  // namespace kivo::agent
