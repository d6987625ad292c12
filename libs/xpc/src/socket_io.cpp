#include "socket_io.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

namespace kivo::xpc::detail {
namespace {

// Room for the most descriptors a message may carry. More than that arrive
// truncated (the kernel closes the excess) and the message is malformed.
constexpr std::size_t kControlSpace = CMSG_SPACE(sizeof(int) * kMaxDescriptors);

union ControlBuffer {
  cmsghdr align;
  std::array<unsigned char, kControlSpace> bytes;
};

KivoError end_of_stream() {
  return KivoError::io(IoKind::kUnexpectedEof, "end of stream");
}

// Fills `out` completely. Every read goes through recvmsg, so descriptors are
// collected whichever bytes of the message they ride on.
Result<void> receive_exact(int fd, std::span<std::uint8_t> out, std::vector<UniqueFd>& fds,
                           bool& truncated) {
  std::size_t done = 0;
  while (done < out.size()) {
    ControlBuffer control{};
    iovec io{out.data() + done, out.size() - done};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control.bytes.data();
    header.msg_controllen = control.bytes.size();
    const ssize_t got = ::recvmsg(fd, &header, MSG_CMSG_CLOEXEC);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(KivoError::io_errno(errno));
    }
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
         item = CMSG_NXTHDR(&header, item)) {
      if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (item->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received = -1;
        std::memcpy(&received, CMSG_DATA(item) + i * sizeof(int), sizeof(int));
        fds.emplace_back(received);
      }
    }
    if ((header.msg_flags & MSG_CTRUNC) != 0) truncated = true;
    if (got == 0) return fail(end_of_stream());
    done += static_cast<std::size_t>(got);
  }
  return ok();
}

}  // namespace

Result<std::size_t> send_message_from(int fd, const EncodedMessage& message, std::size_t offset,
                                      SendMode mode) {
  const auto& bytes = message.bytes;
  const int flags = MSG_NOSIGNAL | (mode == SendMode::kUntilFull ? MSG_DONTWAIT : 0);
  const auto would_block = [](int error) { return error == EAGAIN || error == EWOULDBLOCK; };
  std::size_t done = offset;

  if (done == 0) {
    ControlBuffer control{};
    iovec io{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    if (!message.descriptors.empty()) {
      const std::size_t payload = sizeof(int) * message.descriptors.size();
      header.msg_control = control.bytes.data();
      header.msg_controllen = CMSG_SPACE(payload);
      cmsghdr* item = CMSG_FIRSTHDR(&header);
      item->cmsg_level = SOL_SOCKET;
      item->cmsg_type = SCM_RIGHTS;
      item->cmsg_len = CMSG_LEN(payload);
      std::memcpy(CMSG_DATA(item), message.descriptors.data(), payload);
    }
    ssize_t sent = -1;
    do {
      sent = ::sendmsg(fd, &header, flags);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
      if (mode == SendMode::kUntilFull && would_block(errno)) return done;
      return fail(KivoError::io_errno(errno));
    }
    // The descriptors went with the first bytes; the rest is plain data.
    done = static_cast<std::size_t>(sent);
  }
  while (done < bytes.size()) {
    const ssize_t more = ::send(fd, bytes.data() + done, bytes.size() - done, flags);
    if (more < 0) {
      if (errno == EINTR) continue;
      if (mode == SendMode::kUntilFull && would_block(errno)) return done;
      return fail(KivoError::io_errno(errno));
    }
    done += static_cast<std::size_t>(more);
  }
  return done;
}

Result<ReceivedMessage> receive_message(int fd) {
  std::vector<UniqueFd> fds;
  bool truncated = false;
  std::array<std::uint8_t, kLengthPrefixSize> prefix{};
  KIVO_TRY(receive_exact(fd, prefix, fds, truncated));
  auto length = decode_body_length(prefix);
  if (!length) return fail(std::move(length).error());

  std::vector<std::uint8_t> body(*length);
  KIVO_TRY(receive_exact(fd, body, fds, truncated));
  if (truncated) {
    return fail(KivoError::invalid_message(
        "malformed service link message: more descriptors than a message may carry"));
  }
  auto wire = decode_body(body, std::move(fds));
  if (!wire) return fail(std::move(wire).error());
  return ReceivedMessage{std::move(*wire), *length};
}

Readiness wait_readable(int fd, int wake_fd,
                        std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::array<pollfd, 2> watched{{{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}}};
  const nfds_t count = wake_fd >= 0 ? 2 : 1;
  for (;;) {
    timespec timeout{};
    if (deadline) {
      const auto left = std::max(*deadline - std::chrono::steady_clock::now(),
                                 std::chrono::steady_clock::duration::zero());
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      timeout.tv_sec = static_cast<std::time_t>(seconds.count());
      timeout.tv_nsec = static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    }
    const int ready = ::ppoll(watched.data(), count, deadline ? &timeout : nullptr, nullptr);
    if (ready < 0) {
      // Only EINTR is expected; anything else is left to the read to report.
      if (errno == EINTR) continue;
      return Readiness::kReadable;
    }
    if (ready == 0) return Readiness::kTimedOut;
    if (watched[0].revents != 0) return Readiness::kReadable;
    eventfd_t ignored = 0;
    (void)::eventfd_read(wake_fd, &ignored);
    return Readiness::kWoken;
  }
}

}  // namespace kivo::xpc::detail
