// The log file itself: opening it safely, the cross-process flock, appending
// and cutting down.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "kivo/core/logging.hpp"

namespace kivo::log {
namespace {

namespace fs = std::filesystem;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

KivoError last_os_error() {
  return KivoError::io_errno(errno);
}

KivoError not_a_regular_file(const fs::path& path) {
  return KivoError::io(IoKind::kInvalidInput, "log path is not a regular file: " + path.string());
}

// Creates the folder as needed and opens the file for reading and appending,
// never through a symbolic link, and gives it the configured mode.
Result<FileDescriptor> open_log_file(const fs::path& path, const LogFileOptions& options) {
  const fs::path name = path.filename();
  if (name.empty() || name == "." || name == "..") {
    return fail(KivoError::io(IoKind::kInvalidInput, "log path has no parent directory"));
  }
  if (const fs::path parent = path.parent_path(); !parent.empty()) {
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) return fail(KivoError::io_errno(error.value()));
  }

  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return fail(not_a_regular_file(path));
  } else if (errno != ENOENT) {
    return fail(last_os_error());
  }

  const mode_t create_mode = static_cast<mode_t>(options.mode.value_or(0666));
  const int fd = ::open(
      path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, create_mode);
  if (fd < 0) return fail(last_os_error());
  FileDescriptor file(fd);

  if (::fstat(fd, &info) != 0) return fail(last_os_error());
  if (!S_ISREG(info.st_mode)) return fail(not_a_regular_file(path));
  if (options.mode) {
    // On the descriptor, not the path: a link swapped in since the open must
    // not have its target's mode changed.
    while (::fchmod(fd, static_cast<mode_t>(*options.mode)) != 0) {
      if (errno != EINTR) return fail(last_os_error());
    }
  }
  return file;
}

Result<void> lock_exclusive(int fd, const FileLockWait& wait) {
  if (!wait) {
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return fail(last_os_error());
    }
    return ok();
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return fail(last_os_error());
    if (!wait()) {
      return fail(KivoError::io(IoKind::kTimedOut, "log file is locked by another process"));
    }
  }
  return ok();
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    if (written == 0) return fail(KivoError::io_errno(EIO));
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return ok();
}

Result<std::string> read_all(int fd) {
  std::string content;
  char chunk[64 * 1024];
  off_t offset = 0;
  while (true) {
    const ssize_t got = ::pread(fd, chunk, sizeof chunk, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    if (got == 0) return content;
    content.append(chunk, static_cast<std::size_t>(got));
    offset += got;
  }
}

Result<std::uint64_t> file_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(last_os_error());
  return static_cast<std::uint64_t>(info.st_size);
}

// Replaces the whole content with its cut-down form (writes go to the end,
// which after the truncation is the start).
Result<void> rewrite_cut_down(int fd, std::string_view content, std::uint64_t keep) {
  const std::string_view kept = cut_down(content, keep);
  while (::ftruncate(fd, 0) != 0) {
    if (errno != EINTR) return fail(last_os_error());
  }
  return write_all(fd, kept);
}

}  // namespace

std::string_view cut_down(std::string_view content, std::uint64_t keep) {
  if (content.size() <= keep) return content;
  if (keep == 0) return {};
  std::string_view tail = content.substr(content.size() - keep);
  const std::size_t line_feed = tail.find('\n');
  if (line_feed != std::string_view::npos && line_feed + 1 < tail.size()) {
    tail.remove_prefix(line_feed + 1);
  }
  return tail;
}

FileSink::FileSink(fs::path normalized, LogFileOptions options, TransactionLock lock)
    : path_(std::move(normalized)), options_(options), lock_(std::move(lock)) {}

Result<void> FileSink::prepare() const {
  std::lock_guard transaction(*lock_);
  auto opened = open_log_file(path_, options_);
  if (!opened) return fail(std::move(opened).error());
  const FileDescriptor file = std::move(*opened);
  KIVO_TRY(lock_exclusive(file.get(), {}));
  auto size = file_size(file.get());
  if (!size) return fail(std::move(size).error());
  if (*size > options_.cap) {
    auto content = read_all(file.get());
    if (!content) return fail(std::move(content).error());
    KIVO_TRY(rewrite_cut_down(file.get(), *content, options_.keep));
  }
  ::flock(file.get(), LOCK_UN);
  return ok();
}

Result<void> FileSink::write_batch(std::string_view batch, const FileLockWait& wait) const {
  std::lock_guard transaction(*lock_);
  return write_batch_locked(batch, wait);
}

Result<void> FileSink::write_batch_locked(std::string_view batch, const FileLockWait& wait) const {
  auto opened = open_log_file(path_, options_);
  if (!opened) return fail(std::move(opened).error());
  const FileDescriptor file = std::move(*opened);
  KIVO_TRY(lock_exclusive(file.get(), wait));
  auto size = file_size(file.get());
  if (!size) return fail(std::move(size).error());
  if (*size + batch.size() > options_.cap) {
    auto content = read_all(file.get());
    if (!content) return fail(std::move(content).error());
    *content += batch;
    KIVO_TRY(rewrite_cut_down(file.get(), *content, options_.keep));
  } else {
    KIVO_TRY(write_all(file.get(), batch));
  }
  ::flock(file.get(), LOCK_UN);
  return ok();
}

}  // namespace kivo::log
