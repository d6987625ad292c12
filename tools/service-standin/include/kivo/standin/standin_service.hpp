// StandinService: the privileged service's side of the link towards one
// agent, for tests and demos.
//
//   auto service = StandinService::listen({.root = dir});  // <root>/run/kivo/...
//   service->accept_agent(5s);            // one agent; the socket file goes away
//   service->await_hello(5s);             // kind 1, decoded
//   service->accept_hello();              // kind 2: generation, media and bulk ends
//   service->send_numbered(protocol::QueryStatus{});
//   service->await_reply(1, 5s);
//
// Everything the agent sends is checked as it arrives. Faults are kept as
// protocol violations (violations()): a document that does not decode, a
// message kind the agent must not send, a reply to no request or a second
// reply, a reply that does not echo its command's stamp, a frame that does
// not decode, a frame kind the agent never writes, or media stamped with
// another generation. The socket readers end at the first bad frame, as the
// agent's own readers do.
//
// Threads: the link's reader thread runs the document callback, one document
// at a time in arrival order; a media and a bulk reader thread run the frame
// callbacks. Every wait takes a time-out from the caller and also ends early
// on interrupt(). The methods are meant for one controlling thread; interrupt()
// and the read-only queries may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_message.hpp"
#include "kivo/protocol/frames.hpp"
#include "kivo/protocol/hello.hpp"
#include "kivo/protocol/service_message.hpp"
#include "kivo/standin/request_ledger.hpp"

namespace kivo::xpc {
struct WireMessage;
}

namespace kivo::standin {

using Millis = std::chrono::milliseconds;

// One kind-4 payload as it came.
struct AgentDocument {
  std::size_t index = 0;  // arrival order, from 0
  std::string raw;
  std::optional<protocol::AgentEnvelope> envelope;  // none when it did not decode
  std::string error;                                // the reader's text when it did not

  // The message type ("status"), or empty for a document that did not decode.
  std::string_view type() const;
};

struct StandinOptions {
  std::filesystem::path root;    // the system root the agent uses
  std::uint64_t generation = 1;  // sent in the hello reply; 0 is sent as given
  // Called with the hello's payload as received, before waits see it.
  std::function<void(const std::string& raw, const Result<protocol::HelloRequest>& decoded)>
      on_hello{};
  // Called for every agent document, before waits see it. Both are called
  // one at a time and in order, on the link's reader thread or on a thread
  // inside one of the await_* calls (which reads the link while it waits).
  std::function<void(const AgentDocument&)> on_document{};
  // When set, frames go here instead of to next_media_frame / next_bulk_frame.
  std::function<void(const protocol::MediaFrame&)> on_media_frame{};
  std::function<void(const protocol::BulkFrame&)> on_bulk_frame{};
};

// How many documents stay available to the waits; older ones are forgotten.
inline constexpr std::size_t kDocumentHistory = 4096;

class StandinService {
 public:
  // Creates <root>/run/kivo and listens at <root>/run/kivo/com.kivo.service.agent.
  static Result<std::unique_ptr<StandinService>> listen(StandinOptions options);

  StandinService(const StandinService&) = delete;
  StandinService& operator=(const StandinService&) = delete;
  // close(), and waits for every thread of its own.
  ~StandinService();

  const std::filesystem::path& socket_path() const { return socket_path_; }

  // Waits for the agent to connect and stops listening.
  Result<void> accept_agent(Millis timeout);

  // Waits for the hello (the agent's first message, kind 1) and decodes it.
  Result<protocol::HelloRequest> await_hello(Millis timeout);
  // The hello reply: kind 2 with the generation and one end of each of two
  // fresh socket pairs; starts reading the other ends.
  Result<void> accept_hello();
  // The hello reply of kind 5.
  Result<void> refuse_hello();
  // Ends the link and both sockets. Safe more than once.
  void close();

  // Stamps `command` with the generation and the current capture epoch (a
  // fresh one for a capture start) and sends it, numbered or not.
  Result<protocol::ServiceEnvelope> send_command(protocol::ServiceToAgent command,
                                                 std::optional<std::uint64_t> request_id);
  // send_command with the next free request id; that id.
  Result<std::uint64_t> send_numbered(protocol::ServiceToAgent command);
  // Sends an envelope as given.
  Result<void> send_envelope(const protocol::ServiceEnvelope& envelope);
  // Sends `text` as written; `envelope` is its decoded form, for the books.
  Result<void> send_envelope_text(std::string_view text, const protocol::ServiceEnvelope& envelope);
  // Keeps an id away from numbering.
  void reserve_request_id(std::uint64_t request_id);

  // The next document of `type` at or after `*cursor`; moves the cursor past
  // it. Nothing on time-out, end of the link or interrupt.
  std::optional<AgentDocument> await_document(std::string_view type, std::size_t* cursor,
                                              Millis timeout);
  // The reply that carries `request_id`.
  std::optional<AgentDocument> await_reply(std::uint64_t request_id, Millis timeout);
  // True once every request answered always has its reply.
  bool await_replies(Millis timeout);
  // True once the link has ended.
  bool await_end(Millis timeout);

  // Frames read from the sockets, when no callback takes them. The readers
  // wait (holding the agent back) while 64 frames are unread.
  Result<protocol::MediaFrame> next_media_frame(Millis timeout);
  Result<protocol::BulkFrame> next_bulk_frame(Millis timeout);
  // Whole frames onto the sockets, e.g. playback audio and file chunks.
  Result<void> write_media_frame(const protocol::MediaFrame& frame, Millis timeout);
  Result<void> write_bulk_frame(const protocol::BulkFrame& frame, Millis timeout);

  // Ends every wait at once, now and later (accept_agent included).
  void interrupt();
  bool interrupted() const;

  std::uint64_t generation() const;
  std::uint64_t capture_epoch() const;
  void set_capture_epoch(std::uint64_t epoch);
  std::optional<protocol::HelloRequest> hello() const;
  bool hello_received() const;
  // The link has ended, and whether close() ended it.
  bool ended() const;
  bool closed_locally() const;
  std::vector<std::string> violations() const;
  std::vector<UnansweredRequest> unanswered() const;

 private:
  struct State;
  explicit StandinService(StandinOptions options);
  // The link's reader thread.
  void on_message(const xpc::WireMessage& wire);
  // The socket reader threads.
  void read_media();
  void read_bulk();
  Result<void> send_text(std::string text);

  StandinOptions options_;
  std::filesystem::path socket_path_;
  std::unique_ptr<State> state_;
};

}  // namespace kivo::standin
