#include "kivo/xpc/service_path.hpp"

#include "kivo/core/config.hpp"

namespace kivo::xpc {

std::filesystem::path service_socket_path(const std::filesystem::path& root,
                                          std::string_view service_name) {
  return root / "run" / "kivo" / service_name;
}

std::filesystem::path agent_service_socket_path() {
  return service_socket_path(kivo::system_root(), kAgentServiceName);
}

}  // namespace kivo::xpc
