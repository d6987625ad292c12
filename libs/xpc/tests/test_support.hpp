// Helpers shared by the service link tests.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kivo/xpc/unique_fd.hpp"

namespace kivo::xpc::testing {

inline bool is_open(int fd) {
  return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Two descriptors refer to the same open file (same device and inode).
inline bool same_file(int a, int b) {
  struct stat first {};
  struct stat second {};
  if (::fstat(a, &first) != 0 || ::fstat(b, &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

inline std::pair<UniqueFd, UniqueFd> make_socket_pair() {
  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// read end, write end
inline std::pair<UniqueFd, UniqueFd> make_pipe() {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return {};
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// True when every write end of the pipe whose read end is `read_end` has
// been closed, in every process.
inline bool all_writers_closed(int read_end) {
  char byte = 0;
  return ::read(read_end, &byte, 1) == 0;
}

// Little-endian body builder for hand-made (and broken) messages.
class Bytes {
 public:
  Bytes& u8(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  Bytes& u16(std::uint16_t value) { return le(value, 2); }
  Bytes& u32(std::uint32_t value) { return le(value, 4); }
  Bytes& u64(std::uint64_t value) { return le(value, 8); }
  Bytes& raw(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  Bytes& zeros(std::size_t count) {
    bytes_.insert(bytes_.end(), count, 0);
    return *this;
  }
  // An entry with a key and a type byte; the value follows separately.
  Bytes& key(std::string_view key, std::uint8_t type) {
    u16(static_cast<std::uint16_t>(key.size()));
    raw(key);
    return u8(type);
  }
  // message_id, reply_to, entry count
  Bytes& header(std::uint64_t id, std::uint64_t reply_to, std::uint32_t entries) {
    return u64(id).u64(reply_to).u32(entries);
  }
  const std::vector<std::uint8_t>& get() const { return bytes_; }
  // The body preceded by its length prefix.
  std::vector<std::uint8_t> framed() const {
    Bytes out;
    out.u32(static_cast<std::uint32_t>(bytes_.size()));
    out.bytes_.insert(out.bytes_.end(), bytes_.begin(), bytes_.end());
    return out.bytes_;
  }

 private:
  Bytes& le(std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kivo::xpc::testing
