// Connection: one end of the service link, a Unix stream socket that carries
// Messages both ways.
//
// Threads: after resume() the connection runs two of its own. The reader
// ("kivo-xpc-read") takes messages off the socket and calls the event handler
// itself, one event at a time, in arrival order (unless an EventPump has
// lent it another thread meanwhile); while the handler runs,
// nothing more is read, so a slow handler holds the peer back. The writer
// ("kivo-xpc-write") only finishes what the socket did not take at once:
// a send writes on the caller's thread when nothing else is queued, and
// never waits for the socket.
//
// Events: every message with reply_to 0 becomes a WireMessage event. End of
// stream, a read or write error, a malformed message, an outgoing queue over
// 64 MiB, or cancel() end the connection; the handler then gets
// ConnectionError::kInvalid exactly once, and no event after it. A message
// with a non-zero reply_to goes to the send_with_reply() waiting for it, or is
// dropped when none is.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include "kivo/core/result.hpp"
#include "kivo/xpc/message.hpp"
#include "kivo/xpc/unique_fd.hpp"
#include "kivo/xpc/wire.hpp"

namespace kivo::xpc {

// The one error event of this transport: the connection is gone for good.
enum class ConnectionError : std::uint8_t { kInvalid };

// "connection_invalid"
std::string_view reason_text(ConnectionError error);

using Event = std::variant<WireMessage, ConnectionError>;
using EventHandler = std::function<void(Event)>;

// The answer to send_with_reply: the peer's message, or the error object of a
// connection that ended before it came.
class Reply {
 public:
  explicit Reply(Message message) : message_(std::move(message)) {}
  explicit Reply(ConnectionError error) : error_(error) {}

  bool is_error() const { return !message_.has_value(); }
  // Only when !is_error().
  Message& message() { return *message_; }
  const Message& message() const { return *message_; }
  // Only when is_error().
  ConnectionError error() const { return error_; }

 private:
  std::optional<Message> message_;
  ConnectionError error_ = ConnectionError::kInvalid;
};

// The most that may wait in the outgoing queue, counted in body bytes. A send
// that would queue more ends the connection.
inline constexpr std::size_t kMaxOutgoingBytes = 64u * 1024u * 1024u;

namespace detail {
class ConnectionCore;
}

// A copyable handle that sends on a connection and nothing else; it may
// outlive the Connection, whose end makes its sends no-ops.
class Sender {
 public:
  // See Connection::send and Connection::send_reply.
  Result<void> send(Message message) const;
  Result<void> send_reply(std::uint64_t request_id, Message reply) const;

 private:
  friend class Connection;
  explicit Sender(std::shared_ptr<detail::ConnectionCore> core) : core_(std::move(core)) {}
  std::shared_ptr<detail::ConnectionCore> core_;
};

// A copyable handle for a thread that waits for something the handler
// records: while it waits it reads the socket and runs the handler itself, so
// what it waits for reaches it without a hand-off from the reader thread.
// Events are still handled one at a time and in arrival order; the ones that
// come while a pump runs are handled on the pumping thread. Like Sender, it
// may outlive the Connection.
class EventPump {
 public:
  // Reads and handles events until done() holds, the deadline passes, or the
  // connection ends; returns done()'s last answer. done() is asked first, and
  // again after every event and every wake(), with none of the connection's
  // locks held; the caller must hold nothing the handler takes. Before
  // resume(), and from inside the handler, it only asks done().
  bool pump_until(const std::function<bool()>& done,
                  std::chrono::steady_clock::time_point deadline) const;
  // Makes every pump_until() running now ask done() again at once.
  void wake() const;

 private:
  friend class Connection;
  explicit EventPump(std::shared_ptr<detail::ConnectionCore> core) : core_(std::move(core)) {}
  std::shared_ptr<detail::ConnectionCore> core_;
};

class Connection {
 public:
  // Connects to the socket at `path`. Failure: InvalidMessage
  // "failed to create privileged XPC connection: <os error>".
  static Result<Connection> connect(const std::filesystem::path& path);
  // Takes over a socket that is already connected (the service's side, tests).
  static Connection adopt(UniqueFd socket);

  Connection(Connection&& other) noexcept = default;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // cancel(), then joins the threads (unless the handler itself is what
  // destroys the connection: the reader then ends once the handler returns).
  ~Connection();

  // Must come before resume(); later calls are ignored.
  void set_event_handler(EventHandler handler);
  // Starts the threads. Messages sent before it wait in the outgoing queue.
  void resume();

  // Queues a message with reply_to 0, numbered 1, 2, ... in the order of the
  // calls. Fails only for a message the format cannot carry (bad key, more
  // than 8 descriptors, body over 64 MiB). After the end of the connection
  // the message is dropped and the call still succeeds: whether the peer got
  // a message is never known to the sender.
  Result<void> send(Message message);
  // Queues a message that answers the peer's message `request_id`.
  Result<void> send_reply(std::uint64_t request_id, Message reply);
  // Sends and waits for the peer's message whose reply_to is this one's id.
  // If the connection ends first (or has ended), the reply is
  // ConnectionError::kInvalid. Needs resume() to have been called. From
  // inside the handler it reads on until the answer comes; events that
  // arrive meanwhile follow, in order, once the handler returns.
  Result<Reply> send_with_reply(Message message);

  Sender sender() const { return Sender(core_); }
  // Call before resume() if a thread will pump: until the first call the
  // reader thread keeps the socket to itself while it waits (a poll less per
  // message), so a pump that starts meanwhile waits for the next message.
  EventPump event_pump() const;

  // Waits at most `timeout` for every queued message to be on the socket;
  // true when they are, false on time-out or once the connection has ended.
  bool flush(std::chrono::milliseconds timeout);

  // Ends the connection: shuts the socket down, discards unsent messages and
  // unread events, waits for the handler's current call and its last event,
  // ConnectionError::kInvalid, and closes the socket. After it returns the
  // handler is never called again; from inside the handler, the last event
  // follows once the handler returns. So the caller must not hold anything
  // the handler waits for. Safe from any thread and more than once.
  void cancel();

  // True once the connection has ended (its last event may still be on its
  // way to the handler).
  bool is_ended() const;

 private:
  explicit Connection(std::shared_ptr<detail::ConnectionCore> core) : core_(std::move(core)) {}
  void release();

  std::shared_ptr<detail::ConnectionCore> core_;
};

}  // namespace kivo::xpc
