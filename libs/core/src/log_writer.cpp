#include "log_writer.hpp"

#include <algorithm>
#include <cstring>
#include <exception>

namespace kivo::log {
namespace {

constexpr std::uint64_t kBatchLimit = 256 * 1024;
constexpr std::chrono::milliseconds kFirstLockRetry{1};
constexpr std::chrono::milliseconds kLongestLockRetry{10};

// --- the ring ---

std::size_t ring_index(const WriterState& state, std::uint64_t position) {
  return static_cast<std::size_t>(position % state.queue_limit);
}

std::size_t ring_span(const WriterState& state, std::uint64_t position, std::uint64_t length) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(length, state.queue_limit - ring_index(state, position)));
}

void copy_in(WriterState& state, std::string_view bytes) {
  const std::size_t first = ring_span(state, state.tail, bytes.size());
  std::memcpy(state.ring.get() + ring_index(state, state.tail), bytes.data(), first);
  std::memcpy(state.ring.get(), bytes.data() + first, bytes.size() - first);
  state.tail += bytes.size();
}

void copy_out(const WriterState& state, std::uint64_t from, std::uint64_t to, std::string& out) {
  const std::size_t first = ring_span(state, from, to - from);
  out.append(state.ring.get() + ring_index(state, from), first);
  out.append(state.ring.get(), static_cast<std::size_t>(to - from) - first);
}

// The position just after the first line feed in [from, to), or `to`.
std::uint64_t end_of_first_line(const WriterState& state, std::uint64_t from, std::uint64_t to) {
  while (from < to) {
    const std::size_t length = ring_span(state, from, to - from);
    const char* start = state.ring.get() + ring_index(state, from);
    if (const void* found = std::memchr(start, '\n', length); found != nullptr) {
      return from + static_cast<std::uint64_t>(static_cast<const char*>(found) - start) + 1;
    }
    from += length;
  }
  return to;
}

// Takes the next batch off the ring: the lines before `limit`, up to 256 KiB
// and ending at a line end; a first line longer than that forms a batch alone.
void take_batch(WriterState& state, std::uint64_t limit, std::string& batch) {
  batch.clear();
  std::uint64_t end = std::min(limit, state.head + kBatchLimit);
  copy_out(state, state.head, end, batch);
  if (end < limit) {
    if (const std::size_t last = batch.rfind('\n'); last != std::string::npos) {
      batch.resize(last + 1);
      end = state.head + last + 1;
    } else {
      const std::uint64_t line_end = end_of_first_line(state, end, limit);
      copy_out(state, end, line_end, batch);
      end = line_end;
    }
  }
  // Every byte taken off gives its room back to the bound.
  state.head = end;
}

// --- the writer ---

// The text a failed batch leaves for report_internal_error and the next flush.
std::string error_text(const KivoError& error) {
  return error.kind() == KivoError::Kind::kIo ? error.text() : error.display();
}

void answer(WriterState& state, const std::shared_ptr<ReplySlot>& slot, Result<void> result) {
  slot->answer = std::move(result);
  slot->status = ReplySlot::Status::kAnswered;
  state.reply_ready.notify_all();
}

// Polls the flock of the file while another process holds it. Waiting on
// work_ready lets the guard's destruction cut the wait short.
class LockWaiter {
 public:
  explicit LockWaiter(WriterState& state) : state_(state) {}

  bool operator()() {
    std::unique_lock lock(state_.mutex);
    auto until = std::chrono::steady_clock::now() + retry_;
    if (state_.lock_deadline) {
      if (std::chrono::steady_clock::now() >= *state_.lock_deadline) return false;
      until = std::min(until, *state_.lock_deadline);
    }
    state_.work_ready.wait_until(lock, until);
    retry_ = std::min(retry_ * 2, kLongestLockRetry);
    return true;
  }

 private:
  WriterState& state_;
  std::chrono::milliseconds retry_ = kFirstLockRetry;
};

bool request_due(const WriterState& state) {
  return !state.requests.empty() && state.requests.front().position == state.head;
}

void writer_loop(const FileSink& sink, WriterState& state) {
  std::string batch;
  batch.reserve(kBatchLimit);
  std::optional<std::string> last_error;
  while (true) {
    std::unique_lock lock(state.mutex);
    while (state.head == state.tail && !request_due(state)) {
      if (state.closed) return;
      state.writer_idle = true;
      state.work_ready.wait(lock);
    }
    state.writer_idle = false;

    if (request_due(state)) {
      Request request = std::move(state.requests.front());
      state.requests.pop_front();
      if (request.kind == Request::Kind::kShutdown) {
        answer(state, request.reply, ok());
        return;
      }
      if (last_error) {
        answer(state, request.reply, fail(KivoError::io(IoKind::kOther, std::move(*last_error))));
        last_error.reset();
      } else {
        answer(state, request.reply, ok());
      }
      continue;
    }

    take_batch(state, state.requests.empty() ? state.tail : state.requests.front().position, batch);
    lock.unlock();

    LockWaiter wait(state);
    if (auto written = sink.write_batch(batch, std::ref(wait)); !written) {
      std::string text = error_text(written.error());
      report_internal_error("Kivo log writer failed: " + text);
      last_error = std::move(text);
    }
  }
}

