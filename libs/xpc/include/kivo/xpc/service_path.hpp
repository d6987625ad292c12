// Where the service listens: <root>/run/kivo/<service name>.
#pragma once

#include <filesystem>
#include <string_view>

namespace kivo::xpc {

// The service the agent connects to.
inline constexpr std::string_view kAgentServiceName = "com.kivo.service.agent";

// <root>/run/kivo/<service_name>
std::filesystem::path service_socket_path(const std::filesystem::path& root,
                                          std::string_view service_name);

// The agent service's socket under the system root (kivo::system_root()).
std::filesystem::path agent_service_socket_path();

}  // namespace kivo::xpc
