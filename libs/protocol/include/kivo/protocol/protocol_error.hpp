// ProtocolError: the error of every binary format of kivo_protocol (agent
// frames, clipboard packets, file packets, Annex B conversion). Twelve kinds
// with fixed display texts; callers in other modules convert it by its text.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "kivo/core/result.hpp"

namespace kivo::protocol {

class ProtocolError {
 public:
  // In their wire order; the comment is the display text.
  enum class Kind : std::uint8_t {
    kPacketTooShort,           // "packet too short"
    kInvalidMessageType,       // "invalid message type: 0x0b"
    kInvalidFragmentLayout,    // "invalid fragment layout"
    kInvalidNalLayout,         // "invalid NAL layout"
    kTooManyFragments,         // "too many fragments: {count}"
    kInvalidControlJson,       // "invalid control JSON: {text}"
    kInvalidInputEventType,    // "invalid input event type: 0x0b"
    kInvalidInputMouseAction,  // "invalid input mouse action: {byte in decimal}"
    kInvalidInputMouseButton,  // "invalid input mouse button: {byte in decimal}"
    kInvalidFileFrame,         // "invalid file frame: {text}"
    kInvalidClipboardFrame,    // "invalid clipboard frame: {text}"
    kPayloadTooLarge,          // "payload too large: {length} bytes"
  };

  static ProtocolError packet_too_short();
  static ProtocolError invalid_message_type(std::uint8_t type);
  static ProtocolError invalid_fragment_layout();
  static ProtocolError invalid_nal_layout();
  static ProtocolError too_many_fragments(std::uint64_t count);
  // Also the kind for bad text inside a frame and for surplus bytes after it.
  static ProtocolError invalid_control_json(std::string text);
  static ProtocolError invalid_input_event_type(std::uint8_t type);
  static ProtocolError invalid_input_mouse_action(std::uint8_t action);
  static ProtocolError invalid_input_mouse_button(std::uint8_t button);
  static ProtocolError invalid_file_frame(std::string text);
  static ProtocolError invalid_clipboard_frame(std::string text);
  static ProtocolError payload_too_large(std::uint64_t length);

  Kind kind() const { return kind_; }
  // The byte (message type, event type, mouse action or button), the
  // fragment count or the length; 0 for kinds that carry none of these.
  std::uint64_t number() const { return number_; }
  // The carried text of the three text kinds; empty for the others.
  const std::string& text() const { return text_; }

  std::string display() const;

  friend bool operator==(const ProtocolError&, const ProtocolError&) = default;

 private:
  ProtocolError(Kind kind, std::uint64_t number, std::string text)
      : kind_(kind), number_(number), text_(std::move(text)) {}

  Kind kind_;
  std::uint64_t number_;
  std::string text_;
};

template <class T>
using ProtocolResult = kivo::Expected<T, ProtocolError>;

}  // namespace kivo::protocol

template <>
struct fmt::formatter<kivo::protocol::ProtocolError> : fmt::formatter<std::string_view> {
  auto format(const kivo::protocol::ProtocolError& error, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(error.display(), ctx);
  }
};
