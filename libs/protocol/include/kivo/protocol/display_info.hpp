// The display records of the agent's replies: DisplayInfo for "display_list",
// DisplaySettings with its DisplayMode list for "display_settings_result" and
// "resolution_applied".
#pragma once

#include <cstdint>
#include <string_view>
#include <tuple>
#include <vector>

#include "kivo/core/json_codec.hpp"
#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::protocol {

struct DisplayInfo {
  std::uint32_t display_id = 0;
  std::uint32_t index = 0;
  bool is_primary = false;
  Rect frame_points;
  std::uint32_t pixel_width = 0;
  std::uint32_t pixel_height = 0;
  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

struct DisplayMode {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t refresh_rate = 0;
  bool is_current = false;
  friend bool operator==(const DisplayMode&, const DisplayMode&) = default;
};

struct DisplaySettings {
  std::uint32_t display_id = 0;
  std::uint32_t index = 0;
  bool is_primary = false;
  std::uint32_t current_width = 0;
  std::uint32_t current_height = 0;
  std::uint32_t current_refresh_rate = 0;
  std::uint32_t min_width = 0;
  std::uint32_t min_height = 0;
  std::uint32_t dpi_scale = 0;
  std::uint32_t effective_dpi_x = 0;
  std::uint32_t effective_dpi_y = 0;
  std::uint32_t bitrate_bps = 0;
  std::vector<DisplayMode> modes;
  friend bool operator==(const DisplaySettings&, const DisplaySettings&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::DisplayInfo> {
  using T = kivo::protocol::DisplayInfo;
  static constexpr std::string_view name = "DisplayInfo";
  static constexpr auto fields = std::make_tuple(
      field("display_id", &T::display_id), field("index", &T::index),
      field("is_primary", &T::is_primary), field("frame_points", &T::frame_points),
      field("pixel_width", &T::pixel_width), field("pixel_height", &T::pixel_height));
};

template <>
struct kivo::json::Record<kivo::protocol::DisplayMode> {
  using T = kivo::protocol::DisplayMode;
  static constexpr std::string_view name = "DisplayMode";
  static constexpr auto fields =
      std::make_tuple(field("width", &T::width), field("height", &T::height),
                      field("refresh_rate", &T::refresh_rate), field("is_current", &T::is_current));
};

template <>
struct kivo::json::Record<kivo::protocol::DisplaySettings> {
  using T = kivo::protocol::DisplaySettings;
  static constexpr std::string_view name = "DisplaySettings";
  static constexpr auto fields = std::make_tuple(
      field("display_id", &T::display_id), field("index", &T::index),
      field("is_primary", &T::is_primary), field("current_width", &T::current_width),
      field("current_height", &T::current_height),
      field("current_refresh_rate", &T::current_refresh_rate), field("min_width", &T::min_width),
      field("min_height", &T::min_height), field("dpi_scale", &T::dpi_scale),
      field("effective_dpi_x", &T::effective_dpi_x), field("effective_dpi_y", &T::effective_dpi_y),
      field("bitrate_bps", &T::bitrate_bps), field("modes", &T::modes));
};
