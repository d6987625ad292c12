#pragma once

#include <sys/un.h>

#include <filesystem>

#include "kivo/core/result.hpp"

namespace kivo::xpc::detail {

// The socket address of a filesystem path: EINVAL for an empty path or one
// with a NUL byte, ENAMETOOLONG when it does not fit (with its NUL).
Result<sockaddr_un> unix_address(const std::filesystem::path& path);

}  // namespace kivo::xpc::detail
