#include "connection_core.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <new>
#include <utility>

#include "socket_io.hpp"

namespace kivo::xpc::detail {
namespace {

// How much the peer may send, in body bytes, while the handler waits inside
// send_with_reply. Past it the connection ends rather than grow memory.
constexpr std::size_t kMaxHeldEventBytes = 64u * 1024u * 1024u;

// The connection whose read turn this thread holds, if any.
thread_local const ConnectionCore* turn_holder_of = nullptr;

void name_this_thread(const char* name) {
  ::pthread_setname_np(::pthread_self(), name);
}

}  // namespace

void ConnectionCore::set_event_handler(EventHandler handler) {
  std::lock_guard lock(mutex_);
  if (!resumed_) handler_ = std::move(handler);
}

void ConnectionCore::resume(const std::shared_ptr<ConnectionCore>& self) {
  std::lock_guard threads(threads_mutex_);
  bool start_writer = false;
  {
    std::lock_guard lock(mutex_);
    if (resumed_) return;
    resumed_ = true;
    // The reader runs even on an ended connection: it delivers the end.
    reader_running_ = true;
    start_writer = writer_running_ = !ended_;
  }
  reader_ = std::thread([self] {
    name_this_thread("kivo-xpc-read");
    self->read_loop();
  });
  if (start_writer) {
    writer_ = std::thread([self] {
      name_this_thread("kivo-xpc-write");
      self->write_loop();
    });
  }
}

Result<void> ConnectionCore::send(std::uint64_t reply_to, Message message) {
  auto encoded = encode_message(0, reply_to, message);
  if (!encoded) return fail(std::move(encoded).error());
  Outgoing item{std::move(*encoded), std::move(message)};
  std::unique_lock lock(mutex_);
  if (queue_locked(std::move(item), nullptr) != 0) flush_locked(lock);
  return ok();
}

Result<Reply> ConnectionCore::send_with_reply(Message message) {
  auto encoded = encode_message(0, 0, message);
  if (!encoded) return fail(std::move(encoded).error());
  Outgoing item{std::move(*encoded), std::move(message)};
  Waiter waiter;
  std::unique_lock lock(mutex_);
  // The waiter is registered before the message can reach the socket, so
  // even an immediate answer finds it.
  const std::uint64_t id = queue_locked(std::move(item), &waiter);
  if (id == 0) return Reply(ConnectionError::kInvalid);
  flush_locked(lock);
  if (holds_read_turn()) {
    lock.unlock();
    read_until_answered(waiter);
    lock.lock();
  } else {
    waiter.ready.wait(lock, [&] { return waiter.done; });
  }
  if (waiter.reply) return Reply(std::move(*waiter.reply));
  return Reply(ConnectionError::kInvalid);
}

std::uint64_t ConnectionCore::queue_locked(Outgoing item, Waiter* waiter) {
  if (ended_) return 0;
  const std::uint64_t id = next_id_++;
  set_message_id(item.encoded, id);
  const std::size_t bytes = item.encoded.body_length();
  if (outgoing_bytes_ + bytes > kMaxOutgoingBytes) {
    end_locked();
    return 0;
  }
  if (waiter != nullptr) waiters_.emplace(id, waiter);
  outgoing_.push_back(std::move(item));
  outgoing_bytes_ += bytes;
  return id;
}

void ConnectionCore::flush_locked(std::unique_lock<std::mutex>& lock) {
  // Whoever is writing now looks at the queue again when done; before
  // resume() the writer finds the queue when it starts.
  if (!resumed_ || ended_ || writing_) return;
  if (outgoing_.size() != 1) {
    writer_wake_.notify_one();
    return;
  }
  Outgoing item = std::move(outgoing_.front());
  outgoing_.pop_front();
  outgoing_bytes_ -= item.encoded.body_length();
  writing_ = true;
  lock.unlock();
  auto reached = send_message_from(socket_.get(), item.encoded, 0, SendMode::kUntilFull);
  lock.lock();
  writing_ = false;
  write_idle_.notify_all();
  if (!reached) {
    end_locked();
    close_socket_if_unused_locked();
    return;
  }
  if (ended_) {
    close_socket_if_unused_locked();
    return;
  }
  if (*reached < item.encoded.bytes.size()) {
    // The socket is full: the writer finishes this message before any other.
    item.sent = *reached;
    outgoing_bytes_ += item.encoded.body_length();
    outgoing_.push_front(std::move(item));
  }
  // Only the writer is woken, and only for work: a message that did not fit,
  // or ones queued by others while this one was written.
  if (!outgoing_.empty()) writer_wake_.notify_one();
}

void ConnectionCore::end_locked() {
  if (ended_) return;
  ended_ = true;
  // Wakes a reader blocked in recvmsg and a writer blocked in sendmsg; the
  // descriptor itself stays open until both are done with it.
  if (socket_) ::shutdown(socket_.get(), SHUT_RDWR);
  outgoing_.clear();
  outgoing_bytes_ = 0;
  for (auto& [id, waiter] : waiters_) {
    waiter->done = true;
    waiter->ready.notify_all();
  }
  waiters_.clear();
  writer_wake_.notify_all();
  // Pumps waiting for the read turn leave: nothing more is read.
  read_turn_free_.notify_all();
  reader_may_read_.notify_one();
}

void ConnectionCore::close_socket_if_unused_locked() {
  if (ended_ && !reader_running_ && !writer_running_ && !writing_ && !read_turn_taken_) {
    socket_.reset();
  }
}

void ConnectionCore::take_read_turn_locked() {
  read_turn_taken_ = true;
  turn_holder_of = this;
}

void ConnectionCore::release_read_turn_locked() {
  read_turn_taken_ = false;
  turn_holder_of = nullptr;
  read_turn_free_.notify_all();
  if (pumps_ == 0) reader_may_read_.notify_one();
}

bool ConnectionCore::holds_read_turn() const {
  return turn_holder_of == this;
}

bool ConnectionCore::flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!resumed_) return outgoing_.empty();
  return write_idle_.wait_for(lock, timeout, [&] {
    return ended_ || (outgoing_.empty() && !writing_);
  }) && !ended_;
}

