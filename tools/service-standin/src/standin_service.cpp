#include "kivo/standin/standin_service.hpp"

#include <fmt/format.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "frame_io.hpp"
#include "kivo/protocol/epoch.hpp"
#include "kivo/xpc/connection.hpp"
#include "kivo/xpc/listener.hpp"
#include "kivo/xpc/message_kind.hpp"
#include "kivo/xpc/service_path.hpp"

namespace kivo::standin {
namespace {

using Clock = std::chrono::steady_clock;

// Unread frames per socket before its reader waits.
constexpr std::size_t kFrameBacklog = 64;
// How long close() lets the readers drain the sockets of an agent that left.
constexpr Millis kDrainTimeout{1000};
// Far enough for "for ever", near enough not to overflow the clock.
constexpr Millis kLongestWait = std::chrono::hours(24 * 365);

Clock::time_point deadline_after(Millis timeout) {
  return Clock::now() + std::clamp(timeout, Millis(0), kLongestWait);
}

Result<std::pair<xpc::UniqueFd, xpc::UniqueFd>> socket_pair() {
  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return fail(KivoError::io_errno(errno));
  }
  return std::pair(xpc::UniqueFd(fds[0]), xpc::UniqueFd(fds[1]));
}

std::string text_of(std::span<const std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A short excerpt of a document for a violation text.
std::string excerpt(std::string_view raw) {
  constexpr std::size_t kMax = 120;
  return raw.size() <= kMax ? std::string(raw) : std::string(raw.substr(0, kMax)) + "...";
}

}  // namespace

std::string_view AgentDocument::type() const {
  return envelope ? protocol::agent_message_type(envelope->message) : std::string_view();
}

struct StandinService::State {
  explicit State(std::uint64_t generation) : ledger(generation) {}

  mutable std::mutex mutex;
  std::condition_variable changed;
  bool interrupted = false;
  bool stopping = false;  // close() has begun: socket ends are expected

  // Only accept_agent() replaces it; interrupt() may stop it meanwhile.
  std::mutex listener_mutex;
  std::optional<xpc::Listener> listener;

  std::optional<xpc::Connection> connection;
  // Sends without holding `mutex`; a no-op once the link has ended.
  std::optional<xpc::Sender> sender;
  // Lets a thread that waits for the agent read the link itself.
  std::optional<xpc::EventPump> pump;

  std::optional<std::uint64_t> hello_message_id;
  std::optional<Result<protocol::HelloRequest>> hello;
  bool hello_answered = false;

  std::deque<AgentDocument> documents;  // the latest kDocumentHistory
  std::size_t document_count = 0;
  // request_id -> index of the newest document in `documents` that carries
  // it, so that waiting for a reply does not scan the whole history.
  std::unordered_map<std::uint64_t, std::size_t> latest_with_request_id;
  RequestLedger ledger;
  std::vector<std::string> violations;
  std::set<std::string> violation_set;
  bool ended = false;
  bool closed_locally = false;

  xpc::UniqueFd media;  // the service's ends of the two sockets
  xpc::UniqueFd bulk;
  std::mutex media_write_mutex;
  std::mutex bulk_write_mutex;
  std::thread media_reader;
  std::thread bulk_reader;
  std::deque<protocol::MediaFrame> media_frames;
  std::deque<protocol::BulkFrame> bulk_frames;
  bool media_done = false;
  bool bulk_done = false;

  // Repeats of the same fault (a whole stream of mis-stamped frames) are
  // told once.
  void violation_locked(std::string text) {
    if (violation_set.insert(text).second) violations.push_back(std::move(text));
  }
  void violation(std::string text) {
    std::lock_guard lock(mutex);
    violation_locked(std::move(text));
  }

  // Waits until `done()` or the deadline; false only on time-out.
  template <class Predicate>
  bool wait(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Predicate done) {
    return changed.wait_until(lock, deadline, done);
  }

