#include "kivo/core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "kivo/core/result.hpp"

namespace kivo {
namespace {

TEST(KivoErrorTest, DisplayTextsOfEveryKind) {
  struct Case {
    KivoError error;
    const char* display;
  };
  const Case cases[] = {
      {KivoError::not_implemented("capture"), "not implemented: capture"},
      {KivoError::permission_denied("agent.route"), "permission denied: agent.route"},
      {KivoError::not_connected(), "not connected"},
      {KivoError::congested(), "send congested"},
      {KivoError::invalid_message("bad"), "invalid message: bad"},
      {KivoError::unsupported("audio"), "unsupported on this platform: audio"},
      {KivoError::database("locked"), "database error: locked"},
      {KivoError::io(IoKind::kBrokenPipe, "log writer aborted"), "io error: log writer aborted"},
      {KivoError::io_errno(ENOENT), "io error: No such file or directory (os error 2)"},
      {KivoError::json("missing field `x`"), "json error: missing field `x`"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.display(), c.display);
  EXPECT_EQ(fmt::format("{}", KivoError::congested()), "send congested");
}

TEST(KivoErrorTest, IoErrorsKeepTheirClass) {
  EXPECT_EQ(KivoError::io_errno(ENOENT).io_kind(), IoKind::kNotFound);
  EXPECT_EQ(KivoError::io_errno(ENOENT).os_error(), ENOENT);
  EXPECT_FALSE(KivoError::io(IoKind::kOther, "x").os_error().has_value());
}

Result<int> half(int n) {
  if (n % 2 != 0) return fail(KivoError::invalid_message("odd"));
  return n / 2;
}

Result<void> check_even(int n) {
  KIVO_TRY(half(n));
  return ok();
}

TEST(ResultTest, CarriesValueOrError) {
  Result<int> good = half(4);
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(*good, 2);
  EXPECT_EQ(half(3).error().display(), "invalid message: odd");
  EXPECT_EQ(half(3).value_or(-1), -1);
  EXPECT_TRUE(check_even(2));
  EXPECT_EQ(check_even(1).error().text(), "odd");
}

}  // namespace
}  // namespace kivo