void ConnectionCore::cancel() {
  std::unique_lock lock(mutex_);
  end_locked();
  // The reader thread waits for the handler's current call to end and
  // delivers the end; when the caller is that handler, the end follows once
  // it returns, and the reader thread closes the socket after it.
  const bool from_handler = holds_read_turn();
  threads_done_.wait(lock, [&] { return !writer_running_ && (from_handler || !reader_running_); });
  // A sender may still be inside a direct write; the socket is shut down, so
  // it returns at once.
  write_idle_.wait(lock, [&] { return !writing_; });
  close_socket_if_unused_locked();
}

void ConnectionCore::release() {
  cancel();
  {
    // Once resumed, the reader thread lets go of the handler after the last
    // event; it may be running the handler right now.
    std::lock_guard lock(mutex_);
    if (!resumed_) handler_ = nullptr;
  }
  // Both threads are past their loops by now, so the joins are quick.
  std::lock_guard threads(threads_mutex_);
  if (writer_.joinable()) writer_.join();
  if (!reader_.joinable()) return;
  if (holds_read_turn()) {
    // The handler is dropping the connection: the reader thread ends by
    // itself once the handler returns, and keeps the core alive until then.
    reader_.detach();
  } else {
    reader_.join();
  }
}

bool ConnectionCore::is_ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

void ConnectionCore::read_loop() {
  for (;;) {
    std::uint64_t reads_before = 0;
    bool may_pump = false;
    {
      std::unique_lock lock(mutex_);
      reader_may_read_.wait(lock, [&] { return ended_ || (pumps_ == 0 && !read_turn_taken_); });
      if (ended_) break;
      reads_before = reads_;
      may_pump = pumps_allowed_;
      // Without pumps nobody else reads: the turn is held through the wait,
      // which saves a poll per message.
      if (!may_pump) take_read_turn_locked();
    }
    if (may_pump) {
      // Waits without the turn, so that a pump can take over meanwhile.
      (void)wait_readable(socket_.get(), -1, std::nullopt);
      std::lock_guard lock(mutex_);
      if (ended_) break;
      // A pump came, or read what woke this thread: look again.
      if (pumps_ != 0 || read_turn_taken_ || reads_ != reads_before) continue;
      take_read_turn_locked();
    }
    read_and_dispatch();
    std::lock_guard lock(mutex_);
    release_read_turn_locked();
  }

  // Pumps take no turn after the end, so once the current holder lets go
  // the end is the last event.
  {
    std::unique_lock lock(mutex_);
    read_turn_free_.wait(lock, [&] { return !read_turn_taken_; });
    take_read_turn_locked();
  }
  held_events_.clear();
  EventHandler handler = std::move(handler_);
  if (handler) {
    try {
      handler(Event(ConnectionError::kInvalid));
    } catch (...) {
      // Nothing is left to end.
    }
  }
  // Let go of what the handler holds before cancel() may return.
  handler = nullptr;
  std::lock_guard lock(mutex_);
  release_read_turn_locked();
  reader_running_ = false;
  close_socket_if_unused_locked();
  threads_done_.notify_all();
}

