// CaptureGeometry: where the captured display lies (in points) and where its
// content sits in the encoded surface (in pixels), as reported to the service
// and used to map input coordinates. Rect and Size carry doubles on the wire.
#pragma once

#include <cstdint>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"

namespace kivo::protocol {

struct Point {
  double x = 0.0;
  double y = 0.0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0.0;
  double height = 0.0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct CaptureGeometry {
  std::uint64_t reconfigure_generation = 0;
  std::uint64_t epoch = 0;
  std::uint32_t display_id = 0;
  Rect display_bounds_points;
  Size surface_size_px;
  Rect content_rect_px;
  friend bool operator==(const CaptureGeometry&, const CaptureGeometry&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::Point> {
  using T = kivo::protocol::Point;
  static constexpr std::string_view name = "Point";
  static constexpr auto fields = std::make_tuple(field("x", &T::x), field("y", &T::y));
};

template <>
struct kivo::json::Record<kivo::protocol::Size> {
  using T = kivo::protocol::Size;
  static constexpr std::string_view name = "Size";
  static constexpr auto fields =
      std::make_tuple(field("width", &T::width), field("height", &T::height));
};

template <>
struct kivo::json::Record<kivo::protocol::Rect> {
  using T = kivo::protocol::Rect;
  static constexpr std::string_view name = "Rect";
  static constexpr auto fields =
      std::make_tuple(field("origin", &T::origin), field("size", &T::size));
};

template <>
struct kivo::json::Record<kivo::protocol::CaptureGeometry> {
  using T = kivo::protocol::CaptureGeometry;
  static constexpr std::string_view name = "CaptureGeometry";
  static constexpr auto fields = std::make_tuple(
      field("reconfigure_generation", &T::reconfigure_generation), field("epoch", &T::epoch),
      field("display_id", &T::display_id),
      field("display_bounds_points", &T::display_bounds_points),
      field("surface_size_px", &T::surface_size_px), field("content_rect_px", &T::content_rect_px));
};
