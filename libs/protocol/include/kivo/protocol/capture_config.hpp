// CaptureConfig: the capture the service asks for in "start_capture" and
// "reconfigure". Its limits are checked by the capture pipeline, not here.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

struct CaptureConfig {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t fps = 0;
  std::uint32_t bitrate_kbps = 0;
  std::optional<std::uint32_t> display_id;
  // A window to capture instead of a display.
  std::optional<std::uint32_t> window_id;
  friend bool operator==(const CaptureConfig&, const CaptureConfig&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::CaptureConfig> {
  using T = kivo::protocol::CaptureConfig;
  static constexpr std::string_view name = "CaptureConfig";
  static constexpr auto fields =
      std::make_tuple(field("width", &T::width), field("height", &T::height), field("fps", &T::fps),
                      field("bitrate_kbps", &T::bitrate_kbps), field("display_id", &T::display_id),
                      field("window_id", &T::window_id));
};
