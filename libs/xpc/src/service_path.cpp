#include "kivo/xpc/service_path.hpp"

#include <cstdlib>

namespace kivo::xpc {

std::filesystem::path system_root() {
  const char* root = std::getenv("KIVO_SYSTEM_ROOT");
  if (root == nullptr || *root == '\0') return "/";
  return root;
}

std::filesystem::path service_socket_path(const std::filesystem::path& root,
                                          std::string_view service_name) {
  return root / "run" / "kivo" / service_name;
}

std::filesystem::path agent_service_socket_path() {
  return service_socket_path(system_root(), kAgentServiceName);
}

}  // namespace kivo::xpc
