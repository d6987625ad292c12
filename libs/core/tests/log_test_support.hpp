// Shared by the logging tests: a temporary folder, whole-file reads, and
// environment variables set for one test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "kivo/testing/temp_dir.hpp"

namespace kivo::log::testing {

using kivo::testing::TempDir;

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

using kivo::testing::ScopedEnv;

// An exclusive flock on `path` through an open file description of its own,
// so it conflicts with every other open() of the file, in this process too.
class HeldFlock {
 public:
  explicit HeldFlock(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
  }
  ~HeldFlock() { release(); }
  HeldFlock(const HeldFlock&) = delete;
  HeldFlock& operator=(const HeldFlock&) = delete;

  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

inline std::size_t count_lines(const std::string& text) {
  std::size_t count = 0;
  for (char c : text) count += c == '\n' ? 1 : 0;
  return count;
}

}  // namespace kivo::log::testing
