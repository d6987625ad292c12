// The write side of the media socket: the video and audio media threads
// write whole frames directly, one at a time, under the writer's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kivo/core/result.hpp"
#include "kivo/protocol/frames.hpp"
#include "kivo/xpc/unique_fd.hpp"

namespace kivo::agent {

// The diagnostics counters "agent_write_ok_frames" and "agent_write_ok_bytes":
// video frames written whole, and their bytes (length prefix included).
struct VideoWriteCounters {
  std::atomic<std::uint64_t> ok_frames{0};
  std::atomic<std::uint64_t> ok_bytes{0};
};

class MediaWriter {
 public:
  explicit MediaWriter(xpc::UniqueFd fd) : fd_(std::move(fd)) {}
  MediaWriter(const MediaWriter&) = delete;
  MediaWriter& operator=(const MediaWriter&) = delete;

  // See write_media_frame.
  Result<bool> write_frame(const protocol::MediaFrame& frame, VideoWriteCounters& counters,
                           const std::atomic<bool>& stop);

  // Shuts the socket down both ways, waking the playback reader and any
  // writer waiting on a peer that does not read.
  void shutdown_socket();

 private:
  std::mutex write_mutex_;
  const xpc::UniqueFd fd_;
  // Set once a frame was left half-written: the peer could only misread
  // whatever came after it, so nothing more is written.
  bool broken_ = false;
};

// Writes one whole frame: true when written, false when `stop` was set
// before its first byte. A stop that comes after part of the frame is on the
// socket lets the frame finish (the socket outlives the capture run), within
// a bound; a frame left unfinished fails this and every later write.
// InvalidMessage with the encoder's text, or the I/O error of the write.
// Video frames written whole advance `counters`; audio frames do not.
Result<bool> write_media_frame(MediaWriter& writer, const protocol::MediaFrame& frame,
                               VideoWriteCounters& counters, const std::atomic<bool>& stop);

struct MediaSocketInstall {
  std::shared_ptr<MediaWriter> writer;  // for AgentState, replacing any previous one
  xpc::UniqueFd reader_fd;              // for the playback reader thread
};

// Takes the socket from the hello; on failure `fd` is closed.
Result<MediaSocketInstall> install_media_socket(xpc::UniqueFd fd);

}  // namespace kivo::agent
