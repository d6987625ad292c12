#include "kivo/protocol/utf8.hpp"

#include <fmt/format.h>

#include <cstring>

namespace kivo::protocol {
namespace {

bool is_continuation(std::uint8_t byte) {
  return (byte & 0xC0U) == 0x80U;
}

// The sequence length announced by a lead byte; 0 for bytes that never lead
// (continuations, the overlong leads 0xC0 and 0xC1, and 0xF5 upwards).
std::size_t sequence_width(std::uint8_t lead) {
  if (lead < 0x80U) return 1;
  if (lead < 0xC2U) return 0;
  if (lead < 0xE0U) return 2;
  if (lead < 0xF0U) return 3;
  if (lead < 0xF5U) return 4;
  return 0;
}

// The range allowed for the second byte of a sequence; narrower than 80..BF
// where that is what excludes overlong forms, surrogates and values above
// U+10FFFF.
bool valid_second_byte(std::uint8_t lead, std::uint8_t second) {
  switch (lead) {
    case 0xE0U:
      return second >= 0xA0U && second <= 0xBFU;
    case 0xEDU:
      return second >= 0x80U && second <= 0x9FU;
    case 0xF0U:
      return second >= 0x90U && second <= 0xBFU;
    case 0xF4U:
      return second >= 0x80U && second <= 0x8FU;
    default:
      return is_continuation(second);
  }
}

}  // namespace

std::string Utf8Error::message() const {
  if (error_len) {
    return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error_len, valid_up_to);
  }
  return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to);
}

std::optional<Utf8Error> find_utf8_error(std::span<const std::uint8_t> bytes) {
  const std::size_t size = bytes.size();
  std::size_t index = 0;
  while (index < size) {
    // Texts on the wire are mostly ASCII: step over eight such bytes at a time.
    while (index + 8 <= size) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + index, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      index += 8;
    }
    if (index >= size) break;

    const std::uint8_t lead = bytes[index];
    const std::size_t width = sequence_width(lead);
    if (width == 1) {
      ++index;
      continue;
    }
    const Utf8Error invalid_1{index, std::uint8_t{1}};
    if (width == 0) return invalid_1;

    // Byte k of the sequence (k >= 1) is missing: the input ends inside a
    // sequence that was valid so far.
    const Utf8Error incomplete{index, std::nullopt};
    if (index + 1 >= size) return incomplete;
    if (!valid_second_byte(lead, bytes[index + 1])) return invalid_1;
    for (std::size_t k = 2; k < width; ++k) {
      if (index + k >= size) return incomplete;
      if (!is_continuation(bytes[index + k])) {
        return Utf8Error{index, static_cast<std::uint8_t>(k)};
      }
    }
    index += width;
  }
  return std::nullopt;
}

std::optional<Utf8Error> find_utf8_error(std::string_view text) {
  return find_utf8_error(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace kivo::protocol
