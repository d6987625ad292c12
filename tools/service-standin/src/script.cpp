#include "kivo/standin/script.hpp"

#include <fmt/format.h>

#include <array>
#include <map>
#include <utility>

#include "kivo/core/json_codec.hpp"
#include "kivo/core/json_parse.hpp"
#include "kivo/protocol/agent_message.hpp"

namespace kivo::standin {
namespace {

// Far beyond any sensible pause, well inside what a duration can hold.
constexpr std::uint64_t kMaxMilliseconds = 1'000'000'000'000;

template <class... Alternatives>
constexpr auto message_tags(const std::variant<Alternatives...>*) {
  return std::array<std::string_view, sizeof...(Alternatives)>{json::Record<Alternatives>::tag...};
}

constexpr auto kAgentMessageTags =
    message_tags(static_cast<const protocol::AgentMessage*>(nullptr));

bool is_blank_or_comment(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  return first == std::string_view::npos || line[first] == '#';
}

// The reader's text of a KivoError::json, the display of anything else.
std::string reason_of(const KivoError& error) {
  return error.kind() == KivoError::Kind::kJson ? error.text() : error.display();
}

Expected<std::chrono::milliseconds, std::string> milliseconds_of(const json::Value& value,
                                                                 std::string_view key) {
  if (!value.is_unsigned()) {
    return fail(fmt::format("\"{}\" must be a whole number of milliseconds", key));
  }
  if (value.as_unsigned() > kMaxMilliseconds) {
    return fail(fmt::format("\"{}\" is too large", key));
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(value.as_unsigned()));
}

using LineResult =
    Expected<std::variant<SendEnvelope, SendCommand, WaitFor, AwaitDocument>, std::string>;

LineResult parse_command(json::Value value) {
  SendCommand step;
  const std::string* type = nullptr;
  if (const json::Value* found = value.find("type"); found && found->is_string()) {
    type = &found->as_string();
  }
  if (type != nullptr && *type == "stop_capture" && value.find("capture_epoch") == nullptr) {
    value.as_object().push_back(json::Member{"capture_epoch", json::Value(0)});
    step.fill_capture_epoch = true;
  }
  Result<protocol::ServiceToAgent> command = json::decode<protocol::ServiceToAgent>(value);
  if (!command) return fail("bad command: " + reason_of(command.error()));
  step.command = std::move(*command);
  return step;
}

LineResult parse_directive(const json::Value& value) {
  std::map<std::string_view, const json::Value*> members;
  for (const json::Member& member : value.as_object()) {
    if (!members.emplace(member.key, &member.value).second) {
      return fail(fmt::format("duplicate key \"{}\"", member.key));
    }
  }
  const auto unexpected_beside =
      [&](std::string_view directive,
          std::initializer_list<std::string_view> allowed) -> std::optional<std::string> {
    for (const auto& [key, member] : members) {
      bool known = false;
      for (std::string_view name : allowed) known = known || key == name;
      if (!known) return fmt::format("unexpected key \"{}\" beside \"{}\"", key, directive);
    }
    return std::nullopt;
  };

  if (members.contains("wait_ms")) {
    if (auto problem = unexpected_beside("wait_ms", {"wait_ms"})) return fail(*problem);
    auto duration = milliseconds_of(*members.at("wait_ms"), "wait_ms");
    if (!duration) return fail(std::move(duration).error());
    return WaitFor{*duration};
  }
  if (members.contains("await")) {
    if (auto problem = unexpected_beside("await", {"await", "timeout_ms"})) return fail(*problem);
    const json::Value& awaited = *members.at("await");
    if (!awaited.is_string()) return fail("\"await\" must be a string");
    if (awaited.as_string() != kAwaitReplies && !is_agent_message_type(awaited.as_string())) {
      return fail(fmt::format("unknown agent message type \"{}\"", awaited.as_string()));
    }
    AwaitDocument step{awaited.as_string(), kDefaultAwaitTimeout};
    if (auto timeout = members.find("timeout_ms"); timeout != members.end()) {
      auto duration = milliseconds_of(*timeout->second, "timeout_ms");
      if (!duration) return fail(std::move(duration).error());
      step.timeout = *duration;
    }
    return step;
  }
  return fail(
      "expected a service envelope (\"message\"), a command (\"type\"), \"wait_ms\" or "
      "\"await\"");
}

LineResult parse_line(std::string_view line) {
  Result<json::Value> value = json::parse(line);
  if (!value) return fail(reason_of(value.error()));
  if (!value->is_object()) return fail("expected a JSON object");
  if (value->find("message") != nullptr) {
    Result<protocol::ServiceEnvelope> envelope = protocol::decode_service_envelope(line);
    if (!envelope) return fail("bad envelope: " + reason_of(envelope.error()));
    return SendEnvelope{std::string(line), std::move(*envelope)};
  }
  if (value->find("type") != nullptr) return parse_command(std::move(*value));
  return parse_directive(*value);
}

}  // namespace

std::string ScriptError::text() const {
  return fmt::format("line {}: {}", line, reason);
}

bool is_agent_message_type(std::string_view type) {
  for (std::string_view tag : kAgentMessageTags) {
    if (tag == type) return true;
  }
  return false;
}

Expected<Script, ScriptError> parse_script(std::string_view text) {
  Script script;
  std::map<std::uint64_t, std::size_t> request_ids;  // of full envelopes, to their line
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (is_blank_or_comment(line)) continue;

    LineResult action = parse_line(line);
    if (!action) return fail(ScriptError{line_number, std::move(action).error()});
    if (const auto* full = std::get_if<SendEnvelope>(&*action); full && full->envelope.request_id) {
      const std::uint64_t id = *full->envelope.request_id;
      if (auto earlier = request_ids.find(id); earlier != request_ids.end()) {
        return fail(ScriptError{line_number, fmt::format("request_id {} is already used on line {}",
                                                         id, earlier->second)});
      }
      request_ids.emplace(id, line_number);
    }
    script.push_back(ScriptStep{line_number, std::move(*action)});
  }
  return script;
}

}  // namespace kivo::standin