  // wait() for what the agent sends on the link. The waiting thread reads the
  // link and records the agent's documents itself meanwhile, rather than be
  // woken by the link's reader thread: a round trip then costs one thread
  // hand-off less. What the link's reader still delivers (its end) and what
  // interrupt() changes are waited for as before.
  template <class Predicate>
  bool wait_for_link(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                     Predicate done) {
    // done() may move a cursor on: once it has said yes it is not asked again.
    if (done()) return true;
    if (std::optional<xpc::EventPump> reader = pump) {
      lock.unlock();
      const bool finished = reader->pump_until(
          [&] {
            std::lock_guard relock(mutex);
            return done();
          },
          deadline);
      lock.lock();
      if (finished) return true;
    }
    return wait(lock, deadline, done);
  }
};

StandinService::StandinService(StandinOptions options)
    : options_(std::move(options)),
      socket_path_(xpc::service_socket_path(options_.root, xpc::kAgentServiceName)),
      state_(std::make_unique<State>(options_.generation)) {}

Result<std::unique_ptr<StandinService>> StandinService::listen(StandinOptions options) {
  std::unique_ptr<StandinService> service(new StandinService(std::move(options)));
  std::error_code error;
  std::filesystem::create_directories(service->socket_path_.parent_path(), error);
  if (error) {
    return fail(
        KivoError::io(IoKind::kOther,
                      fmt::format("cannot create {}: {}",
                                  service->socket_path_.parent_path().string(), error.message())));
  }
  Result<xpc::Listener> listener = xpc::Listener::bind(service->socket_path_);
  if (!listener) return fail(std::move(listener).error());
  service->state_->listener.emplace(std::move(*listener));
  return service;
}

StandinService::~StandinService() {
  close();
}

Result<void> StandinService::accept_agent(Millis timeout) {
  State& s = *state_;
  xpc::Listener* listener = nullptr;
  {
    std::lock_guard guard(s.listener_mutex);
    if (!s.listener) return fail(KivoError::invalid_message("not listening any more"));
    listener = &*s.listener;
    std::lock_guard lock(s.mutex);
    if (s.interrupted) return fail(KivoError::invalid_message("interrupted"));
  }

  // A watchdog stops the listener at the deadline; that ends the accept.
  std::mutex watch_mutex;
  std::condition_variable watch_wake;
  bool accepted = false;
  bool timed_out = false;
  std::thread watchdog([&] {
    std::unique_lock watch(watch_mutex);
    if (!watch_wake.wait_until(watch, deadline_after(timeout), [&] { return accepted; })) {
      timed_out = true;
      std::lock_guard guard(s.listener_mutex);
      if (s.listener) s.listener->stop();
    }
  });
  Result<xpc::UniqueFd> socket = listener->accept();
  {
    std::lock_guard watch(watch_mutex);
    accepted = true;
  }
  watch_wake.notify_all();
  watchdog.join();

  {
    std::lock_guard guard(s.listener_mutex);
    s.listener.reset();  // one agent only: later ones find no socket
  }
  if (!socket) {
    if (timed_out) {
      return fail(KivoError::io(IoKind::kTimedOut,
                                fmt::format("no agent connected within {} ms", timeout.count())));
    }
    if (interrupted()) return fail(KivoError::invalid_message("interrupted"));
    return fail(std::move(socket).error());
  }

  xpc::Connection connection = xpc::Connection::adopt(std::move(*socket));
  connection.set_event_handler([this](xpc::Event event) {
    if (std::holds_alternative<xpc::ConnectionError>(event)) {
      std::lock_guard lock(state_->mutex);
      state_->ended = true;
      state_->changed.notify_all();
      return;
    }
    on_message(std::get<xpc::WireMessage>(event));
  });
  xpc::EventPump pump = connection.event_pump();
  connection.resume();
  std::lock_guard lock(s.mutex);
  s.sender.emplace(connection.sender());
  s.pump.emplace(std::move(pump));
  s.connection.emplace(std::move(connection));
  return ok();
}

void StandinService::on_message(const xpc::WireMessage& wire) {
  State& s = *state_;
  const xpc::Message& message = wire.message;
  const std::optional<std::uint64_t> kind = message.uint64(xpc::kKindKey);
  const auto payload = message.data(xpc::kPayloadKey);
  const std::string kind_text = kind ? fmt::format("{}", *kind) : std::string("none");

  bool first = false;
  {
    std::lock_guard lock(s.mutex);
    first = !s.hello_message_id.has_value();
    if (first) s.hello_message_id = wire.message_id;
  }
  if (first && kind == xpc::kKindHello) {
    const std::string raw = payload ? text_of(*payload) : std::string();
    Result<protocol::HelloRequest> hello = protocol::decode_hello_request(raw);
    if (options_.on_hello) options_.on_hello(raw, hello);
    std::lock_guard lock(s.mutex);
    if (!hello) {
      s.violation_locked(
          fmt::format("the hello does not decode ({}): {}", hello.error().display(), excerpt(raw)));
    }
    s.hello.emplace(std::move(hello));
    s.changed.notify_all();
    return;
  }
  if (first) {
    std::lock_guard lock(s.mutex);
    s.violation_locked(
        fmt::format("the agent's first message has kind {}, not a hello", kind_text));
    s.hello.emplace(fail(KivoError::invalid_message("the first message was no hello")));
    s.changed.notify_all();
  }
  if (kind == xpc::kKindHello) {
    s.violation("a second hello");
    return;
  }
  if (kind != xpc::kKindAgentDocument) {
    s.violation(fmt::format("a message of kind {} from the agent", kind_text));
    return;
  }
  if (!payload || payload->empty()) {
    s.violation(fmt::format("an agent document with {}", xpc::kMissingPayload));
    return;
  }

  AgentDocument document;
  document.raw = text_of(*payload);
  Result<protocol::AgentEnvelope> envelope = protocol::decode_agent_envelope(document.raw);
  if (envelope) {
    document.envelope.emplace(std::move(*envelope));
  } else {
    document.error = envelope.error().display();
  }
  {
    std::lock_guard lock(s.mutex);
    document.index = s.document_count;
  }
  if (options_.on_document) options_.on_document(document);

  std::unique_lock lock(s.mutex);
  if (!document.envelope) {
    s.violation_locked(fmt::format("a document that does not decode ({}): {}", document.error,
                                   excerpt(document.raw)));
  } else if (document.envelope->request_id) {
    for (std::string& problem : s.ledger.record_reply(*document.envelope->request_id,
                                                      document.envelope->stamp, document.type())) {
      s.violation_locked(std::move(problem));
    }
  }
  if (document.envelope && document.envelope->request_id) {
    s.latest_with_request_id[*document.envelope->request_id] = document.index;
  }
  s.documents.push_back(std::move(document));
  ++s.document_count;
  if (s.documents.size() > kDocumentHistory) {
    const AgentDocument& oldest = s.documents.front();
    if (oldest.envelope && oldest.envelope->request_id) {
      const auto entry = s.latest_with_request_id.find(*oldest.envelope->request_id);
      if (entry != s.latest_with_request_id.end() && entry->second == oldest.index) {
        s.latest_with_request_id.erase(entry);
      }
    }
    s.documents.pop_front();
  }
  // Told after unlocking, so that a waiter woken here does not go straight
  // back to sleep on the mutex. close() waits for this handler, so the state
  // is still there.
  lock.unlock();
  s.changed.notify_all();
}

Result<protocol::HelloRequest> StandinService::await_hello(Millis timeout) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.wait_for_link(lock, deadline_after(timeout),
                  [&] { return s.hello.has_value() || s.ended || s.interrupted; });
  if (s.hello) return *s.hello;
  if (s.ended) return fail(KivoError::invalid_message("the agent ended the link before its hello"));
  if (s.interrupted) return fail(KivoError::invalid_message("interrupted"));
  return fail(
      KivoError::io(IoKind::kTimedOut, fmt::format("no hello within {} ms", timeout.count())));
}

