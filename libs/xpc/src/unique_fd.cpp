#include "kivo/xpc/unique_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kivo::xpc {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) {
    // Linux releases the descriptor even when close reports EINTR, so a
    // retry could close a descriptor another thread has just been given.
    ::close(fd_);
  }
  fd_ = fd;
}

Result<UniqueFd> UniqueFd::duplicate() const {
  if (fd_ < 0) return fail(KivoError::io_errno(EBADF));
  const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return fail(KivoError::io_errno(errno));
  return UniqueFd(copy);
}

}  // namespace kivo::xpc
