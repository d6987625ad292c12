#include "connection_core.hpp"

#include <pthread.h>
#include <sys/socket.h>

#include <utility>

#include "socket_io.hpp"

namespace kivo::xpc::detail {
namespace {

// How far the reader may run ahead of the handler, in body bytes. Past it the
// reader stops taking messages off the socket, so a slow handler holds the
// peer back instead of growing memory.
constexpr std::size_t kMaxPendingEventBytes = 64u * 1024u * 1024u;

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
  EventHandler handler;
  bool start_io = false;
  {
    std::lock_guard lock(mutex_);
    if (resumed_) return;
    resumed_ = true;
    start_io = !ended_;
    // Moved out so that a handler holding a Sender does not keep the core
    // alive through the core itself.
    handler = std::move(handler_);
  }
  events_thread_ = std::thread([self, handler = std::move(handler)] {
    name_this_thread("kivo-xpc-events");
    self->event_loop(handler);
  });
  if (start_io) {
    reader_ = std::thread([self] {
      name_this_thread("kivo-xpc-read");
      self->read_loop();
    });
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
  if (queue_locked(std::move(item), nullptr) != 0) write_directly_locked(lock);
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
  write_directly_locked(lock);
  reply_ready_.wait(lock, [&] { return waiter.done; });
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
  writer_wake_.notify_one();
  return id;
}

void ConnectionCore::write_directly_locked(std::unique_lock<std::mutex>& lock) {
  if (!resumed_ || ended_ || writing_ || outgoing_.size() != 1) return;
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
    return;
  }
  if (*reached < item.encoded.bytes.size() && !ended_) {
    // The socket is full: the writer finishes this message before any other.
    item.sent = *reached;
    outgoing_bytes_ += item.encoded.body_length();
    outgoing_.push_front(std::move(item));
  }
  writer_wake_.notify_one();
}

void ConnectionCore::end_locked() {
  if (ended_) return;
  ended_ = true;
  // Wakes a reader blocked in recvmsg and a writer blocked in sendmsg; the
  // descriptor itself stays open until both are gone.
  if (socket_) ::shutdown(socket_.get(), SHUT_RDWR);
  outgoing_.clear();
  outgoing_bytes_ = 0;
  for (auto& [id, waiter] : waiters_) waiter->done = true;
  waiters_.clear();
  events_.push_back(PendingEvent{Event(ConnectionError::kInvalid), 0});
  writer_wake_.notify_all();
  events_ready_.notify_all();
  events_room_.notify_all();
  reply_ready_.notify_all();
}

void ConnectionCore::cancel() {
  {
    std::lock_guard lock(mutex_);
    end_locked();
    // Nothing but the final error is delivered after a cancel.
    std::erase_if(events_, [](const PendingEvent& pending) {
      return std::holds_alternative<WireMessage>(pending.event);
    });
    event_bytes_ = 0;
  }
  std::lock_guard threads(threads_mutex_);
  for (std::thread* thread : {&reader_, &writer_}) {
    if (thread->joinable() && thread->get_id() != std::this_thread::get_id()) thread->join();
  }
  std::unique_lock lock(mutex_);
  // A sender may still be inside a direct write; the socket is shut down, so
  // it returns at once.
  write_idle_.wait(lock, [&] { return !writing_; });
  socket_.reset();
}

void ConnectionCore::release() {
  cancel();
  {
    std::lock_guard lock(mutex_);
    handler_ = nullptr;
  }
  std::lock_guard threads(threads_mutex_);
  if (!events_thread_.joinable()) return;
  if (events_thread_.get_id() == std::this_thread::get_id()) {
    // The handler is dropping the connection: the thread ends by itself
    // right after, and keeps the core alive until then.
    events_thread_.detach();
  } else {
    events_thread_.join();
  }
}

bool ConnectionCore::is_ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

void ConnectionCore::read_loop() {
  for (;;) {
    auto received = [&]() -> Result<ReceivedMessage> {
      try {
        return receive_message(socket_.get());
      } catch (const std::bad_alloc&) {
        return fail(KivoError::io(IoKind::kOther, "out of memory"));
      }
    }();
    std::unique_lock lock(mutex_);
    if (!received) {
      end_locked();
      return;
    }
    if (ended_) return;
    WireMessage& wire = received->wire;
    if (wire.reply_to != 0) {
      const auto waiter = waiters_.find(wire.reply_to);
      if (waiter != waiters_.end()) {
        waiter->second->reply = std::move(wire.message);
        waiter->second->done = true;
        waiters_.erase(waiter);
        reply_ready_.notify_all();
      }
      continue;
    }
    const std::size_t bytes = received->body_length;
    events_room_.wait(lock, [&] {
      return ended_ || event_bytes_ == 0 || event_bytes_ + bytes <= kMaxPendingEventBytes;
    });
    if (ended_) return;
    events_.push_back(PendingEvent{Event(std::move(wire)), bytes});
    event_bytes_ += bytes;
    events_ready_.notify_one();
  }
}

void ConnectionCore::write_loop() {
  for (;;) {
    std::unique_lock lock(mutex_);
    writer_wake_.wait(lock, [&] { return ended_ || (!outgoing_.empty() && !writing_); });
    if (ended_) return;
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
      return;
    }
  }
}

void ConnectionCore::event_loop(const EventHandler& handler) {
  for (;;) {
    std::unique_lock lock(mutex_);
    events_ready_.wait(lock, [&] { return !events_.empty(); });
    PendingEvent pending = std::move(events_.front());
    events_.pop_front();
    event_bytes_ -= pending.bytes;
    events_room_.notify_all();
    lock.unlock();

    const bool last = std::holds_alternative<ConnectionError>(pending.event);
    if (handler) {
      try {
        handler(std::move(pending.event));
      } catch (...) {
        // A handler that throws has lost track of the conversation; end it
        // rather than go on with the next message.
        lock.lock();
        end_locked();
        lock.unlock();
      }
    }
    if (last) return;
  }
}

}  // namespace kivo::xpc::detail