Result<void> StandinService::accept_hello() {
  State& s = *state_;
  std::optional<std::uint64_t> hello_id;
  {
    std::lock_guard lock(s.mutex);
    if (!s.connection || !s.hello || s.hello_answered) {
      return fail(KivoError::invalid_message("no hello waits for an answer"));
    }
    s.hello_answered = true;
    hello_id = s.hello_message_id;
  }
  auto media = socket_pair();
  if (!media) return fail(std::move(media).error());
  auto bulk = socket_pair();
  if (!bulk) return fail(std::move(bulk).error());

  xpc::Message reply;
  reply.set_uint64(std::string(xpc::kKindKey), xpc::kKindHelloAccepted);
  reply.set_uint64(std::string(xpc::kAgentGenerationKey), options_.generation);
  reply.set_fd(std::string(xpc::kMediaFdKey), std::move(media->second));
  reply.set_fd(std::string(xpc::kBulkFdKey), std::move(bulk->second));
  s.media = std::move(media->first);
  s.bulk = std::move(bulk->first);
  s.media_reader = std::thread([this] {
    ::pthread_setname_np(::pthread_self(), "standin-media");
    read_media();
  });
  s.bulk_reader = std::thread([this] {
    ::pthread_setname_np(::pthread_self(), "standin-bulk");
    read_bulk();
  });
  return s.connection->send_reply(*hello_id, std::move(reply));
}

