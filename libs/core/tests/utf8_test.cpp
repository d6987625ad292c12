#include "kivo/core/utf8.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kivo {
namespace {

TEST(Utf8Test, FindsTheFirstBadSequenceWithItsLength) {
  struct Case {
    std::string_view bytes;
    std::optional<std::string_view> message;  // nothing: valid
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"task_0123456789abcdef", std::nullopt},
      {"h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80", std::nullopt},
      {"\xF4\x8F\xBF\xBF", std::nullopt},  // U+10FFFF, the largest scalar value
      {"\xFF", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"abc\xE2\x82", "incomplete utf-8 byte sequence from index 3"},
      {"a\xC3", "incomplete utf-8 byte sequence from index 1"},
      {"ab\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 2"},
      // Overlong forms, surrogates and values above U+10FFFF fail at their
      // second byte, even when the input ends there.
      {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xE0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      // A valid beginning broken by a later byte counts the valid bytes.
      {"\xE2\x82"
       "A",
       "invalid utf-8 sequence of 2 bytes from index 0"},
      {"x\xF0\x9F\x98"
       "A",
       "invalid utf-8 sequence of 3 bytes from index 1"},
      // Past the eight-byte ASCII stride.
      {"0123456789abc\x80", "invalid utf-8 sequence of 1 bytes from index 13"},
      {"01234567\xC3\xA9"
       "89abcdef\xFF",
       "invalid utf-8 sequence of 1 bytes from index 18"},
  };
  for (const Case& c : cases) {
    const std::optional<Utf8Error> error = find_utf8_error(c.bytes);
    ASSERT_EQ(error.has_value(), c.message.has_value()) << c.bytes;
    if (error) {
      EXPECT_EQ(error->message(), *c.message);
    }
    EXPECT_EQ(is_utf8(c.bytes), !c.message.has_value());
  }
}


TEST(Utf8Test, TrimsUnicodeWhiteSpace) {
  struct Case {
    std::string_view text;
    std::string_view trimmed;
  };
  const Case cases[] = {
      {"  a b \t\n", "a b"},
      {"\u3000\u00a0x\u2028", "x"},
      {"\u3000", ""},
      {"\u00e9", "\u00e9"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_unicode_white_space(c.text), c.trimmed) << c.text;
}

}  // namespace
}  // namespace kivo
