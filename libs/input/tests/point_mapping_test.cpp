#include "kivo/input/point_mapping.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace kivo::input {
namespace {

protocol::CaptureGeometry geometry(protocol::Rect content, protocol::Rect display) {
  protocol::CaptureGeometry g;
  g.content_rect_px = content;
  g.display_bounds_points = display;
  return g;
}

const protocol::CaptureGeometry kFullHd = geometry({{0, 0}, {1920, 1080}}, {{0, 0}, {1440, 810}});
// Letterboxed content on a secondary display left of the main one.
const protocol::CaptureGeometry kOffset =
    geometry({{10, 20}, {101, 51}}, {{-1000, 100}, {201, 101}});

// A frame pixel and the global point it should map to, if any.
struct PointCase {
  const char* name;
  protocol::CaptureGeometry geometry;
  std::int32_t x;
  std::int32_t y;
  std::optional<GlobalPoint> expected;
};

TEST(PointMappingTest, MapsAbsolutePoints) {
  const PointCase cases[] = {
      {"first pixel", kFullHd, 0, 0, GlobalPoint{0, 0}},
      {"last pixel", kFullHd, 1919, 1079, GlobalPoint{1439, 809}},
      {"past the last column", kFullHd, 1920, 0, std::nullopt},
      {"past the last row", kFullHd, 0, 1080, std::nullopt},
      {"negative", kFullHd, -1, 5, std::nullopt},
      {"offset origin", kOffset, 10, 20, GlobalPoint{-1000, 100}},
      {"offset last", kOffset, 110, 70, GlobalPoint{-800, 200}},
      {"offset middle", kOffset, 60, 45, GlobalPoint{-900, 150}},
      {"left of offset content", kOffset, 9, 30, std::nullopt},
      {"one pixel wide", geometry({{5, 0}, {1, 100}}, {{300, 0}, {800, 100}}), 5, 99,
       GlobalPoint{300, 99}},
      {"one point wide display", geometry({{0, 0}, {100, 100}}, {{300, 0}, {1, 100}}), 99, 0,
       GlobalPoint{300, 0}},
      {"zero width", geometry({{0, 0}, {0, 100}}, {{0, 0}, {100, 100}}), 0, 0, std::nullopt},
      {"negative height", geometry({{0, 0}, {100, -5}}, {{0, 0}, {100, 100}}), 0, 0, std::nullopt},
  };
  for (const PointCase& c : cases) {
    EXPECT_EQ(map_point(c.geometry, c.x, c.y), c.expected) << c.name;
  }
}

TEST(PointMappingTest, ClampedMappingMovesOutsidePixelsOntoTheEdge) {
  const PointCase cases[] = {
      {"inside is unchanged", kFullHd, 1919, 1079, GlobalPoint{1439, 809}},
      {"right of content", kFullHd, 5000, 0, GlobalPoint{1439, 0}},
      {"above and left", kFullHd, -7, -7, GlobalPoint{0, 0}},
      {"below offset content", kOffset, 60, 500, GlobalPoint{-900, 200}},
      {"extreme values", kOffset, INT32_MIN, INT32_MAX, GlobalPoint{-1000, 200}},
      {"zero width", geometry({{0, 0}, {0, 100}}, {{0, 0}, {100, 100}}), 0, 0, std::nullopt},
      {"under a pixel high", geometry({{0, 0}, {100, 0.5}}, {{0, 0}, {100, 100}}), 0, 0,
       std::nullopt},
  };
  for (const PointCase& c : cases) {
    EXPECT_EQ(map_point_clamped(c.geometry, c.x, c.y), c.expected) << c.name;
  }
}

TEST(PointMappingTest, MapsDeltas) {
  struct Case {
    const char* name;
    protocol::CaptureGeometry geometry;
    std::int32_t dx;
    std::int32_t dy;
    GlobalPoint expected;
  };
  const Case cases[] = {
      {"scaled", kOffset, 10, -5, {20, -10}},
      {"full hd", kFullHd, 1919, -1079, {1439, -809}},
      {"zero width content", geometry({{0, 0}, {0, 100}}, {{0, 0}, {100, 100}}), 50, 99, {0, 99}},
      {"one point display", geometry({{0, 0}, {100, 100}}, {{0, 0}, {100, 1}}), 99, 99, {99, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map_delta(c.geometry, c.dx, c.dy), c.expected) << c.name;
  }
}

TEST(PointMappingTest, ClampsToDisplayBounds) {
  const protocol::Rect bounds{{-1000, 100}, {200, 100}};
  struct Case {
    GlobalPoint in;
    GlobalPoint out;
  };
  const Case cases[] = {
      {{-900, 150}, {-900, 150}},
      {{-2000, 0}, {-1000, 100}},
      {{0, 1000}, {-801, 199}},
      {{-801, 199}, {-801, 199}},
  };
  for (const Case& c : cases) EXPECT_EQ(clamp_to_bounds(c.in, bounds), c.out);
  // A degenerate display pins the axis to its origin.
  EXPECT_EQ(clamp_to_bounds({50, 50}, {{10, 20}, {0, 0.5}}), (GlobalPoint{10, 20}));
}

}  // namespace
}  // namespace kivo::input
