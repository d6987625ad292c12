// Decodes arbitrary bytes as one bulk frame. Whatever decodes must encode
// again, to the very same bytes (the bulk layout has one encoding per value),
// and the stream readers' prefix check must agree with the decoder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "kivo/protocol/frames.hpp"

using namespace kivo::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  auto decoded = decode_bulk_frame(input);

  if (size > kFrameLengthPrefixSize) {
    auto body_length = bulk_frame_body_length(input.first<kFrameLengthPrefixSize>());
    if (!body_length && (decoded || decoded.error() != body_length.error())) std::abort();
  }
  if (!decoded) return 0;

  auto encoded = encode_bulk_frame(*decoded);
  if (!encoded) std::abort();
  if (encoded->size() != size || !std::equal(encoded->begin(), encoded->end(), data)) std::abort();
  auto again = decode_bulk_frame(*encoded);
  if (!again || !(*again == *decoded)) std::abort();
  return 0;
}
