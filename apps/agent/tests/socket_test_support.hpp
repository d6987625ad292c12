// Shared helpers for the socket tests: a connected socket pair, a clock the
// test moves by hand, and a bounded wait for a condition another thread makes
// true.
#pragma once

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "kivo/protocol/frames.hpp"
#include "kivo/xpc/unique_fd.hpp"
#include "monotonic_clock.hpp"

namespace kivo::agent::testing {

struct SocketPair {
  xpc::UniqueFd agent;
  xpc::UniqueFd peer;

  SocketPair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    agent.reset(fds[0]);
    peer.reset(fds[1]);
  }
};

class FakeClock final : public MonotonicClock {
 public:
  time_point now() const override {
    return time_point{} + std::chrono::nanoseconds(offset_.load());
  }
  void advance(std::chrono::nanoseconds by) { offset_.fetch_add(by.count()); }

 private:
  std::atomic<std::int64_t> offset_{1'000'000'000};
};

// Polls `condition` every millisecond; false if it is still false after 5 s.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Bytes waiting to be read on `fd`.
inline int readable_bytes(int fd) {
  int count = 0;
  EXPECT_EQ(::ioctl(fd, FIONREAD, &count), 0);
  return count;
}

inline void write_all(int fd, const protocol::Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<std::size_t>(n);
  }
}

inline protocol::Bytes filled(std::size_t size, std::uint8_t seed) {
  protocol::Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

}  // namespace kivo::agent::testing
