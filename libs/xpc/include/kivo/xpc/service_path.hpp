// Where the service listens: <root>/run/kivo/<service name>.
#pragma once

#include <filesystem>
#include <string_view>

namespace kivo::xpc {

// The service the agent connects to.
inline constexpr std::string_view kAgentServiceName = "com.kivo.service.agent";

// The root of machine-wide locations: KIVO_SYSTEM_ROOT when it is set and not
// empty, else "/".
std::filesystem::path system_root();

// <root>/run/kivo/<service_name>
std::filesystem::path service_socket_path(const std::filesystem::path& root,
                                          std::string_view service_name);

// The agent service's socket under system_root().
std::filesystem::path agent_service_socket_path();

}  // namespace kivo::xpc
