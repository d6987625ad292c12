// The read side of the media socket: the thread "kivo-agent-media-playback"
// takes the peer's audio frames from the service and hands them on.
#pragma once

#include <atomic>
#include <thread>

#include "kivo/core/result.hpp"
#include "kivo/protocol/frames.hpp"
#include "kivo/xpc/unique_fd.hpp"

namespace kivo::agent {

// The playback side. Called without any lock held: the consumer takes the
// AgentState lock itself for its route check and hand-off, and drops a frame
// it refuses.
class PlaybackFrameConsumer {
 public:
  virtual ~PlaybackFrameConsumer() = default;
  virtual void receive_playback_frame(protocol::MediaFrame::Playback frame) = 0;
};

// The body of the reader thread: reads until the stop flag, the end of the
// stream or a read or decode failure. Frames other than playback audio are
// ignored; without a consumer, playback frames are dropped too.
void run_media_playback_reader(xpc::UniqueFd fd, const std::atomic<bool>& stop,
                               PlaybackFrameConsumer* consumer);

// Starts the reader thread; `stop` and `consumer` outlive it.
Result<std::thread> start_media_playback_reader(xpc::UniqueFd fd, const std::atomic<bool>& stop,
                                                PlaybackFrameConsumer* consumer);

}  // namespace kivo::agent
