// AltTabApp: one window of the alt-tab list sent to a controlling peer.
#pragma once

#include <string>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

struct AltTabApp {
  std::string title;
  std::string icon_png_base64;  // a PNG image in standard Base64
  std::string hwnd;
  friend bool operator==(const AltTabApp&, const AltTabApp&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::AltTabApp> {
  using T = kivo::protocol::AltTabApp;
  static constexpr std::string_view name = "AltTabApp";
  static constexpr auto fields =
      std::make_tuple(field("title", &T::title), field("icon_png_base64", &T::icon_png_base64),
                      field("hwnd", &T::hwnd));
};
