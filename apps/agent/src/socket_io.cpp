#include "socket_io.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

constexpr int kLowestDuplicate = 3;

enum class ReadStatus { kDone, kEndOfStream, kFailed };

// Reads exactly `out.size()` bytes; `error` holds errno after kFailed.
ReadStatus read_exact(int fd, std::span<std::uint8_t> out, int& error) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = ::read(fd, out.data() + filled, out.size() - filled);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return ReadStatus::kEndOfStream;
    } else if (errno != EINTR) {
      error = errno;
      return ReadStatus::kFailed;
    }
  }
  return ReadStatus::kDone;
}

}  // namespace

Result<xpc::UniqueFd> duplicate_socket_fd(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, kLowestDuplicate);
  if (copy < 0) return fail(KivoError::io_errno(errno));
  return xpc::UniqueFd(copy);
}

Result<void> set_send_timeout(int fd) {
  timeval timeout{};
  timeout.tv_sec = 0;
  timeout.tv_usec = static_cast<suseconds_t>(kSendTimeout.count());
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
    return fail(KivoError::io_errno(errno));
  }
  return ok();
}

Result<void> write_frame_bytes(int fd, std::span<const std::uint8_t> bytes,
                               std::string_view zero_write_text,
                               const std::function<bool(std::size_t written)>& keep_going,
                               std::size_t& written) {
  written = 0;
  while (written < bytes.size()) {
    if (!keep_going(written)) return ok();
    const ssize_t n = ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return fail(KivoError::invalid_message(std::string(zero_write_text)));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT) {
      // sleep_for resumes after a signal on its own.
      std::this_thread::sleep_for(kWriteBackoff);
    } else if (errno != EINTR) {
      return fail(KivoError::io_errno(errno));
    }
  }
  return ok();
}

std::optional<protocol::Bytes> read_framed_packet(int fd, std::uint32_t max_body,
                                                  std::string_view channel) {
  std::uint8_t prefix[protocol::kFrameLengthPrefixSize];
  int error = 0;
  switch (read_exact(fd, prefix, error)) {
    case ReadStatus::kDone:
      break;
    case ReadStatus::kEndOfStream:
      return std::nullopt;
    case ReadStatus::kFailed:
      KIVO_WARN("kivo_agent", "failed to read frame length",
                kivo::log::field("error", KivoError::io_errno(error)),
                kivo::log::field("channel", channel));
      return std::nullopt;
  }

  const std::uint32_t declared =
      static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8U |
      static_cast<std::uint32_t>(prefix[2]) << 16U | static_cast<std::uint32_t>(prefix[3]) << 24U;
  if (declared == 0 || declared > max_body) {
    KIVO_WARN("kivo_agent", "rejected invalid framed packet length",
              kivo::log::field("declared", declared), kivo::log::field("max", max_body),
              kivo::log::field("channel", channel));
    return std::nullopt;
  }

  protocol::Bytes frame(protocol::kFrameLengthPrefixSize + std::size_t{declared});
  std::copy(std::begin(prefix), std::end(prefix), frame.begin());
  switch (read_exact(fd, std::span(frame).subspan(protocol::kFrameLengthPrefixSize), error)) {
    case ReadStatus::kDone:
      return frame;
    case ReadStatus::kEndOfStream:
      return std::nullopt;
    case ReadStatus::kFailed:
      KIVO_WARN("kivo_agent", "failed to read frame payload",
                kivo::log::field("error", KivoError::io_errno(error)),
                kivo::log::field("channel", channel));
      return std::nullopt;
  }
  return std::nullopt;
}

void shutdown_agent_socket(int fd, std::string_view channel) {
  if (::shutdown(fd, SHUT_RDWR) != 0) {
    KIVO_DEBUG("kivo_agent", "failed to shutdown agent socket fd",
               kivo::log::field("error", KivoError::io_errno(errno)),
               kivo::log::field("channel", channel));
  }
}

}  // namespace kivo::agent
