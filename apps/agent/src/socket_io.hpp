// The byte-level I/O shared by the bulk and media sockets: descriptor
// duplication, the send timeout, writing one frame's bytes, reading one
// length-prefixed frame, and shutting a socket down.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "kivo/core/result.hpp"
#include "kivo/protocol/frames.hpp"
#include "kivo/xpc/unique_fd.hpp"

namespace kivo::agent {

inline constexpr std::string_view kBulkChannel = "bulk";
inline constexpr std::string_view kMediaChannel = "media";

// How long one write may sit in the kernel, and the pause after it timed out.
inline constexpr std::chrono::microseconds kSendTimeout{20'000};
inline constexpr std::chrono::milliseconds kWriteBackoff{20};

// A close-on-exec duplicate numbered 3 or above, so that it can never land
// on a standard stream.
Result<xpc::UniqueFd> duplicate_socket_fd(int fd);

// Sets SO_SNDTIMEO to the send timeout; the option lives on the socket, so
// every descriptor of it shares the setting.
Result<void> set_send_timeout(int fd);

// Writes `bytes` whole, repeating short writes, retrying EINTR at once and
// a timed-out send after the back-off. Before every attempt `keep_going` is
// asked with the number of bytes of this frame already written; when it says
// no, the write stops there. `written` counts the bytes written so far, on
// success and failure alike: all of them unless `keep_going` stopped it or
// the write failed. A write of zero bytes fails with InvalidMessage
// `zero_write_text`; any other failure is the OS error.
Result<void> write_frame_bytes(int fd, std::span<const std::uint8_t> bytes,
                               std::string_view zero_write_text,
                               const std::function<bool(std::size_t written)>& keep_going,
                               std::size_t& written);

// One whole frame (length prefix included) of at most `max_body` body bytes,
// or nothing at the end of the stream or after a failure (logged WARN with
// the channel label). Never resynchronises: nothing means the stream is done.
std::optional<protocol::Bytes> read_framed_packet(int fd, std::uint32_t max_body,
                                                  std::string_view channel);

// Shuts the socket down both ways, which wakes its readers; a failure is
// logged DEBUG and otherwise ignored.
void shutdown_agent_socket(int fd, std::string_view channel);

}  // namespace kivo::agent
