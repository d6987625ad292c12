// Scripts for the stand-in service: one JSON object per line.
//
//   {"stamp":{...},"message":{...}}     a full service envelope, sent as written
//   {"type":"query_status"}             a bare command: stamped with the current
//                                       generation and capture epoch and numbered
//                                       (request_id 1, 2, ...) when sent
//   {"wait_ms":500}                     pause; agent documents keep arriving
//   {"await":"status","timeout_ms":N}   wait for the next agent document of that
//                                       type (default time-out 10 s)
//   {"await":"replies","timeout_ms":N}  wait until every request sent so far has
//                                       its reply
//
// Blank lines and lines whose first non-blank character is '#' are skipped.
// A bare "stop_capture" without "capture_epoch" is given the capture epoch
// the service believes current when it is sent.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kivo/core/result.hpp"
#include "kivo/protocol/service_message.hpp"

namespace kivo::standin {

inline constexpr std::chrono::milliseconds kDefaultAwaitTimeout{10'000};

// A full envelope: the text goes to the agent byte for byte; the decoded form
// is what the service accounts replies by.
struct SendEnvelope {
  std::string text;
  protocol::ServiceEnvelope envelope;
};

// A bare command, numbered by the service when it is sent.
struct SendCommand {
  protocol::ServiceToAgent command;
  // "stop_capture" written without its "capture_epoch".
  bool fill_capture_epoch = false;
};

struct WaitFor {
  std::chrono::milliseconds duration{0};
};

// The name of an agent message type, or kAwaitReplies.
inline constexpr std::string_view kAwaitReplies = "replies";
struct AwaitDocument {
  std::string type;
  std::chrono::milliseconds timeout = kDefaultAwaitTimeout;
};

struct ScriptStep {
  std::size_t line = 0;  // 1-based line of the script
  std::variant<SendEnvelope, SendCommand, WaitFor, AwaitDocument> action;
};

using Script = std::vector<ScriptStep>;

// "line 3: <reason>"
struct ScriptError {
  std::size_t line = 0;
  std::string reason;
  std::string text() const;
};

// Reads a whole script. The first bad line is the error. Full envelopes may
// not repeat a request_id of an earlier full envelope.
Expected<Script, ScriptError> parse_script(std::string_view text);

// Whether `type` names an agent message ("status", "file_event", ...).
bool is_agent_message_type(std::string_view type);

}  // namespace kivo::standin
