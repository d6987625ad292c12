#include "kivo/xpc/listener.hpp"

#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "unix_address.hpp"

namespace kivo::xpc {

Listener::Listener(UniqueFd socket, std::filesystem::path path, dev_t device, ino_t inode)
    : socket_(std::move(socket)), path_(std::move(path)), device_(device), inode_(inode) {}

namespace {

// A name beside `path` for binding before the socket listens: short, hidden,
// and unique within the process.
std::filesystem::path staging_path(const std::filesystem::path& path) {
  static std::atomic<std::uint32_t> counter{0};
  return path.parent_path() /
         fmt::format(".kivo-{}-{}", ::getpid(), counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace

Result<Listener> Listener::bind(std::filesystem::path path) {
  auto address = detail::unix_address(path);
  if (!address) return fail(std::move(address).error());

  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
    return fail(KivoError::io_errno(EEXIST));
  }

  // A peer that sees the path must be able to connect: the socket is bound
  // under another name, listens, and only then takes the path, in one rename
  // that also replaces a socket left by an earlier run.
  const std::filesystem::path staging = staging_path(path);
  auto staging_address = detail::unix_address(staging);
  if (!staging_address) return fail(std::move(staging_address).error());
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return fail(KivoError::io_errno(errno));
  ::unlink(staging.c_str());
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*staging_address),
             sizeof(*staging_address)) != 0) {
    return fail(KivoError::io_errno(errno));
  }
  struct stat bound {};
  if (::lstat(staging.c_str(), &bound) != 0 || ::listen(socket.get(), SOMAXCONN) != 0 ||
      ::rename(staging.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(staging.c_str());
    return fail(KivoError::io_errno(error));
  }
  return Listener(std::move(socket), std::move(path), bound.st_dev, bound.st_ino);
}

Listener& Listener::operator=(Listener&& other) noexcept {
  if (this != &other) {
    remove_file();
    socket_ = std::move(other.socket_);
    path_ = std::move(other.path_);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

Listener::~Listener() {
  remove_file();
}

void Listener::remove_file() {
  if (!socket_) return;
  struct stat current {};
  if (::lstat(path_.c_str(), &current) == 0 && current.st_dev == device_ &&
      current.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
  socket_.reset();
}

Result<UniqueFd> Listener::accept() {
  for (;;) {
    const int peer = ::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (peer >= 0) return UniqueFd(peer);
    if (errno == EINTR || errno == ECONNABORTED) continue;
    return fail(KivoError::io_errno(errno));
  }
}

void Listener::stop() {
  // On Linux, shutting a listening socket down makes accept fail with EINVAL.
  ::shutdown(socket_.get(), SHUT_RDWR);
}

}  // namespace kivo::xpc