Result<void> StandinService::refuse_hello() {
  State& s = *state_;
  std::optional<std::uint64_t> hello_id;
  {
    std::lock_guard lock(s.mutex);
    if (!s.connection || !s.hello || s.hello_answered) {
      return fail(KivoError::invalid_message("no hello waits for an answer"));
    }
    s.hello_answered = true;
    hello_id = s.hello_message_id;
  }
  xpc::Message reply;
  reply.set_uint64(std::string(xpc::kKindKey), xpc::kKindHelloRejected);
  return s.connection->send_reply(*hello_id, std::move(reply));
}

// Hands a frame to the caller's callback, or keeps it for next_*_frame(),
// waiting while the backlog is full. False once the service is stopping.
template <class Frame>
static bool keep_frame(std::mutex& mutex, std::condition_variable& cv, const bool& stopping,
                       const std::function<void(const Frame&)>& callback,
                       std::deque<Frame>& backlog, Frame frame) {
  if (callback) {
    callback(frame);
    return true;
  }
  std::unique_lock lock(mutex);
  cv.wait(lock, [&] { return stopping || backlog.size() < kFrameBacklog; });
  if (stopping) return false;
  backlog.push_back(std::move(frame));
  cv.notify_all();
  return true;
}

void StandinService::read_media() {
  State& s = *state_;
  for (;;) {
    auto whole = detail::read_frame(s.media.get(), detail::FrameFamily::kMedia);
    if (!whole || !*whole) {
      std::lock_guard lock(s.mutex);
      if (!whole && !s.stopping) s.violation_locked("media socket: " + whole.error());
      break;
    }
    auto frame = protocol::decode_media_frame(**whole);
    if (!frame) {
      s.violation("a media frame that does not decode: " + frame.error().display());
      break;
    }
    std::visit(
        [&](const auto& f) {
          using F = std::remove_cvref_t<decltype(f)>;
          if constexpr (std::is_same_v<F, protocol::MediaFrame::Video> ||
                        std::is_same_v<F, protocol::MediaFrame::Audio>) {
            if (f.agent_generation != options_.generation) {
              s.violation(
                  fmt::format("{} frames stamped with agent generation {}, not {}",
                              std::is_same_v<F, protocol::MediaFrame::Video> ? "video" : "audio",
                              f.agent_generation, options_.generation));
            }
          } else if constexpr (std::is_same_v<F, protocol::MediaFrame::Playback>) {
            s.violation("the agent wrote a playback media frame");
          } else {
            s.violation("the agent wrote a short media frame");
          }
        },
        frame->value);
    if (!keep_frame(s.mutex, s.changed, s.stopping, options_.on_media_frame, s.media_frames,
                    std::move(*frame))) {
      break;
    }
  }
  std::lock_guard lock(s.mutex);
  s.media_done = true;
  s.changed.notify_all();
}

void StandinService::read_bulk() {
  State& s = *state_;
  for (;;) {
    auto whole = detail::read_frame(s.bulk.get(), detail::FrameFamily::kBulk);
    if (!whole || !*whole) {
      std::lock_guard lock(s.mutex);
      if (!whole && !s.stopping) s.violation_locked("bulk socket: " + whole.error());
      break;
    }
    auto frame = protocol::decode_bulk_frame(**whole);
    if (!frame) {
      s.violation("a bulk frame that does not decode: " + frame.error().display());
      break;
    }
    if (std::holds_alternative<protocol::BulkFrame::Clipboard>(frame->value)) {
      s.violation("the agent wrote an inbound clipboard bulk frame (0x33)");
    }
    if (!keep_frame(s.mutex, s.changed, s.stopping, options_.on_bulk_frame, s.bulk_frames,
                    std::move(*frame))) {
      break;
    }
  }
  std::lock_guard lock(s.mutex);
  s.bulk_done = true;
  s.changed.notify_all();
}

