// The write side of the bulk socket: the producer end of the bulk queue that
// AgentState keeps, and the one thread that writes queued frames whole.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "bulk_queue.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/frames.hpp"
#include "kivo/xpc/unique_fd.hpp"
#include "monotonic_clock.hpp"

namespace kivo::agent {

// How long a display thumbnail may wait to be written before it is stale.
inline constexpr std::chrono::milliseconds kThumbnailTimeToLive{2000};

// The packet id of the next FileData or ClipboardOutbound frame; never 0,
// so that the service's receipts can name every frame the agent wrote.
class BulkPacketIds {
 public:
  std::uint64_t next();

 private:
  std::uint64_t last_ = 0;
};

// The producer end of the bulk queue and the socket's shutdown handle. Lives
// in AgentState; dropping it tells the writer thread no more frames come.
class BulkWriter {
 public:
  // `clock` outlives the writer.
  BulkWriter(std::shared_ptr<BulkQueue> queue, xpc::UniqueFd shutdown_fd,
             const MonotonicClock& clock);
  ~BulkWriter();
  BulkWriter(const BulkWriter&) = delete;
  BulkWriter& operator=(const BulkWriter&) = delete;

  // Encodes and queues the frame without waiting; `time_to_live` bounds how
  // long it may wait to be written. InvalidMessage with the encoder's text,
  // Congested when the queue is full, NotConnected once the writer has ended.
  // A queued frame counts as sent.
  Result<void> enqueue(const protocol::BulkFrame& frame,
                       std::optional<std::chrono::milliseconds> time_to_live);

  // Shuts the socket down both ways; the bulk reader then sees the end.
  void shutdown_socket();

  std::size_t queued() const { return queue_->size(); }

 private:
  std::shared_ptr<BulkQueue> queue_;
  std::mutex shutdown_mutex_;
  xpc::UniqueFd shutdown_fd_;
  const MonotonicClock& clock_;
};

// The one way onto the bulk socket. `writer` is AgentState's, null until the
// socket is installed: InvalidMessage "agent bulk fd is not installed".
Result<void> enqueue_bulk_frame(BulkWriter* writer, const protocol::BulkFrame& frame,
                                std::optional<std::chrono::milliseconds> time_to_live);

struct BulkSocketInstall {
  std::unique_ptr<BulkWriter> writer;  // for AgentState, replacing any previous one
  xpc::UniqueFd reader_fd;             // for the bulk reader thread
  std::thread writer_thread;           // for the cleanup to join
};

// Takes the socket from the hello: makes the reader's and the shutdown
// handle's duplicates, creates the queue and starts "kivo-agent-bulk-writer".
// Any failure closes every descriptor, `fd` included, and is an I/O error.
// `stop` and `clock` outlive the writer thread.
Result<BulkSocketInstall> install_bulk_socket(xpc::UniqueFd fd, const std::atomic<bool>& stop,
                                              const MonotonicClock& clock);

// The body of the writer thread: writes queued frames whole until the stop
// flag, the last producer's departure or a write failure; never reopens the
// socket, and ends rather than leave half a frame behind a later one.
void run_bulk_writer(xpc::UniqueFd fd, std::shared_ptr<BulkQueue> queue,
                     const std::atomic<bool>& stop, const MonotonicClock& clock);

}  // namespace kivo::agent
