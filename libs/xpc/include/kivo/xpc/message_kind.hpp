// The "kind" numbers and keys of the dictionaries on the service link.
#pragma once

#include <cstdint>
#include <string_view>

namespace kivo::xpc {

inline constexpr std::string_view kKindKey = "kind";
inline constexpr std::string_view kPayloadKey = "payload";
inline constexpr std::string_view kAgentGenerationKey = "agent_generation";
inline constexpr std::string_view kMediaFdKey = "media_fd";
inline constexpr std::string_view kBulkFdKey = "bulk_fd";

inline constexpr std::uint64_t kKindHello = 1;          // agent → service, with a reply
inline constexpr std::uint64_t kKindHelloAccepted = 2;  // service → agent, the reply
inline constexpr std::uint64_t kKindCommand = 3;        // service → agent
inline constexpr std::uint64_t kKindAgentDocument = 4;  // agent → service
inline constexpr std::uint64_t kKindHelloRejected = 5;  // service → agent, the reply

inline constexpr std::string_view kMissingPayload = "missing XPC payload";

}  // namespace kivo::xpc
