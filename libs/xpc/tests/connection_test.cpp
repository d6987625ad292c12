#include "kivo/xpc/connection.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kivo/xpc/bounded_queue.hpp"
#include "test_support.hpp"

namespace kivo::xpc {
namespace {

using testing::Bytes;

// A bound on waiting for something that should happen at once; never reached
// by a passing test.
constexpr auto kPatience = std::chrono::seconds(20);

// Records what the handler is given, and on which thread.
class EventLog {
 public:
  EventHandler handler() {
    return [this](Event event) { record(std::move(event)); };
  }

  void record(Event event) {
    std::array<char, 16> name{};
    ::pthread_getname_np(::pthread_self(), name.data(), name.size());
    std::lock_guard lock(mutex_);
    thread_name_ = name.data();
    threads_.push_back(std::this_thread::get_id());
    if (std::holds_alternative<ConnectionError>(event)) ++errors_;
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  bool wait_for_events(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return events_.size() >= count; });
  }
  bool wait_for_end() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return errors_ > 0; });
  }

  // Read these once the connection is gone, so that no event can still come.
  std::vector<Event>& events() { return events_; }
  const std::vector<std::thread::id>& threads() const { return threads_; }
  const std::string& thread_name() const { return thread_name_; }
  std::size_t errors() const { return errors_; }
  std::size_t messages() const { return events_.size() - errors_; }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  const Message& message(std::size_t index) {
    return std::get<WireMessage>(events_.at(index)).message;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::vector<std::thread::id> threads_;
  std::string thread_name_;
  std::size_t errors_ = 0;
};

std::vector<std::uint8_t> framed(std::uint64_t id, std::uint64_t reply_to, const Message& message) {
  auto encoded = encode_message(id, reply_to, message);
  EXPECT_TRUE(encoded);
  return encoded ? encoded->bytes : std::vector<std::uint8_t>{};
}

Message numbered(std::uint64_t sequence) {
  Message message;
  message.set_uint64("seq", sequence);
  return message;
}

