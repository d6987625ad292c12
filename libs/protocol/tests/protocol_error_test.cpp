#include "kivo/protocol/protocol_error.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "kivo/protocol/utf8.hpp"

namespace kivo::protocol {
namespace {

TEST(ProtocolErrorTest, DisplayTextsOfEveryKind) {
  struct Case {
    ProtocolError error;
    const char* display;
  };
  const Case cases[] = {
      {ProtocolError::packet_too_short(), "packet too short"},
      {ProtocolError::invalid_message_type(0x0b), "invalid message type: 0x0b"},
      {ProtocolError::invalid_message_type(0xF0), "invalid message type: 0xf0"},
      {ProtocolError::invalid_fragment_layout(), "invalid fragment layout"},
      {ProtocolError::invalid_nal_layout(), "invalid NAL layout"},
      {ProtocolError::too_many_fragments(70000), "too many fragments: 70000"},
      {ProtocolError::invalid_control_json("trailing media bytes"),
       "invalid control JSON: trailing media bytes"},
      {ProtocolError::invalid_input_event_type(0x0b), "invalid input event type: 0x0b"},
      {ProtocolError::invalid_input_mouse_action(11), "invalid input mouse action: 11"},
      {ProtocolError::invalid_input_mouse_button(200), "invalid input mouse button: 200"},
      {ProtocolError::invalid_file_frame("bad chunk"), "invalid file frame: bad chunk"},
      {ProtocolError::invalid_clipboard_frame("bad format"), "invalid clipboard frame: bad format"},
      {ProtocolError::payload_too_large(33554433), "payload too large: 33554433 bytes"},
      {ProtocolError::payload_too_large(4294967296), "payload too large: 4294967296 bytes"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.display(), c.display);
  EXPECT_EQ(fmt::format("{}", ProtocolError::packet_too_short()), "packet too short");
}

TEST(ProtocolErrorTest, ComparesByKindAndCarriedValue) {
  EXPECT_EQ(ProtocolError::invalid_message_type(2), ProtocolError::invalid_message_type(2));
  EXPECT_NE(ProtocolError::invalid_message_type(2), ProtocolError::invalid_input_event_type(2));
  EXPECT_NE(ProtocolError::invalid_control_json("a"), ProtocolError::invalid_control_json("b"));
}

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

}  // namespace
}  // namespace kivo::protocol
