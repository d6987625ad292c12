#include "kivo/core/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kivo/core/utf8.hpp"

namespace kivo {

Result<std::string> read_file(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(KivoError::io_errno(errno));
  std::string content;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      return fail(KivoError::io_errno(error));
    }
    if (n == 0) break;
    content.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

Result<std::optional<std::string>> read_text_file_if_present(const std::filesystem::path& path) {
  Result<std::string> bytes = read_file(path);
  if (!bytes) {
    if (bytes.error().os_error() == ENOENT) return std::optional<std::string>();
    return fail(std::move(bytes).error());
  }
  if (!is_utf8(*bytes)) {
    return fail(KivoError::io(IoKind::kInvalidData, "stream did not contain valid UTF-8"));
  }
  return std::optional<std::string>(std::move(*bytes));
}

Result<void> remove_file_if_present(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return ok();
  return fail(KivoError::io_errno(errno));
}

}  // namespace kivo