void ConnectionCore::read_and_dispatch() {
  // receive_one() gives no event once the connection has ended.
  Incoming incoming = receive_one();
  if (incoming.event) dispatch(std::move(*incoming.event));
  while (!held_events_.empty()) {
    {
      // The handler may have ended the connection (cancel() included): then
      // nothing but the end is delivered.
      std::lock_guard lock(mutex_);
      if (ended_) return;
    }
    WireMessage held = std::move(held_events_.front());
    held_events_.pop_front();
    if (held_events_.empty()) held_bytes_ = 0;
    dispatch(std::move(held));
  }
}

void ConnectionCore::dispatch(WireMessage wire) {
  if (!handler_) return;
  try {
    handler_(Event(std::move(wire)));
  } catch (...) {
    // A handler that throws has lost track of the conversation; end it
    // rather than go on with the next message.
    std::lock_guard lock(mutex_);
    end_locked();
  }
}

bool ConnectionCore::pump_until(const std::function<bool()>& done,
                                std::chrono::steady_clock::time_point deadline) {
  // From inside the handler the caller already reads; there is nothing to take over.
  if (holds_read_turn()) return done();
  std::unique_lock lock(mutex_);
  if (!resumed_ || !pumps_allowed_) {
    lock.unlock();
    return done();
  }
  ++pumps_;
  bool finished = false;
  for (;;) {
    lock.unlock();
    finished = done();
    lock.lock();
    if (finished || ended_ || std::chrono::steady_clock::now() >= deadline) break;
    if (read_turn_taken_) {
      read_turn_free_.wait_until(lock, deadline);
      continue;
    }
    take_read_turn_locked();
    lock.unlock();
    const Readiness readiness = wait_readable(socket_.get(), pump_wake_.get(), deadline);
    if (readiness == Readiness::kReadable) read_and_dispatch();
    lock.lock();
    release_read_turn_locked();
  }
  // The reader thread reads again once no pump is left.
  if (--pumps_ == 0) reader_may_read_.notify_one();
  return finished;
}

void ConnectionCore::allow_pumps() {
  std::lock_guard lock(mutex_);
  if (pumps_allowed_) return;
  pumps_allowed_ = true;
  pump_wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

void ConnectionCore::wake_pumps() {
  std::lock_guard lock(mutex_);
  if (pump_wake_) (void)::eventfd_write(pump_wake_.get(), 1);
  read_turn_free_.notify_all();
}

ConnectionCore::Incoming ConnectionCore::receive_one() {
  auto received = [&]() -> Result<ReceivedMessage> {
    try {
      return receive_message(socket_.get());
    } catch (const std::bad_alloc&) {
      return fail(KivoError::io(IoKind::kOther, "out of memory"));
    }
  }();
  std::lock_guard lock(mutex_);
  ++reads_;
  if (!received) {
    end_locked();
    return Incoming{std::nullopt, 0, true};
  }
  if (ended_) return Incoming{std::nullopt, 0, true};
  WireMessage& wire = received->wire;
  if (wire.reply_to == 0) return Incoming{std::move(wire), received->body_length, false};
  // A reply nobody waits for is dropped.
  const auto found = waiters_.find(wire.reply_to);
  if (found != waiters_.end()) {
    Waiter& waiter = *found->second;
    waiters_.erase(found);
    waiter.reply = std::move(wire.message);
    waiter.done = true;
    waiter.ready.notify_all();
  }
  return Incoming{};
}

void ConnectionCore::read_until_answered(const Waiter& waiter) {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      // The end marks every waiter done.
      if (waiter.done) return;
    }
    Incoming incoming = receive_one();
    if (incoming.ended) return;
    if (!incoming.event) continue;
    held_bytes_ += incoming.bytes;
    held_events_.push_back(std::move(*incoming.event));
    if (held_bytes_ > kMaxHeldEventBytes) {
      std::lock_guard lock(mutex_);
      end_locked();
      return;
    }
  }
}

void ConnectionCore::write_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    writer_wake_.wait(lock, [&] { return ended_ || (!outgoing_.empty() && !writing_); });
    if (ended_) break;
    Outgoing item = std::move(outgoing_.front());
    outgoing_.pop_front();
    outgoing_bytes_ -= item.encoded.body_length();
    writing_ = true;
    lock.unlock();
    auto reached = send_message_from(socket_.get(), item.encoded, item.sent, SendMode::kBlocking);
    lock.lock();
    writing_ = false;
    write_idle_.notify_all();
    if (!reached) {
      end_locked();
      break;
    }
  }
  writer_running_ = false;
  close_socket_if_unused_locked();
  threads_done_.notify_all();
}

}  // namespace kivo::xpc::detail
