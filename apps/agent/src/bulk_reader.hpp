// The read side of the bulk socket: the thread "kivo-agent-bulk-reader" takes
// frames from the service, checks their route, hands file data, file
// acknowledgements and clipboard packets to the feature engines under the
// AgentState lock, and sends what they answer after releasing it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "document_sender.hpp"
#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_message.hpp"
#include "kivo/protocol/frames.hpp"
#include "kivo/xpc/unique_fd.hpp"
#include "routes.hpp"

namespace kivo::agent {

inline constexpr std::string_view kFileAckKindRefusal = "0x12 payload must be FILE_CHUNK_ACK";

using AgentMessages = std::vector<protocol::AgentMessage>;

// What the bulk reader reaches in AgentState. Every call is made with the
// AgentState lock held; a failure becomes one "error" document.
class BulkFrameConsumer {
 public:
  virtual ~BulkFrameConsumer() = default;

  virtual const RouteTable& routes() const = 0;
  virtual protocol::AgentStamp current_stamp() const = 0;
  // Where received files land (the file lease carries it).
  virtual std::filesystem::path received_root() const = 0;

  // A chunk for the receiving side of the transfer manager.
  virtual Result<AgentMessages> receive_file_data(std::uint64_t route_id,
                                                  const AuthorizedRoute& route, std::string task_id,
                                                  std::uint32_t chunk_index,
                                                  protocol::Bytes data) = 0;
  // A FILE_CHUNK_ACK document for the sending side; a payload that is not one
  // fails InvalidMessage kFileAckKindRefusal.
  virtual Result<AgentMessages> receive_file_ack(std::uint64_t route_id,
                                                 const AuthorizedRoute& route,
                                                 const protocol::Bytes& payload) = 0;
  // A clipboard packet for the clipboard bridge.
  virtual Result<AgentMessages> receive_clipboard_packet(std::uint64_t route_id,
                                                         const ClipboardRouteView& route,
                                                         protocol::Bytes packet) = 0;
};

// The runtime's side of the reader's end. Called without the AgentState lock.
class BulkReaderHooks {
 public:
  virtual ~BulkReaderHooks() = default;
  // A document could not be sent: the runtime asks for shutdown
  // (XpcTerminated with the quitting flag and "bulk_send_failed").
  virtual void bulk_send_failed() = 0;
  // The reader has ended for any reason: the status menu's active
  // connections are marked ended and the menu refreshed.
  virtual void bulk_reader_ended() = 0;
};

// Handles one decoded frame (under the AgentState lock): the documents it
// yields, or one "error" document for a refused frame or a failed check.
AgentMessages handle_bulk_frame(protocol::BulkFrame frame, BulkFrameConsumer& consumer);

struct BulkReaderContext {
  std::mutex& state_lock;  // the AgentState lock
  BulkFrameConsumer& consumer;
  DocumentSender& sender;
  BulkReaderHooks& hooks;
  const std::atomic<bool>& stop;
};

// The body of "kivo-agent-bulk-reader": reads until the stop flag, the end
// of the stream, a read or decode failure or a failed send.
void run_bulk_reader(xpc::UniqueFd fd, BulkReaderContext context);

// Starts the reader thread; everything in `context` outlives it.
Result<std::thread> start_bulk_reader(xpc::UniqueFd fd, BulkReaderContext context);

}  // namespace kivo::agent
