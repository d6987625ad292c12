#include "kivo/protocol/protocol_error.hpp"

namespace kivo::protocol {

ProtocolError ProtocolError::packet_too_short() {
  return {Kind::kPacketTooShort, 0, {}};
}
ProtocolError ProtocolError::invalid_message_type(std::uint8_t type) {
  return {Kind::kInvalidMessageType, type, {}};
}
ProtocolError ProtocolError::invalid_fragment_layout() {
  return {Kind::kInvalidFragmentLayout, 0, {}};
}
ProtocolError ProtocolError::invalid_nal_layout() {
  return {Kind::kInvalidNalLayout, 0, {}};
}
ProtocolError ProtocolError::too_many_fragments(std::uint64_t count) {
  return {Kind::kTooManyFragments, count, {}};
}
ProtocolError ProtocolError::invalid_control_json(std::string text) {
  return {Kind::kInvalidControlJson, 0, std::move(text)};
}
ProtocolError ProtocolError::invalid_input_event_type(std::uint8_t type) {
  return {Kind::kInvalidInputEventType, type, {}};
}
ProtocolError ProtocolError::invalid_input_mouse_action(std::uint8_t action) {
  return {Kind::kInvalidInputMouseAction, action, {}};
}
ProtocolError ProtocolError::invalid_input_mouse_button(std::uint8_t button) {
  return {Kind::kInvalidInputMouseButton, button, {}};
}
ProtocolError ProtocolError::invalid_file_frame(std::string text) {
  return {Kind::kInvalidFileFrame, 0, std::move(text)};
}
ProtocolError ProtocolError::invalid_clipboard_frame(std::string text) {
  return {Kind::kInvalidClipboardFrame, 0, std::move(text)};
}
ProtocolError ProtocolError::payload_too_large(std::uint64_t length) {
  return {Kind::kPayloadTooLarge, length, {}};
}

std::string ProtocolError::display() const {
  switch (kind_) {
    case Kind::kPacketTooShort:
      return "packet too short";
    case Kind::kInvalidMessageType:
      return fmt::format("invalid message type: 0x{:02x}", number_);
    case Kind::kInvalidFragmentLayout:
      return "invalid fragment layout";
    case Kind::kInvalidNalLayout:
      return "invalid NAL layout";
    case Kind::kTooManyFragments:
      return fmt::format("too many fragments: {}", number_);
    case Kind::kInvalidControlJson:
      return fmt::format("invalid control JSON: {}", text_);
    case Kind::kInvalidInputEventType:
      return fmt::format("invalid input event type: 0x{:02x}", number_);
    case Kind::kInvalidInputMouseAction:
      return fmt::format("invalid input mouse action: {}", number_);
    case Kind::kInvalidInputMouseButton:
      return fmt::format("invalid input mouse button: {}", number_);
    case Kind::kInvalidFileFrame:
      return fmt::format("invalid file frame: {}", text_);
    case Kind::kInvalidClipboardFrame:
      return fmt::format("invalid clipboard frame: {}", text_);
    case Kind::kPayloadTooLarge:
      return fmt::format("payload too large: {} bytes", number_);
  }
  return "invalid protocol error";
}

}  // namespace kivo::protocol