void StandinService::close() {
  State& s = *state_;
  std::optional<xpc::Connection> connection;
  // Sends without holding `mutex`; a no-op once the link has ended.
  std::optional<xpc::Sender> sender;
  {
    std::lock_guard lock(s.mutex);
    if (!s.ended && s.connection) s.closed_locally = true;
    s.stopping = true;
    connection = std::move(s.connection);
    s.connection.reset();
    s.changed.notify_all();
  }
  // Cancelling delivers the last event; dropping the connection waits for it.
  if (connection) connection->cancel();
  connection.reset();
  {
    std::unique_lock lock(s.mutex);
    // An agent that ended the link is closing its sockets too: read what it
    // wrote before it went (the last frames of a capture).
    if (!s.closed_locally && s.media.valid()) {
      s.wait(lock, deadline_after(kDrainTimeout), [&] { return s.media_done && s.bulk_done; });
    }
    s.ended = true;
    s.changed.notify_all();
  }
  for (xpc::UniqueFd* end : {&s.media, &s.bulk}) {
    if (end->valid()) ::shutdown(end->get(), SHUT_RDWR);
  }
  if (s.media_reader.joinable()) s.media_reader.join();
  if (s.bulk_reader.joinable()) s.bulk_reader.join();
  std::lock_guard guard(s.listener_mutex);
  s.listener.reset();
}

Result<void> StandinService::send_text(std::string text) {
  std::optional<xpc::Sender> sender;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->connection) return fail(KivoError::not_connected());
    sender = state_->sender;
  }
  xpc::Message message;
  message.set_uint64(std::string(xpc::kKindKey), xpc::kKindCommand);
  message.set_data(std::string(xpc::kPayloadKey), std::move(text));
  return sender->send(std::move(message));
}

Result<protocol::ServiceEnvelope> StandinService::send_command(
    protocol::ServiceToAgent command, std::optional<std::uint64_t> request_id) {
  protocol::ServiceEnvelope envelope;
  {
    std::lock_guard lock(state_->mutex);
    if (request_id) state_->ledger.reserve_request_id(*request_id);
    envelope = protocol::ServiceEnvelope{request_id, state_->ledger.stamp_for(command),
                                         std::move(command)};
    // Booked before it leaves, so that the quickest reply finds it.
    state_->ledger.record_sent(envelope);
  }
  KIVO_TRY(send_text(protocol::encode_service_envelope(envelope)));
  return envelope;
}

Result<std::uint64_t> StandinService::send_numbered(protocol::ServiceToAgent command) {
  std::uint64_t id = 0;
  {
    std::lock_guard lock(state_->mutex);
    id = state_->ledger.next_request_id();
  }
  KIVO_TRY(send_command(std::move(command), id));
  return id;
}

Result<void> StandinService::send_envelope(const protocol::ServiceEnvelope& envelope) {
  return send_envelope_text(protocol::encode_service_envelope(envelope), envelope);
}

Result<void> StandinService::send_envelope_text(std::string_view text,
                                                const protocol::ServiceEnvelope& envelope) {
  {
    std::lock_guard lock(state_->mutex);
    state_->ledger.record_sent(envelope);
  }
  return send_text(std::string(text));
}

void StandinService::reserve_request_id(std::uint64_t request_id) {
  std::lock_guard lock(state_->mutex);
  state_->ledger.reserve_request_id(request_id);
}

std::optional<AgentDocument> StandinService::await_document(std::string_view type,
                                                            std::size_t* cursor, Millis timeout) {
  State& s = *state_;
  std::optional<AgentDocument> found;
  const auto scan = [&] {
    const std::size_t base = s.document_count - s.documents.size();
    for (std::size_t i = std::max(*cursor, base); i < s.document_count; ++i) {
      if (s.documents[i - base].type() == type) {
        *cursor = i + 1;
        found = s.documents[i - base];
        return true;
      }
    }
    *cursor = s.document_count;
    return s.ended || s.interrupted;
  };
  std::unique_lock lock(s.mutex);
  s.wait_for_link(lock, deadline_after(timeout), scan);
  return found;
}

std::optional<AgentDocument> StandinService::await_reply(std::uint64_t request_id, Millis timeout) {
  State& s = *state_;
  std::optional<AgentDocument> found;
  const auto scan = [&] {
    const auto entry = s.latest_with_request_id.find(request_id);
    if (entry != s.latest_with_request_id.end()) {
      found = s.documents[entry->second - (s.document_count - s.documents.size())];
      return true;
    }
    return s.ended || s.interrupted;
  };
  std::unique_lock lock(s.mutex);
  s.wait_for_link(lock, deadline_after(timeout), scan);
  return found;
}

