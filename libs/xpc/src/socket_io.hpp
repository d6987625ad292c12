// Moving whole messages over a connected stream socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "kivo/core/result.hpp"
#include "kivo/xpc/wire.hpp"

namespace kivo::xpc::detail {

struct ReceivedMessage {
  WireMessage wire;
  std::uint32_t body_length = 0;
};

// Writes the bytes of one message from `offset` on, its descriptors riding on
// the first sendmsg (offset 0). Blocking: until all is written. Not blocking:
// until the socket would block. Returns the offset reached; never raises
// SIGPIPE.
enum class SendMode : std::uint8_t { kBlocking, kUntilFull };
Result<std::size_t> send_message_from(int fd, const EncodedMessage& message, std::size_t offset,
                                      SendMode mode);

// Reads one whole message. End of stream, a read error and a malformed
// message are all errors; every descriptor that came with a failed message
// has been closed.
Result<ReceivedMessage> receive_message(int fd);

// Waits until `fd` has something to read (end of stream and errors count) or
// `wake_fd`, an eventfd, is signalled, which it then resets. Without a deadline
// it waits for ever; a negative `wake_fd` is left out.
enum class Readiness : std::uint8_t { kReadable, kWoken, kTimedOut };
Readiness wait_readable(int fd, int wake_fd,
                        std::optional<std::chrono::steady_clock::time_point> deadline);

}  // namespace kivo::xpc::detail
