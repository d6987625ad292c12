#include "unix_address.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kivo::xpc::detail {

Result<sockaddr_un> unix_address(const std::filesystem::path& path) {
  const std::string& text = path.native();
  if (text.empty() || text.find('\0') != std::string::npos) {
    return fail(KivoError::io_errno(EINVAL));
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (text.size() >= sizeof(address.sun_path)) return fail(KivoError::io_errno(ENAMETOOLONG));
  std::memcpy(address.sun_path, text.data(), text.size());
  return address;
}

}  // namespace kivo::xpc::detail
