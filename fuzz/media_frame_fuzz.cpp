// Decodes arbitrary bytes as one media frame. Whatever decodes must encode
// again to the same value and to the same bytes, except that a video frame's
// key-frame byte is written back as 1 whatever non-zero value it had. The
// stream readers' prefix check must agree with the decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "kivo/protocol/frames.hpp"

using namespace kivo::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  auto decoded = decode_media_frame(input);

  if (size > kFrameLengthPrefixSize) {
    auto body_length = media_frame_body_length(input.first<kFrameLengthPrefixSize>());
    if (!body_length && (decoded || decoded.error() != body_length.error())) std::abort();
  }
  if (!decoded) return 0;

  auto encoded = encode_media_frame(*decoded);
  if (!encoded) std::abort();
  Bytes expected(data, data + size);
  constexpr std::size_t kKeyframeByte = kFrameLengthPrefixSize + 33;
  if (std::holds_alternative<MediaFrame::Video>(decoded->value) && expected[kKeyframeByte] != 0) {
    expected[kKeyframeByte] = 1;
  }
  if (*encoded != expected) std::abort();
  auto again = decode_media_frame(*encoded);
  if (!again || !(*again == *decoded)) std::abort();
  return 0;
}