// Writes bytes as the peer, with descriptors riding on them.
void raw_send(int fd, const std::vector<std::uint8_t>& bytes, const std::vector<int>& fds = {}) {
  iovec io{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  std::vector<unsigned char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  if (!fds.empty()) {
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    cmsghdr* item = CMSG_FIRSTHDR(&header);
    item->cmsg_level = SOL_SOCKET;
    item->cmsg_type = SCM_RIGHTS;
    item->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(item), fds.data(), sizeof(int) * fds.size());
  }
  ASSERT_EQ(::sendmsg(fd, &header, MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Sends after something that may already have ended the connection.
void send_if_still_open(int fd, const std::vector<std::uint8_t>& bytes) {
  (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Reads one message as the peer (descriptors are not expected).
std::optional<WireMessage> raw_receive(int fd) {
  std::array<std::uint8_t, kLengthPrefixSize> prefix{};
  if (::recv(fd, prefix.data(), prefix.size(), MSG_WAITALL) != 4) return std::nullopt;
  const auto length = decode_body_length(prefix);
  if (!length) return std::nullopt;
  std::vector<std::uint8_t> body(*length);
  if (::recv(fd, body.data(), body.size(), MSG_WAITALL) != static_cast<ssize_t>(body.size())) {
    return std::nullopt;
  }
  auto decoded = decode_body(body, {});
  if (!decoded) return std::nullopt;
  return std::move(*decoded);
}

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [agent_end, peer_end] = testing::make_socket_pair();
    agent_ = std::make_unique<Connection>(Connection::adopt(std::move(agent_end)));
    peer_ = std::move(peer_end);
  }

  void start() {
    agent_->set_event_handler(log_.handler());
    agent_->resume();
  }

  // Destroys the agent's connection, which waits for its last event.
  void finish() { agent_.reset(); }

  void expect_ended_once_after(std::size_t messages) {
    finish();
    ASSERT_FALSE(log_.events().empty());
    EXPECT_TRUE(std::holds_alternative<ConnectionError>(log_.events().back()));
    EXPECT_EQ(log_.errors(), 1u);
    EXPECT_EQ(log_.messages(), messages);
  }

  EventLog log_;  // outlives the connection
  std::unique_ptr<Connection> agent_;
  UniqueFd peer_;
};

TEST_F(ConnectionTest, HandlesEventsOneAtATimeInArrivalOrderOnItsOwnThread) {
  start();
  constexpr std::uint64_t kCount = 200;
  // Several messages per write, so that message boundaries fall inside reads.
  std::vector<std::uint8_t> stream;
  for (std::uint64_t i = 1; i <= kCount; ++i) {
    const auto bytes = framed(i, 0, numbered(i));
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  }
  raw_send(peer_.get(), stream);
  ASSERT_TRUE(log_.wait_for_events(kCount));
  peer_.reset();
  expect_ended_once_after(kCount);

  for (std::uint64_t i = 0; i < kCount; ++i) EXPECT_EQ(log_.message(i).uint64("seq"), i + 1);
  const auto& threads = log_.threads();
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  for (const auto& id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_EQ(log_.thread_name(), "kivo-xpc-read");
}

TEST_F(ConnectionTest, ReceivedDescriptorsReferToTheFilesTheServiceSent) {
  start();
  auto [pipe_read, pipe_write] = testing::make_pipe();
  auto [media_agent, media_service] = testing::make_socket_pair();
  Connection service = Connection::adopt(std::move(peer_));
  service.resume();

  Message message;
  message.set_uint64("kind", 3);
  message.set_data("payload", std::string_view("{\"x\":1}"));
  message.set_fd("pipe", std::move(pipe_write));
  message.set_fd("media_fd", std::move(media_agent));
  ASSERT_TRUE(service.send(std::move(message)));
  ASSERT_TRUE(log_.wait_for_events(1));

  const auto& event = std::get<WireMessage>(log_.events().front());
  EXPECT_EQ(event.message_id, 1u);
  EXPECT_EQ(event.message.uint64("kind"), 3u);
  const auto payload = event.message.data("payload");
  ASSERT_TRUE(payload);
  EXPECT_EQ(std::string(payload->begin(), payload->end()), "{\"x\":1}");

  UniqueFd pipe = event.message.dup_fd("pipe");
  ASSERT_EQ(::write(pipe.get(), "p", 1), 1);
  char byte = 0;
  EXPECT_EQ(::read(pipe_read.get(), &byte, 1), 1);

  const UniqueFd media = event.message.dup_fd("media_fd");
  ASSERT_EQ(::send(media.get(), "m", 1, MSG_NOSIGNAL), 1);
  EXPECT_EQ(::recv(media_service.get(), &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'm');

  // Neither side keeps a copy of what it sent or received once the
  // connections and the event are gone.
  service.cancel();
  finish();
  log_.events().clear();
  pipe.reset();
  EXPECT_TRUE(testing::all_writers_closed(pipe_read.get()));
}

TEST_F(ConnectionTest, NumbersOutgoingMessagesFromOne) {
  start();
  ASSERT_TRUE(agent_->send(numbered(10)));
  ASSERT_TRUE(agent_->send_reply(77, numbered(11)));
  ASSERT_TRUE(agent_->sender().send(numbered(12)));

  for (std::uint64_t id = 1; id <= 3; ++id) {
    const auto received = raw_receive(peer_.get());
    ASSERT_TRUE(received);
    EXPECT_EQ(received->message_id, id);
    EXPECT_EQ(received->reply_to, id == 2 ? 77u : 0u);
    EXPECT_EQ(received->message.uint64("seq"), id + 9);
  }
}

TEST_F(ConnectionTest, ReplyNobodyWaitsForIsDropped) {
  start();
  raw_send(peer_.get(), framed(1, 5, numbered(1)));
  raw_send(peer_.get(), framed(2, 0, numbered(2)));
  ASSERT_TRUE(log_.wait_for_events(1));
  peer_.reset();
  expect_ended_once_after(1);
  EXPECT_EQ(log_.message(0).uint64("seq"), 2u);
}

// How the peer ends the conversation, and how many messages get through
// first. `pipe_write` is a descriptor the peer may pass along; whatever the
// agent received of it must be closed once the connection is gone.
struct EndingCase {
  const char* name;
  std::function<void(int peer, int pipe_write)> act;
  std::size_t messages_before;
};

class ConnectionEndingTest : public ConnectionTest,
                             public ::testing::WithParamInterface<EndingCase> {};

TEST_P(ConnectionEndingTest, ConnectionInvalidComesOnceAndLastAndNoDescriptorLeaks) {
  start();
  auto [pipe_read, pipe_write] = testing::make_pipe();
  GetParam().act(peer_.get(), pipe_write.get());
  pipe_write.reset();
  ASSERT_TRUE(log_.wait_for_end());
  expect_ended_once_after(GetParam().messages_before);
  log_.events().clear();  // the handler lets go of what it was given
  EXPECT_TRUE(testing::all_writers_closed(pipe_read.get()));
}

// A body whose entries name `count` descriptors.
Bytes naming_descriptors(std::uint32_t count) {
  Bytes body;
  body.header(1, 0, count);
  for (std::uint32_t i = 0; i < count; ++i) body.key("fd" + std::to_string(i), 3).u32(i);
  return body;
}

INSTANTIATE_TEST_SUITE_P(
    EveryEnd, ConnectionEndingTest,
    ::testing::Values(
        EndingCase{"EndOfStream", [](int peer, int) { ::shutdown(peer, SHUT_WR); }, 0},
        EndingCase{"EndOfStreamInsideAMessage",
                   [](int peer, int pipe_write) {
                     // Announces 100 bytes of body, sends 20.
                     raw_send(peer, Bytes().u32(100).header(1, 0, 1).get(), {pipe_write});
                     ::shutdown(peer, SHUT_WR);
                   },
                   0},
        EndingCase{"BadLengthThenAGoodMessage",
                   [](int peer, int pipe_write) {
                     raw_send(peer, framed(1, 0, numbered(1)));
                     raw_send(peer, Bytes().u32(5).zeros(5).get(), {pipe_write});
                     send_if_still_open(peer, framed(2, 0, numbered(2)));
                   },
                   1},
        EndingCase{"LengthOverSixtyFourMebibytes",
                   [](int peer, int) { raw_send(peer, Bytes().u32(kMaxBodyLength + 1).get()); }, 0},
        EndingCase{"MalformedBodyThenAGoodMessage",
                   [](int peer, int) {
                     raw_send(peer, Bytes().header(1, 0, 1).key("a", 9).u64(0).framed());
                     send_if_still_open(peer, framed(2, 0, numbered(2)));
                   },
                   0},
        EndingCase{"DescriptorNamedByNoEntry",
                   [](int peer, int pipe_write) {
                     raw_send(peer, naming_descriptors(0).framed(), {pipe_write});
                   },
                   0},
        EndingCase{"MoreThanEightDescriptors",
                   [](int peer, int pipe_write) {
                     raw_send(peer, naming_descriptors(9).framed(),
                              std::vector<int>(9, pipe_write));
                   },
                   0},
        EndingCase{"MalformedAfterAMessageWithDescriptors",
                   [](int peer, int pipe_write) {
                     raw_send(peer, naming_descriptors(2).framed(), {pipe_write, pipe_write});
                     raw_send(peer, Bytes().header(0, 0, 0).framed());
                   },
                   1}),
    [](const ::testing::TestParamInfo<EndingCase>& param_info) { return param_info.param.name; });

TEST_F(ConnectionTest, CancelIsFollowedOnlyByConnectionInvalid) {
  start();
  raw_send(peer_.get(), framed(1, 0, numbered(1)));
  ASSERT_TRUE(log_.wait_for_events(1));
  agent_->cancel();
  // Whatever the peer sends now is never delivered.
  ::send(peer_.get(), "xxxx", 4, MSG_NOSIGNAL);
  ASSERT_TRUE(log_.wait_for_end());
  agent_->cancel();  // a second cancel changes nothing
  expect_ended_once_after(1);
  // The agent's end is closed: the peer reads end of stream.
  char byte = 0;
  EXPECT_EQ(::recv(peer_.get(), &byte, 1, 0), 0);
}

TEST_F(ConnectionTest, HandlerMayCancelTheConnection) {
  agent_->set_event_handler([this](Event event) {
    const bool first_message = std::holds_alternative<WireMessage>(event);
    log_.record(std::move(event));
    if (first_message) agent_->cancel();
  });
  agent_->resume();
  raw_send(peer_.get(), framed(1, 0, numbered(1)));
  send_if_still_open(peer_.get(), framed(2, 0, numbered(2)));
  ASSERT_TRUE(log_.wait_for_end());
  expect_ended_once_after(1);
}

TEST_F(ConnectionTest, HandlerMayDestroyTheConnection) {
  auto log = std::make_shared<EventLog>();
  agent_->set_event_handler([this, log](Event event) {
    const bool first_message = std::holds_alternative<WireMessage>(event);
    log->record(std::move(event));
    if (first_message) agent_.reset();
  });
  agent_->resume();
  raw_send(peer_.get(), framed(1, 0, numbered(1)));
  ASSERT_TRUE(log->wait_for_end());
  EXPECT_EQ(log->errors(), 1u);
}

// cancel() from another thread while the handler is busy: by the time it
// returns, the handler has finished that call and had its last event.
TEST_F(ConnectionTest, CancelReturnsOnlyAfterTheHandlersLastEvent) {
  std::atomic<bool> entered{false};
  std::atomic<bool> cancelling{false};
  agent_->set_event_handler([&](Event event) {
    const bool message = std::holds_alternative<WireMessage>(event);
    if (message) {
      entered = true;
      while (!cancelling) std::this_thread::yield();
    }
    log_.record(std::move(event));
  });
  agent_->resume();
  raw_send(peer_.get(), framed(1, 0, numbered(1)));
  while (!entered) std::this_thread::yield();
  // Lets the handler go on once cancel() has begun.
  std::thread releaser([&] {
    while (!agent_->is_ended()) std::this_thread::yield();
    cancelling = true;
  });
  agent_->cancel();
  // Read without waiting: nothing may come after cancel() has returned.
  const std::size_t errors = log_.errors();
  const std::size_t messages = log_.messages();
  releaser.join();
  EXPECT_EQ(errors, 1u);
  EXPECT_EQ(messages, 1u);
  expect_ended_once_after(1);
}

// The handler may ask the peer something and wait for the answer; what the
// peer sends meanwhile reaches the handler afterwards, in order.
TEST_F(ConnectionTest, HandlerMaySendWithReply) {
  std::optional<Result<Reply>> answer;
  agent_->set_event_handler([&](Event event) {
    auto* wire = std::get_if<WireMessage>(&event);
    if (wire != nullptr && wire->message.uint64("seq") == 1u) {
      answer.emplace(agent_->send_with_reply(numbered(100)));
    }
    log_.record(std::move(event));
  });
  agent_->resume();
  raw_send(peer_.get(), framed(1, 0, numbered(1)));
  const auto question = raw_receive(peer_.get());
  ASSERT_TRUE(question);
  raw_send(peer_.get(), framed(2, 0, numbered(2)));
  raw_send(peer_.get(), framed(3, question->message_id + 1, numbered(3)));  // answers nothing
  raw_send(peer_.get(), framed(4, question->message_id, numbered(4)));
  raw_send(peer_.get(), framed(5, 0, numbered(5)));
  ASSERT_TRUE(log_.wait_for_events(3));
  peer_.reset();
  expect_ended_once_after(3);

  ASSERT_TRUE(answer && *answer);
  ASSERT_FALSE((*answer)->is_error());
  EXPECT_EQ((*answer)->message().uint64("seq"), 4u);
  EXPECT_EQ(log_.message(0).uint64("seq"), 1u);
  EXPECT_EQ(log_.message(1).uint64("seq"), 2u);
  EXPECT_EQ(log_.message(2).uint64("seq"), 5u);
}

TEST_F(ConnectionTest, HandlerGetsTheEndEvenWhenResumedAfterIt) {
  agent_->cancel();
  start();
  ASSERT_TRUE(log_.wait_for_end());
  expect_ended_once_after(0);
}

// The service side of the hello: answers every kind 1 with kind 2 and two
// sockets, after a command and a reply that answers nothing.
class HelloService {
 public:
  explicit HelloService(UniqueFd socket) : connection_(Connection::adopt(std::move(socket))) {
    auto [media_agent, media_service] = testing::make_socket_pair();
    auto [bulk_agent, bulk_service] = testing::make_socket_pair();
    media_ = std::move(media_service);
    bulk_ = std::move(bulk_service);
    connection_.set_event_handler(
        [sender = connection_.sender(), media = std::make_shared<UniqueFd>(std::move(media_agent)),
         bulk = std::make_shared<UniqueFd>(std::move(bulk_agent))](Event event) {
          auto* wire = std::get_if<WireMessage>(&event);
          if (wire == nullptr || wire->message.uint64("kind") != 1u) return;
          Message stray;
          stray.set_uint64("kind", 2);
          EXPECT_TRUE(sender.send_reply(wire->message_id + 100, std::move(stray)));
          Message command;
          command.set_uint64("kind", 3);
          EXPECT_TRUE(sender.send(std::move(command)));
          Message accepted;
          accepted.set_uint64("kind", 2);
          accepted.set_uint64("agent_generation", 42);
          accepted.set_fd("media_fd", std::move(*media));
          accepted.set_fd("bulk_fd", std::move(*bulk));
          EXPECT_TRUE(sender.send_reply(wire->message_id, std::move(accepted)));
        });
    connection_.resume();
  }

  Connection connection_;
  UniqueFd media_;
  UniqueFd bulk_;
};

Message hello() {
  Message message;
  message.set_uint64("kind", 1);
  message.set_data("payload", std::string_view("{\"session\":{}}"));
  return message;
}

TEST_F(ConnectionTest, SynchronousReplyIsTheMessageThatAnswersIt) {
  start();
  HelloService service(std::move(peer_));

  auto reply = agent_->send_with_reply(hello());
  ASSERT_TRUE(reply);
  ASSERT_FALSE(reply->is_error());
  const Message& accepted = reply->message();
  EXPECT_EQ(accepted.uint64("kind"), 2u);
  EXPECT_EQ(accepted.uint64("agent_generation"), 42u);
  const UniqueFd media = accepted.dup_fd("media_fd");
  const UniqueFd bulk = accepted.dup_fd("bulk_fd");
  ASSERT_EQ(::send(media.get(), "m", 1, MSG_NOSIGNAL), 1);
  ASSERT_EQ(::send(bulk.get(), "b", 1, MSG_NOSIGNAL), 1);
  char byte = 0;
  EXPECT_EQ(::recv(service.media_.get(), &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'm');
  EXPECT_EQ(::recv(service.bulk_.get(), &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'b');

  // The command reached the handler; the stray reply reached no one.
  ASSERT_TRUE(log_.wait_for_events(1));
  service.connection_.cancel();
  expect_ended_once_after(1);
  EXPECT_EQ(log_.message(0).uint64("kind"), 3u);
}

TEST_F(ConnectionTest, SynchronousReplyIsAnErrorWhenThePeerClosesFirst) {
  start();
  std::thread peer([this] {
    EXPECT_TRUE(raw_receive(peer_.get()));
    peer_.reset();
  });
  auto reply = agent_->send_with_reply(hello());
  peer.join();
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->is_error());
  EXPECT_EQ(reason_text(reply->error()), "connection_invalid");
  expect_ended_once_after(0);
}

TEST_F(ConnectionTest, SynchronousReplyOnAnEndedConnectionIsAnErrorAtOnce) {
  start();
  agent_->cancel();
  auto reply = agent_->send_with_reply(hello());
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->is_error());
}

// A message whose body is exactly `bytes` long.
Message of_body_size(std::size_t bytes) {
  Message message;
  message.set_data("a", std::vector<std::uint8_t>(bytes - 28));
  return message;
}

constexpr std::size_t kMebibyte = 1024 * 1024;

TEST_F(ConnectionTest, OutgoingQueueOverSixtyFourMebibytesEndsTheConnection) {
  auto [pipe_read, pipe_write] = testing::make_pipe();
  Message carrying;
  carrying.set_fd("fd", std::move(pipe_write));
  ASSERT_TRUE(agent_->send(std::move(carrying)));
  // Not resumed: nothing drains the queue, so its content is exact. The 29
  // bytes above and 64 bodies of 1 MiB less 16 bytes fit; one more MiB does not.
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(agent_->send(of_body_size(kMebibyte - 16)));
  EXPECT_FALSE(agent_->is_ended());
  ASSERT_TRUE(agent_->send(of_body_size(kMebibyte)));
  EXPECT_TRUE(agent_->is_ended());
  // Later sends are dropped without complaint.
  EXPECT_TRUE(agent_->send(numbered(1)));

  // What was queued is dropped, with its descriptors.
  EXPECT_TRUE(testing::all_writers_closed(pipe_read.get()));

  start();
  ASSERT_TRUE(log_.wait_for_end());
  expect_ended_once_after(0);
}

TEST_F(ConnectionTest, SendingNeverWaitsForAPeerThatDoesNotRead) {
  start();
  int sends = 0;
  while (!agent_->is_ended() && sends < 100) {
    ASSERT_TRUE(agent_->send(of_body_size(kMebibyte)));
    ++sends;
  }
  // 64 wait in the queue, one more or two are taken by the writer, which is
  // stuck in the socket; the next one overflows.
  EXPECT_GE(sends, 65);
  EXPECT_LE(sends, 67);
  ASSERT_TRUE(log_.wait_for_end());
  expect_ended_once_after(0);
}

TEST_F(ConnectionTest, UnencodableMessageIsRefusedAndTheConnectionGoesOn) {
  start();
  auto [pipe_read, pipe_write] = testing::make_pipe();
  Message crowded;
  for (int i = 0; i < 9; ++i) crowded.set_fd(std::to_string(i), std::move(*pipe_write.duplicate()));
  const auto sent = agent_->send(std::move(crowded));
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().kind(), KivoError::Kind::kInvalidMessage);
  EXPECT_FALSE(agent_->is_ended());

  ASSERT_TRUE(agent_->send(numbered(1)));
  const auto received = raw_receive(peer_.get());
  ASSERT_TRUE(received);
  EXPECT_EQ(received->message_id, 1u);
}

TEST_F(ConnectionTest, SenderOutlivesTheConnection) {
  start();
  const Sender sender = agent_->sender();
  finish();
  EXPECT_TRUE(sender.send(numbered(1)));
}

// A thread that pumps reads and handles events itself; the reader thread
// takes over again once it leaves.
class EventPumpTest : public ConnectionTest {
 protected:
  void start_pumping() {
    pump_.emplace(agent_->event_pump());
    start();
  }
  // Pumps until the log holds `count` events. `then` runs once the pump has
  // begun, when the reader thread already stands aside: what it makes the
  // peer send is read by the pump.
  bool pump_for(std::size_t count, std::chrono::milliseconds patience = kPatience,
                const std::function<void()>& then = {}) {
    bool begun = false;
    return pump_->pump_until(
        [&] {
          if (!std::exchange(begun, true) && then) then();
          return log_.count() >= count;
        },
        std::chrono::steady_clock::now() + patience);
  }

  std::optional<EventPump> pump_;
};

TEST_F(EventPumpTest, ThePumpingThreadHandlesEventsInOrderAndTheReaderTakesOverAfter) {
  start_pumping();
  ASSERT_TRUE(pump_for(2, kPatience, [&] {
    raw_send(peer_.get(), framed(1, 0, numbered(1)));
    raw_send(peer_.get(), framed(2, 0, numbered(2)));
  }));
  // Nothing is left unread for the reader thread, which handles what follows.
  raw_send(peer_.get(), framed(3, 0, numbered(3)));
  ASSERT_TRUE(log_.wait_for_events(3));
  peer_.reset();
  expect_ended_once_after(3);

  const auto me = std::this_thread::get_id();
  EXPECT_EQ(log_.threads()[0], me);
  EXPECT_EQ(log_.threads()[1], me);
  EXPECT_NE(log_.threads()[2], me);
  for (std::uint64_t i = 0; i < 3; ++i) EXPECT_EQ(log_.message(i).uint64("seq"), i + 1);
}

TEST_F(EventPumpTest, StopsAtTheDeadlineOrWhenWokenWithoutTraffic) {
  start_pumping();
  EXPECT_FALSE(pump_for(1, std::chrono::milliseconds(10)));

  std::atomic<bool> asked{false};
  std::thread waker([&] {
    asked = true;
    pump_->wake();
  });
  // A wake before the pump starts counts too: done() is asked again.
  EXPECT_TRUE(pump_->pump_until([&] { return asked.load(); },
                                std::chrono::steady_clock::now() + kPatience));
  waker.join();
  EXPECT_EQ(log_.count(), 0u);
}

TEST_F(EventPumpTest, TheEndStopsThePumpAndComesOnceFromTheReader) {
  start_pumping();
  // done() never holds: the pump returns because the link ended.
  EXPECT_FALSE(pump_for(100, kPatience, [&] {
    raw_send(peer_.get(), framed(1, 0, numbered(1)));
    peer_.reset();
  }));
  ASSERT_TRUE(log_.wait_for_end());
  expect_ended_once_after(1);
}

// The handler may cancel the connection and ask the peer something while it
// runs on a pumping thread, as it may on the reader thread.
TEST_F(EventPumpTest, AHandlerOnThePumpingThreadMaySendWithReplyAndCancel) {
  std::optional<Result<Reply>> answer;
  agent_->set_event_handler([&](Event event) {
    auto* wire = std::get_if<WireMessage>(&event);
    const std::optional<std::uint64_t> seq = wire ? wire->message.uint64("seq") : std::nullopt;
    if (seq == 1u) answer.emplace(agent_->send_with_reply(numbered(100)));
    if (seq == 2u) agent_->cancel();
    log_.record(std::move(event));
  });
  pump_.emplace(agent_->event_pump());
  agent_->resume();
  std::thread peer;
  EXPECT_FALSE(pump_for(100, kPatience, [&] {
    peer = std::thread([&] {
      raw_send(peer_.get(), framed(1, 0, numbered(1)));
      const auto question = raw_receive(peer_.get());
      ASSERT_TRUE(question);
      raw_send(peer_.get(), framed(2, 0, numbered(2)));
      raw_send(peer_.get(), framed(3, question->message_id, numbered(3)));
    });
  }));
  peer.join();
  ASSERT_TRUE(log_.wait_for_end());
  // The peer sees the end of the stream.
  char byte = 0;
  EXPECT_EQ(::recv(peer_.get(), &byte, 1, 0), 0);
  expect_ended_once_after(2);
  ASSERT_TRUE(answer && *answer && !(*answer)->is_error());
  EXPECT_EQ((*answer)->message().uint64("seq"), 3u);
  EXPECT_EQ(log_.threads()[0], std::this_thread::get_id());
  EXPECT_EQ(log_.threads()[1], std::this_thread::get_id());
}

}  // namespace
}  // namespace kivo::xpc

namespace kivo::xpc {
namespace {

// A sender whose peer starts reading only when the test says so.
class ConnectionWriteTest : public ::testing::Test {
 protected:
  static constexpr int kCount = 3;

  ConnectionWriteTest() {
    auto [near_end, far_end] = testing::make_socket_pair();
    far_end_ = std::move(far_end);
    sender_.emplace(Connection::adopt(std::move(near_end)));
    sender_->resume();
  }
  ~ConnectionWriteTest() override {
    if (sender_) sender_->cancel();
    if (receiver_) receiver_->cancel();
  }

  // Sends kCount messages of 1 MiB each, more than the socket's buffer.
  void send_large_messages(bool with_descriptor) {
    for (int i = 0; i < kCount; ++i) {
      Message message;
      message.set_data("payload",
                       std::vector<std::uint8_t>(1u << 20, static_cast<std::uint8_t>(i)));
      if (with_descriptor) {
        auto [kept, passed] = testing::make_socket_pair();
        message.set_fd("fd", std::move(passed));
      }
      ASSERT_TRUE(sender_->send(std::move(message)));
    }
  }

  void start_reading() {
    receiver_.emplace(Connection::adopt(std::move(far_end_)));
    receiver_->set_event_handler([this](Event event) { received_.push(std::move(event)); });
    receiver_->resume();
  }

  UniqueFd far_end_;
  std::optional<Connection> sender_;
  std::optional<Connection> receiver_;
  BoundedQueue<Event> received_{16};
};

// Messages larger than the socket's buffer are written partly by the sender
// and finished by the writer; the peer must still read them whole, in order,
// with their descriptors.
TEST_F(ConnectionWriteTest, MessagesLargerThanTheSocketBufferArriveWhole) {
  send_large_messages(/*with_descriptor=*/true);
  start_reading();
  for (int i = 0; i < kCount; ++i) {
    std::optional<Event> event = received_.pop();
    ASSERT_TRUE(event && std::holds_alternative<WireMessage>(*event)) << i;
    const Message& message = std::get<WireMessage>(*event).message;
    auto payload = message.data("payload");
    ASSERT_TRUE(payload);
    ASSERT_EQ(payload->size(), 1u << 20);
    EXPECT_EQ(std::count(payload->begin(), payload->end(), static_cast<std::uint8_t>(i)), 1 << 20);
    EXPECT_TRUE(message.dup_fd("fd").valid());
  }
}

TEST_F(ConnectionWriteTest, FlushWaitsUntilQueuedMessagesAreOnTheSocket) {
  send_large_messages(/*with_descriptor=*/false);
  // Nobody reads yet: what the socket does not hold stays queued.
  EXPECT_FALSE(sender_->flush(std::chrono::milliseconds(20)));

  start_reading();
  EXPECT_TRUE(sender_->flush(std::chrono::seconds(10)));
  // Cancelling after the flush loses nothing.
  sender_->cancel();
  for (int i = 0; i < kCount; ++i) {
    std::optional<Event> event = received_.pop();
    ASSERT_TRUE(event && std::holds_alternative<WireMessage>(*event)) << i;
  }
  receiver_->cancel();
  EXPECT_FALSE(sender_->flush(std::chrono::milliseconds(1))) << "an ended link flushes nothing";
}

}  // namespace
}  // namespace kivo::xpc
