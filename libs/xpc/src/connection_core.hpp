// The shared state of one connection and its three threads. The threads keep
// the core alive while they run; the Connection handle owns the threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "kivo/xpc/connection.hpp"

namespace kivo::xpc::detail {

class ConnectionCore {
 public:
  explicit ConnectionCore(UniqueFd socket) : socket_(std::move(socket)) {}
  ConnectionCore(const ConnectionCore&) = delete;
  ConnectionCore& operator=(const ConnectionCore&) = delete;

  void set_event_handler(EventHandler handler);
  void resume(const std::shared_ptr<ConnectionCore>& self);
  Result<void> send(std::uint64_t reply_to, Message message);
  Result<Reply> send_with_reply(Message message);
  void cancel();
  // cancel(), then joins the event thread (or lets it finish on its own when
  // it is the caller).
  void release();
  bool is_ended() const;

 private:
  struct Outgoing {
    EncodedMessage encoded;
    Message owner;         // keeps the encoded descriptors open until written
    std::size_t sent = 0;  // bytes already on the socket (descriptors too, when > 0)
  };
  struct PendingEvent {
    Event event;
    std::size_t bytes = 0;
  };
  struct Waiter {
    bool done = false;
    std::optional<Message> reply;
  };

  // Queues an encoded message under the next id; 0 when the connection has
  // ended (now or before) and nothing was queued.
  std::uint64_t queue_locked(Outgoing item, Waiter* waiter);
  // When the message just queued is the only one and no write is under way,
  // writes what the socket takes at once on the caller's thread and leaves
  // the rest to the writer. Saves the hand-off to the writer on a link that
  // keeps up, without ever waiting for the socket.
  void write_directly_locked(std::unique_lock<std::mutex>& lock);
  void end_locked();

  void read_loop();
  void write_loop();
  void event_loop(const EventHandler& handler);

  mutable std::mutex mutex_;
  UniqueFd socket_;  // closed only once the reader and writer are gone
  EventHandler handler_;
  bool resumed_ = false;
  bool ended_ = false;
  std::uint64_t next_id_ = 1;

  std::deque<Outgoing> outgoing_;
  std::size_t outgoing_bytes_ = 0;
  std::condition_variable writer_wake_;
  bool writing_ = false;  // a thread is writing to the socket
  std::condition_variable write_idle_;

  std::deque<PendingEvent> events_;
  std::size_t event_bytes_ = 0;
  std::condition_variable events_ready_;
  std::condition_variable events_room_;

  std::map<std::uint64_t, Waiter*> waiters_;
  std::condition_variable reply_ready_;

  std::mutex threads_mutex_;  // starting and joining; taken before mutex_
  std::thread reader_;
  std::thread writer_;
  std::thread events_thread_;
};

}  // namespace kivo::xpc::detail
