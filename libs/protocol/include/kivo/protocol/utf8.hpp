// Strict UTF-8 validation that says where and how a text goes wrong, with the
// messages the binary formats report ("invalid utf-8 sequence of 1 bytes from
// index 0", "incomplete utf-8 byte sequence from index 3").
//
// Strict means: no overlong forms, no surrogates (U+D800..U+DFFF), nothing
// above U+10FFFF. The length of a bad sequence is the number of bytes that
// were a valid beginning of a sequence before the byte that broke it (1 to 3),
// so a decoder that replaces or skips bad sequences knows how far to step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kivo::protocol {

struct Utf8Error {
  // Bytes before the first bad sequence; all of them are valid UTF-8.
  std::size_t valid_up_to = 0;
  // Length of the bad sequence, or nothing when the input ends inside a
  // sequence that was valid so far (more bytes could still complete it).
  std::optional<std::uint8_t> error_len;

  // "invalid utf-8 sequence of {n} bytes from index {i}" or
  // "incomplete utf-8 byte sequence from index {i}".
  std::string message() const;

  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// The first fault of the bytes, or nothing when they are valid UTF-8.
std::optional<Utf8Error> find_utf8_error(std::span<const std::uint8_t> bytes);
std::optional<Utf8Error> find_utf8_error(std::string_view text);

inline bool is_utf8(std::span<const std::uint8_t> bytes) {
  return !find_utf8_error(bytes);
}
inline bool is_utf8(std::string_view text) {
  return !find_utf8_error(text);
}

}  // namespace kivo::protocol
