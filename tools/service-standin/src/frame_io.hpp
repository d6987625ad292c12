// Whole frames on a stream socket: reading them on a thread of their own,
// writing them with a time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "kivo/core/result.hpp"
#include "kivo/protocol/frames.hpp"

namespace kivo::standin::detail {

enum class FrameFamily { kMedia, kBulk };

// One whole frame, length prefix included, ready for the family's decoder;
// nothing at a clean end of stream (before a frame began); the error text for
// a read error, a stream that ends inside a frame, or a length the family
// refuses. Waits as long as the peer takes.
Expected<std::optional<protocol::Bytes>, std::string> read_frame(int fd, FrameFamily family);

// Writes every byte unless the socket stays full for `timeout` or fails.
Result<void> write_all(int fd, std::span<const std::uint8_t> bytes,
                       std::chrono::milliseconds timeout);

}  // namespace kivo::standin::detail
