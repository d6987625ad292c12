// The queue between the log calls and the writer thread.
//
// Lines wait in a ring of exactly `queue` bytes, allocated and touched when
// logging starts: a log call copies its line in and never allocates or faults
// in fresh memory, even while the writer is stuck and the queue fills up.
// Flush and shutdown requests wait beside it, each marked with the ring
// position it was queued at, so it is answered after exactly the lines
// queued before it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/core/logging.hpp"

namespace kivo::log {

// Where a flush or shutdown caller waits for the writer's answer.
struct ReplySlot {
  enum class Status : std::uint8_t { kPending, kAnswered, kClosed };
  Status status = Status::kPending;
  Result<void> answer;
};

struct Request {
  enum class Kind : std::uint8_t { kFlush, kShutdown };
  Kind kind;
  std::uint64_t position;  // the ring's tail when it was queued
  std::shared_ptr<ReplySlot> reply;
};

// Shared by the log calls, the writer thread and the LoggingGuard; every
// member is guarded by `mutex`. Never held while the transaction lock is taken.
struct WriterState {
  explicit WriterState(std::uint64_t limit);

  std::mutex mutex;
  // The writer waits here for work, and while another process holds the flock.
  std::condition_variable work_ready;
  // Flush and shutdown callers wait here for their answer.
  std::condition_variable reply_ready;

  const std::uint64_t queue_limit;
  const std::unique_ptr<char[]> ring;  // queue_limit bytes
  // Positions in the stream of all bytes ever queued: [head, tail) waits in
  // the ring, so tail - head is the sum of the lengths of the queued lines.
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  std::deque<Request> requests;
  bool closed = false;  // no more lines are accepted
  bool shutdown_requested = false;
  bool aborted = false;  // the writer thread ended abnormally
  // The writer sleeps on work_ready for new items; log calls wake it only then.
  bool writer_idle = false;
  // Set when the guard is destroyed: the writer gives up waiting for the
  // flock past this time.
  std::optional<std::chrono::steady_clock::time_point> lock_deadline;

  std::uint64_t queued_bytes() const { return tail - head; }
};

// Queues `line` (one or more whole lines, ending in a line feed) unless the
// state is closed or the queue would pass its limit; waits for nothing but
// the state lock.
void enqueue_line(WriterState& state, std::string_view line);

// The buffer one event is formatted into: the calling thread's own reusable
// one. Destroying it queues its bytes as one line (nothing when empty).
class LineBuffer {
 public:
  explicit LineBuffer(WriterState& state);
  ~LineBuffer();
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;

  std::string& text() { return *text_; }

 private:
  WriterState& state_;
  std::string* text_;
  std::string own_;  // used only when this thread's buffer is already taken
  bool borrowed_;
};

// The body of the writer thread: writes batches until a shutdown request is
// answered. Anything thrown inside marks the state aborted and ends it.
void run_writer_thread(const FileSink& sink, WriterState& state);

// Queues a flush or shutdown request and waits for its answer (the two
// operations of LoggingGuard).
Result<void> request_flush(WriterState& state);
Result<void> request_shutdown(WriterState& state);

// From now on the writer waits at most `wait` for another process's flock.
void limit_lock_wait(WriterState& state, std::chrono::milliseconds wait);

}  // namespace kivo::log
