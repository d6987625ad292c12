#include "kivo/protocol/protocol_error.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>


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

}  // namespace
}  // namespace kivo::protocol
