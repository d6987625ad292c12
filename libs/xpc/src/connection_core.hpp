// The shared state of one connection and its two threads. The threads keep
// the core alive while they run; the Connection handle owns the threads.
//
// Reading goes by turns: whoever holds the read turn takes messages off the
// socket and calls the handler, so events stay one at a time and in order
// whichever thread handles them. Once pumps are allowed, the reader thread
// waits for the socket without the turn and takes it only to read; a thread
// in pump_until() goes first, and the reader thread stands aside until no
// pump is left.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
  // Ends the connection and waits until the handler has had its last event,
  // unless the caller is the handler itself.
  bool flush(std::chrono::milliseconds timeout);
  void cancel();
  // cancel(), then joins the threads (or lets the reader finish on its own
  // when it is the caller).
  void release();
  bool is_ended() const;
  // See EventPump. Until allow_pumps() the reader thread holds the read
  // turn while it waits for the socket, and pump_until() only asks done().
  void allow_pumps();
  bool pump_until(const std::function<bool()>& done,
                  std::chrono::steady_clock::time_point deadline);
  void wake_pumps();

 private:
  struct Outgoing {
    EncodedMessage encoded;
    Message owner;         // keeps the encoded descriptors open until written
    std::size_t sent = 0;  // bytes already on the socket (descriptors too, when > 0)
  };
  struct Waiter {
    bool done = false;
    std::optional<Message> reply;
    std::condition_variable ready;
  };
  // One message taken off the socket: an event for the handler, a reply
  // already handed to its waiter (no event), or the end of the connection.
  struct Incoming {
    std::optional<WireMessage> event;
    std::size_t bytes = 0;
    bool ended = false;
  };

  // Queues an encoded message under the next id; 0 when the connection has
  // ended (now or before) and nothing was queued.
  std::uint64_t queue_locked(Outgoing item, Waiter* waiter);
  // Gets what was just queued moving: when it is the only message and no
  // write is under way, writes what the socket takes at once on the caller's
  // thread; whatever is left goes to the writer. Never waits for the socket.
  void flush_locked(std::unique_lock<std::mutex>& lock);
  void end_locked();
  // Closes the socket once the connection has ended and no thread uses it.
  void close_socket_if_unused_locked();

  void take_read_turn_locked();
  void release_read_turn_locked();
  // The calling thread holds the read turn: it is the one in the handler.
  bool holds_read_turn() const;

  void read_loop();
  // With the read turn: takes one message off the socket and hands it on,
  // then the events held back meanwhile by send_with_reply.
  void read_and_dispatch();
  void dispatch(WireMessage wire);
  Incoming receive_one();
  // send_with_reply from inside the handler: nobody else reads the socket
  // then, so the handler's own thread reads until the answer comes.
  void read_until_answered(const Waiter& waiter);
  void write_loop();

  mutable std::mutex mutex_;
  UniqueFd socket_;  // closed only once the reader and writer are done with it
  // Called only by the holder of the read turn; the reader thread lets go of
  // it after the last event, so that a handler holding a Sender does not keep
  // the core alive through the core itself.
  EventHandler handler_;
  bool resumed_ = false;
  bool ended_ = false;
  std::uint64_t next_id_ = 1;

  std::deque<Outgoing> outgoing_;
  std::size_t outgoing_bytes_ = 0;
  std::condition_variable writer_wake_;
  bool writing_ = false;  // a thread is writing to the socket
  std::condition_variable write_idle_;

  std::map<std::uint64_t, Waiter*> waiters_;

  bool read_turn_taken_ = false;
  std::size_t pumps_ = 0;                    // threads inside pump_until()
  std::uint64_t reads_ = 0;                  // messages taken off the socket, ends included
  std::condition_variable read_turn_free_;   // pumps wait here for the turn
  std::condition_variable reader_may_read_;  // the reader thread waits here for no pump
  bool pumps_allowed_ = false;
  UniqueFd pump_wake_;  // an eventfd that ends a pump's wait

  // Set while the thread runs its loop; cleared (and threads_done_ told)
  // after the reader's last event.
  bool reader_running_ = false;
  bool writer_running_ = false;
  std::condition_variable threads_done_;

  // Events that came while the handler waited in send_with_reply; they go to
  // the handler, in order, once it returns. The read turn's own.
  std::deque<WireMessage> held_events_;
  std::size_t held_bytes_ = 0;

  std::mutex threads_mutex_;  // starting and joining; taken before mutex_
  std::thread reader_;
  std::thread writer_;
};

}  // namespace kivo::xpc::detail
