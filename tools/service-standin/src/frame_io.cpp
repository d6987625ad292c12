#include "frame_io.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kivo::standin::detail {
namespace {

enum class Fill { kFull, kEmpty, kShort };

// Reads exactly `out.size()` bytes: kEmpty when the stream ended before the
// first, kShort when it ended later.
Expected<Fill, std::string> fill(int fd, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::recv(fd, out.data() + done, out.size() - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return done == 0 ? Fill::kEmpty : Fill::kShort;
    } else if (errno != EINTR) {
      return fail(KivoError::io_errno(errno).display());
    }
  }
  return Fill::kFull;
}

}  // namespace

Expected<std::optional<protocol::Bytes>, std::string> read_frame(int fd, FrameFamily family) {
  protocol::Bytes frame(protocol::kFrameLengthPrefixSize);
  auto prefix = fill(fd, frame);
  if (!prefix) return fail(std::move(prefix).error());
  if (*prefix == Fill::kEmpty) return std::optional<protocol::Bytes>();
  if (*prefix == Fill::kShort) return fail(std::string("the stream ended inside a frame"));

  const std::span<const std::uint8_t, protocol::kFrameLengthPrefixSize> header(frame.data(),
                                                                               frame.size());
  const auto body_length = family == FrameFamily::kMedia ? protocol::media_frame_body_length(header)
                                                         : protocol::bulk_frame_body_length(header);
  if (!body_length) return fail(body_length.error().display());

  frame.resize(protocol::kFrameLengthPrefixSize + *body_length);
  auto body = fill(fd, std::span(frame).subspan(protocol::kFrameLengthPrefixSize));
  if (!body) return fail(std::move(body).error());
  if (*body != Fill::kFull) return fail(std::string("the stream ended inside a frame"));
  return std::optional<protocol::Bytes>(std::move(frame));
}

Result<void> write_all(int fd, std::span<const std::uint8_t> bytes,
                       std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(KivoError::io_errno(errno));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return fail(KivoError::io(IoKind::kTimedOut, "the agent did not read the socket in time"));
    }
    pollfd entry{fd, POLLOUT, 0};
    const int wait = static_cast<int>(std::min<std::int64_t>(left.count() + 1, 60'000));
    if (::poll(&entry, 1, wait) < 0 && errno != EINTR) return fail(KivoError::io_errno(errno));
  }
  return ok();
}

}  // namespace kivo::standin::detail
