#include "kivo/protocol/epoch.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace kivo::protocol {
namespace {

static_assert(next_epoch(std::uint32_t{0}) == 1, "usable in constant expressions");

template <class T>
class NextEpochTest : public ::testing::Test {};

using CounterTypes = ::testing::Types<std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(NextEpochTest, CounterTypes);

TYPED_TEST(NextEpochTest, AdvancesAndWrapsOntoOneNeverZero) {
  using T = TypeParam;
  constexpr T kMax = std::numeric_limits<T>::max();
  struct Case {
    T current;
    T next;
  };
  const Case cases[] = {
      {0, 1},  // a fresh counter's first value
      {1, 2},
      {kMax - 1, kMax},  // the largest value is still used
      {kMax, 1},         // and is followed by 1, not 0
  };
  for (const Case& c : cases) {
    EXPECT_EQ(next_epoch(c.current), c.next) << "from " << c.current;
  }
}

}  // namespace
}  // namespace kivo::protocol
