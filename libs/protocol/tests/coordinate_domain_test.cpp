#include "kivo/protocol/coordinate_domain.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace kivo::protocol {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Rect rect(double x, double y, double width, double height) {
  return Rect{Point{x, y}, Size{width, height}};
}

TEST(CoordinateDomainTest, HysteresisKeepsComponentsThatMoveLessThanHalfAUnit) {
  struct Case {
    const char* name;
    std::optional<Rect> previous;
    Rect candidate;
    std::optional<Rect> expected;
  };
  const Case cases[] = {
      {"sub-half moves are held, a half moves", rect(10, 10, 100, 100),
       rect(10.4, 9.6, 100.49, 100.5), rect(10, 10, 100, 100.5)},
      {"just under a half either way", rect(0, 0, 0, 0), rect(0.4999, -0.4999, 0.4999, -0.4999),
       rect(0, 0, 0, 0)},
      {"a half either way", rect(0, 0, 0, 0), rect(0.5, -0.5, 0.5, -0.5),
       rect(0.5, -0.5, 0.5, -0.5)},
      {"each component on its own", rect(1, 2, 3, 4), rect(5, 2.2, 3, 9), rect(5, 2, 3, 9)},
      {"same rectangle", rect(96, 0, 1728, 1080), rect(96, 0, 1728, 1080), rect(96, 0, 1728, 1080)},
      {"no previous: the candidate", std::nullopt, rect(10.4, 9.6, 100.49, 100.5),
       rect(10.4, 9.6, 100.49, 100.5)},
      {"no previous: sizes are not checked", std::nullopt, rect(1, 2, -3, 0), rect(1, 2, -3, 0)},
      {"previous: sizes are not checked", rect(1, 2, -3, 0), rect(1, 2, -3.2, -7),
       rect(1, 2, -3, -7)},
      {"a difference too large for a double is a move", rect(-1e308, 0, 0, 0), rect(1e308, 0, 0, 0),
       rect(1e308, 0, 0, 0)},
      {"no previous, NaN", std::nullopt, rect(0, 0, kNaN, 1), std::nullopt},
      {"no previous, infinity", std::nullopt, rect(0, -kInf, 1, 1), std::nullopt},
      {"NaN candidate", rect(0, 0, 1, 1), rect(0, 0, 1, kNaN), std::nullopt},
      {"infinite candidate", rect(0, 0, 1, 1), rect(kInf, 0, 1, 1), std::nullopt},
      {"NaN previous", rect(0, kNaN, 1, 1), rect(0, 0, 1, 1), std::nullopt},
      {"infinite previous even where the candidate is far", rect(0, 0, 1, -kInf), rect(0, 0, 1, 5),
       std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(normalize_coordinate_domain_rect_with_hysteresis(c.previous, c.candidate), c.expected)
        << c.name;
  }
}

}  // namespace
}  // namespace kivo::protocol