bool StandinService::await_replies(Millis timeout) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.wait_for_link(lock, deadline_after(timeout),
                  [&] { return s.ledger.all_answered() || s.ended || s.interrupted; });
  return s.ledger.all_answered();
}

bool StandinService::await_end(Millis timeout) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.wait_for_link(lock, deadline_after(timeout), [&] { return s.ended || s.interrupted; });
  return s.ended;
}

template <class Frame>
static Result<Frame> take_frame(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                                std::deque<Frame>& frames, const bool& done,
                                const bool& interrupted, Millis timeout, std::string_view what) {
  cv.wait_until(lock, deadline_after(timeout),
                [&] { return !frames.empty() || done || interrupted; });
  if (frames.empty()) {
    if (done)
      return fail(
          KivoError::io(IoKind::kUnexpectedEof, fmt::format("the {} socket has ended", what)));
    if (interrupted) return fail(KivoError::invalid_message("interrupted"));
    return fail(KivoError::io(IoKind::kTimedOut,
                              fmt::format("no {} frame within {} ms", what, timeout.count())));
  }
  Frame frame = std::move(frames.front());
  frames.pop_front();
  cv.notify_all();
  return frame;
}

Result<protocol::MediaFrame> StandinService::next_media_frame(Millis timeout) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  if (!s.media.valid()) return fail(KivoError::not_connected());
  return take_frame(lock, s.changed, s.media_frames, s.media_done, s.interrupted, timeout, "media");
}

Result<protocol::BulkFrame> StandinService::next_bulk_frame(Millis timeout) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  if (!s.bulk.valid()) return fail(KivoError::not_connected());
  return take_frame(lock, s.changed, s.bulk_frames, s.bulk_done, s.interrupted, timeout, "bulk");
}

Result<void> StandinService::write_media_frame(const protocol::MediaFrame& frame, Millis timeout) {
  auto bytes = protocol::encode_media_frame(frame);
  if (!bytes) return fail(KivoError::invalid_message(bytes.error().display()));
  std::lock_guard writing(state_->media_write_mutex);
  if (!state_->media.valid()) return fail(KivoError::not_connected());
  return detail::write_all(state_->media.get(), *bytes, timeout);
}

Result<void> StandinService::write_bulk_frame(const protocol::BulkFrame& frame, Millis timeout) {
  auto bytes = protocol::encode_bulk_frame(frame);
  if (!bytes) return fail(KivoError::invalid_message(bytes.error().display()));
  std::lock_guard writing(state_->bulk_write_mutex);
  if (!state_->bulk.valid()) return fail(KivoError::not_connected());
  return detail::write_all(state_->bulk.get(), *bytes, timeout);
}

void StandinService::interrupt() {
  State& s = *state_;
  std::optional<xpc::EventPump> pump;
  {
    std::lock_guard lock(s.mutex);
    s.interrupted = true;
    s.changed.notify_all();
    pump = s.pump;
  }
  if (pump) pump->wake();
  std::lock_guard guard(s.listener_mutex);
  if (s.listener) s.listener->stop();
}

bool StandinService::interrupted() const {
  std::lock_guard lock(state_->mutex);
  return state_->interrupted;
}

std::uint64_t StandinService::generation() const {
  return options_.generation;
}

std::uint64_t StandinService::capture_epoch() const {
  std::lock_guard lock(state_->mutex);
  return state_->ledger.capture_epoch();
}

void StandinService::set_capture_epoch(std::uint64_t epoch) {
  std::lock_guard lock(state_->mutex);
  state_->ledger.set_capture_epoch(epoch);
}

std::optional<protocol::HelloRequest> StandinService::hello() const {
  std::lock_guard lock(state_->mutex);
  if (!state_->hello || !*state_->hello) return std::nullopt;
  return **state_->hello;
}

bool StandinService::hello_received() const {
  std::lock_guard lock(state_->mutex);
  return state_->hello && *state_->hello;
}

bool StandinService::ended() const {
  std::lock_guard lock(state_->mutex);
  return state_->ended;
}

bool StandinService::closed_locally() const {
  std::lock_guard lock(state_->mutex);
  return state_->closed_locally;
}

std::vector<std::string> StandinService::violations() const {
  std::lock_guard lock(state_->mutex);
  return state_->violations;
}

std::vector<UnansweredRequest> StandinService::unanswered() const {
  std::lock_guard lock(state_->mutex);
  return state_->ledger.unanswered();
}

}  // namespace kivo::standin
