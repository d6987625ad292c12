// Listener: the service's end of the service link. Binds a Unix stream
// socket at a path and hands out one connected socket per peer, to be
// adopted by a Connection.
#pragma once

#include <sys/types.h>

#include <filesystem>

#include "kivo/core/result.hpp"
#include "kivo/xpc/unique_fd.hpp"

namespace kivo::xpc {

class Listener {
 public:
  // Listens at `path`, whose folder must exist. The path appears only once
  // the socket accepts peers (it is bound under a hidden name beside it and
  // renamed), so whoever sees it can connect. A socket left at the path by
  // an earlier run is replaced; any other file there is an error.
  static Result<Listener> bind(std::filesystem::path path);

  Listener(Listener&&) noexcept = default;
  Listener& operator=(Listener&&) noexcept;
  // Closes the socket and removes its file, unless something else has taken
  // the path since.
  ~Listener();

  // Waits for the next peer; its connected socket, close-on-exec.
  Result<UniqueFd> accept();
  // Wakes a waiting accept and makes later ones fail. Safe from any thread.
  void stop();

  const std::filesystem::path& path() const { return path_; }

 private:
  Listener(UniqueFd socket, std::filesystem::path path, dev_t device, ino_t inode);
  void remove_file();

  UniqueFd socket_;
  std::filesystem::path path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace kivo::xpc
