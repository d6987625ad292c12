#include "kivo/core/utf8.hpp"

#include <fmt/format.h>

#include <cstring>

namespace kivo {
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

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

namespace {

// Decodes the code point that starts at `index` of valid UTF-8 and its width.
std::pair<char32_t, std::size_t> code_point_at(std::string_view text, std::size_t index) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[index + k]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80U) return {lead, 1};
  if (lead < 0xE0U) return {static_cast<char32_t>(((lead & 0x1FU) << 6) | (byte(1) & 0x3FU)), 2};
  if (lead < 0xF0U) {
    return {static_cast<char32_t>(((lead & 0x0FU) << 12) | ((byte(1) & 0x3FU) << 6) |
                                  (byte(2) & 0x3FU)),
            3};
  }
  return {static_cast<char32_t>(((lead & 0x07U) << 18) | ((byte(1) & 0x3FU) << 12) |
                                ((byte(2) & 0x3FU) << 6) | (byte(3) & 0x3FU)),
          4};
}

bool is_continuation_byte(char c) {
  return (static_cast<std::uint8_t>(c) & 0xC0U) == 0x80U;
}

}  // namespace

std::string_view trim_unicode_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    auto [c, width] = code_point_at(text, begin);
    if (!is_unicode_white_space(c)) break;
    begin += width;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && is_continuation_byte(text[start])) --start;
    if (!is_unicode_white_space(code_point_at(text, start).first)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace kivo
