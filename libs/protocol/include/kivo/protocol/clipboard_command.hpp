// ClipboardCommandWire: what a "clipboard_command" asks of the clipboard
// bridge for one route, told apart by its "type" member.
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <variant>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

// "set_enabled": turns synchronisation for the route on or off.
struct ClipboardSetEnabledCommand {
  bool enabled = false;
  friend bool operator==(const ClipboardSetEnabledCommand&,
                         const ClipboardSetEnabledCommand&) = default;
};

// "send": text to put through to the peer.
struct ClipboardSendCommand {
  std::string payload;
  friend bool operator==(const ClipboardSendCommand&, const ClipboardSendCommand&) = default;
};

using ClipboardCommandWire = std::variant<ClipboardSetEnabledCommand, ClipboardSendCommand>;

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::ClipboardSetEnabledCommand> {
  using T = kivo::protocol::ClipboardSetEnabledCommand;
  static constexpr std::string_view name = "ClipboardSetEnabledCommand";
  static constexpr std::string_view tag = "set_enabled";
  static constexpr auto fields = std::make_tuple(field("enabled", &T::enabled));
};

template <>
struct kivo::json::Record<kivo::protocol::ClipboardSendCommand> {
  using T = kivo::protocol::ClipboardSendCommand;
  static constexpr std::string_view name = "ClipboardSendCommand";
  static constexpr std::string_view tag = "send";
  static constexpr auto fields = std::make_tuple(field("payload", &T::payload));
};

template <>
struct kivo::json::TaggedUnion<kivo::protocol::ClipboardCommandWire> {
  static constexpr std::string_view name = "ClipboardCommandWire";
  static constexpr std::string_view tag_key = "type";
};
