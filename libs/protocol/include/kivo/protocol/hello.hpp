// The hello request: the agent's view of its login session, the quit id it
// resumes after, and the features it offers. Sent once per connection as the
// payload of the first XPC message.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "kivo/core/json_codec.hpp"
#include "kivo/core/result.hpp"

namespace kivo::protocol {

// The features this agent offers, in the order it announces them.
inline constexpr std::array<std::string_view, 3> kAgentCapabilities{
    "recent_history_snapshot_v1", "open_ui_connect_intent_v1", "display_thumbnail_bulk_v1"};

// A flag the agent could not determine is left out rather than guessed.
struct HelloSession {
  std::optional<bool> on_console;
  std::optional<bool> login_done;
  friend bool operator==(const HelloSession&, const HelloSession&) = default;
};

struct HelloRequest {
  HelloSession session;
  std::optional<std::string> resume_quit_id;
  std::vector<std::string> capabilities;
  friend bool operator==(const HelloRequest&, const HelloRequest&) = default;
};

std::string encode_hello_request(std::optional<bool> on_console, std::optional<bool> login_done,
                                 std::optional<std::string_view> resume_quit_id,
                                 std::span<const std::string_view> capabilities);

// Reads a hello request, for a stand-in service and for tests.
Result<HelloRequest> decode_hello_request(std::string_view text);

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::HelloSession> {
  using T = kivo::protocol::HelloSession;
  static constexpr std::string_view name = "HelloSession";
  static constexpr auto fields =
      std::make_tuple(field("on_console", &T::on_console), field("login_done", &T::login_done));
};

template <>
struct kivo::json::Record<kivo::protocol::HelloRequest> {
  using T = kivo::protocol::HelloRequest;
  static constexpr std::string_view name = "HelloRequest";
  static constexpr auto fields =
      std::make_tuple(field("session", &T::session), field("resume_quit_id", &T::resume_quit_id),
                      field("capabilities", &T::capabilities).omit(Omit::kIfEmpty).or_default());
};