void abort_writer(WriterState& state) {
  std::lock_guard lock(state.mutex);
  if (state.aborted) return;
  state.closed = true;
  state.shutdown_requested = true;
  state.aborted = true;
  for (Request& request : state.requests) request.reply->status = ReplySlot::Status::kClosed;
  state.requests.clear();
  state.head = state.tail;
  state.reply_ready.notify_all();
}

Result<void> queue_request(WriterState& state, std::unique_lock<std::mutex>& lock,
                           Request::Kind kind, std::string_view closed_text) {
  auto slot = std::make_shared<ReplySlot>();
  state.requests.push_back(Request{kind, state.tail, slot});
  state.work_ready.notify_all();
  state.reply_ready.wait(lock, [&] { return slot->status != ReplySlot::Status::kPending; });
  if (slot->status == ReplySlot::Status::kClosed) {
    return fail(KivoError::invalid_message(std::string(closed_text)));
  }
  return std::move(slot->answer);
}

// Each thread formats into its own buffer, kept between calls so that a log
// call allocates nothing once the buffer has grown. `gone` outlives the
// buffer (it has no destructor), for calls made while the thread ends.
struct ThreadBuffer {
  std::string text;
  bool taken = false;
  ~ThreadBuffer();
};
thread_local bool thread_buffer_gone = false;
thread_local ThreadBuffer thread_buffer;
ThreadBuffer::~ThreadBuffer() {
  thread_buffer_gone = true;
}

}  // namespace

WriterState::WriterState(std::uint64_t limit)
    : queue_limit(limit), ring(new char[static_cast<std::size_t>(limit)]) {
  // Touched now, so that no log call ever waits for a page of it.
  std::memset(ring.get(), 0, static_cast<std::size_t>(limit));
}

void enqueue_line(WriterState& state, std::string_view line) {
  if (line.empty()) return;
  bool wake = false;
  {
    std::lock_guard lock(state.mutex);
    if (state.closed || line.size() > state.queue_limit - state.queued_bytes()) return;
    copy_in(state, line);
    // A writer busy with a batch or waiting for the flock looks at the queue
    // again by itself; only an idle one needs waking.
    wake = state.writer_idle;
    state.writer_idle = false;
  }
  if (wake) state.work_ready.notify_all();
}

LineBuffer::LineBuffer(WriterState& state)
    : state_(state), borrowed_(!thread_buffer_gone && !thread_buffer.taken) {
  if (borrowed_) {
    thread_buffer.taken = true;
    thread_buffer.text.clear();
    text_ = &thread_buffer.text;
  } else {
    text_ = &own_;
  }
}

LineBuffer::~LineBuffer() {
  enqueue_line(state_, *text_);
  if (borrowed_) thread_buffer.taken = false;
}

void run_writer_thread(const FileSink& sink, WriterState& state) {
  // What escapes the loop ends this thread only, as a panic of it: the
  // guard's join reports it and the rest of the agent keeps running.
  try {
    writer_loop(sink, state);
    return;
  } catch (const std::exception& error) {
    report_panic(error.what());
  } catch (...) {
    report_panic("non-string panic payload");
  }
  abort_writer(state);
}

Result<void> request_flush(WriterState& state) {
  std::unique_lock lock(state.mutex);
  if (state.closed) {
    return fail(KivoError::io(
        IoKind::kBrokenPipe, state.aborted ? "log writer aborted" : "log writer is shutting down"));
  }
  return queue_request(state, lock, Request::Kind::kFlush, "log writer stopped before flush");
}

Result<void> request_shutdown(WriterState& state) {
  std::unique_lock lock(state.mutex);
  if (state.aborted || state.shutdown_requested) return ok();
  state.closed = true;
  state.shutdown_requested = true;
  return queue_request(state, lock, Request::Kind::kShutdown, "log writer stopped before shutdown");
}

void limit_lock_wait(WriterState& state, std::chrono::milliseconds wait) {
  std::lock_guard lock(state.mutex);
  state.lock_deadline = std::chrono::steady_clock::now() + wait;
  state.work_ready.notify_all();
}

}  // namespace kivo::log
