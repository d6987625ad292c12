// HistoryMenuEntry: one recent connection of a "recent_history_snapshot",
// shown in the status menu.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

struct HistoryMenuEntry {
  std::string short_id;
  std::optional<std::string> nickname;
  std::optional<std::string> hostname;
  std::optional<std::string> os;
  std::optional<std::string> screenshot;
  friend bool operator==(const HistoryMenuEntry&, const HistoryMenuEntry&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::HistoryMenuEntry> {
  using T = kivo::protocol::HistoryMenuEntry;
  static constexpr std::string_view name = "HistoryMenuEntry";
  static constexpr auto fields = std::make_tuple(
      field("short_id", &T::short_id), field("nickname", &T::nickname),
      field("hostname", &T::hostname), field("os", &T::os), field("screenshot", &T::screenshot));
};
