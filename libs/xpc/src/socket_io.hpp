// Moving whole messages over a connected stream socket.
#pragma once

#include <cstdint>

#include "kivo/core/result.hpp"
#include "kivo/xpc/wire.hpp"

namespace kivo::xpc::detail {

struct ReceivedMessage {
  WireMessage wire;
  std::uint32_t body_length = 0;
};

// Writes all bytes of one message, its descriptors riding on the first
// sendmsg. Blocks until written; never raises SIGPIPE.
Result<void> send_message(int fd, const EncodedMessage& message);

// Reads one whole message. End of stream, a read error and a malformed
// message are all errors; every descriptor that came with a failed message
// has been closed.
Result<ReceivedMessage> receive_message(int fd);

}  // namespace kivo::xpc::detail
