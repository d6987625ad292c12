#include <array>
#include <string_view>

#include "kivo/protocol/input_event.hpp"

namespace kivo::json {
namespace {

using protocol::InputEvent;
using protocol::InputReset;
using protocol::KeyboardEvent;
using protocol::MouseEvent;

constexpr std::string_view kMouse = "Mouse";
constexpr std::string_view kKeyboard = "Keyboard";
constexpr std::string_view kReset = "Reset";
constexpr std::array<std::string_view, 3> kVariants{kMouse, kKeyboard, kReset};

template <class E>
Result<InputEvent> decode_as(const Value& body) {
  Result<E> event = Codec<E>::decode(body);
  if (!event) return fail(std::move(event).error());
  return InputEvent(std::in_place_type<E>, std::move(*event));
}

}  // namespace

Result<InputEvent> Codec<InputEvent>::decode(const Value& v) {
  if (v.is_string()) {
    const std::string& name = v.as_string();
    if (name == kReset) return InputEvent(InputReset{});
    if (name == kMouse || name == kKeyboard) {
      return fail(KivoError::json("invalid type: unit variant, expected newtype variant"));
    }
    return fail(unknown_variant(name, kVariants));
  }
  if (!v.is_object()) return fail(invalid_type(v, "enum InputEvent"));
  const Object& members = v.as_object();
  if (members.size() != 1) return fail(invalid_value(v, "map with a single key"));
  const Member& only = members.front();
  if (only.key == kMouse) return decode_as<MouseEvent>(only.value);
  if (only.key == kKeyboard) return decode_as<KeyboardEvent>(only.value);
  // "Reset" carries nothing and is only ever the bare string.
  if (only.key == kReset) {
    return fail(KivoError::json("invalid type: newtype variant, expected unit variant"));
  }
  return fail(unknown_variant(only.key, kVariants));
}

void Codec<InputEvent>::encode(Writer& w, const InputEvent& event) {
  if (const auto* mouse = std::get_if<MouseEvent>(&event)) {
    w.begin_object();
    w.key(kMouse);
    Codec<MouseEvent>::encode(w, *mouse);
    w.end_object();
  } else if (const auto* keyboard = std::get_if<KeyboardEvent>(&event)) {
    w.begin_object();
    w.key(kKeyboard);
    Codec<KeyboardEvent>::encode(w, *keyboard);
    w.end_object();
  } else {
    w.string(kReset);
  }
}

}  // namespace kivo::json
