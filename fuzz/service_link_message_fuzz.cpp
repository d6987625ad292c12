// Feeds arbitrary bytes to the service link's message reader. The first byte
// says how many descriptors arrive with the message (0 to 8); the rest is the
// length prefix and the body. A message that decodes must encode to a form
// that decodes to the same encoding again, and no descriptor may outlive the
// message that carried it, whether it decoded or not.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "kivo/xpc/wire.hpp"

using namespace kivo::xpc;

namespace {

int source_descriptor() {
  static const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd;
}

std::vector<std::uint8_t> encode_or_abort(const WireMessage& wire) {
  auto encoded = encode_message(wire.message_id, wire.reply_to, wire.message);
  if (!encoded) std::abort();
  return encoded->bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 + kLengthPrefixSize) return 0;
  const std::size_t descriptor_count = data[0] % (kMaxDescriptors + 1);
  const std::span<const std::uint8_t> input(data + 1, size - 1);

  std::vector<UniqueFd> descriptors;
  int lowest = -1;
  for (std::size_t i = 0; i < descriptor_count; ++i) {
    int fd = ::fcntl(source_descriptor(), F_DUPFD_CLOEXEC, 0);
    if (lowest < 0 || fd < lowest) lowest = fd;
    descriptors.emplace_back(fd);
  }

  auto length = decode_body_length(input.first<kLengthPrefixSize>());
  if (length && *length == input.size() - kLengthPrefixSize) {
    auto decoded = decode_body(input.subspan(kLengthPrefixSize), std::move(descriptors));
    if (decoded) {
      std::vector<std::uint8_t> first = encode_or_abort(*decoded);
      std::vector<UniqueFd> copies;
      auto encoded = encode_message(decoded->message_id, decoded->reply_to, decoded->message);
      for (int fd : encoded->descriptors) copies.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
      auto again = decode_body(std::span(first).subspan(kLengthPrefixSize), std::move(copies));
      if (!again || encode_or_abort(*again) != first) std::abort();
    }
  }
  descriptors.clear();

  // Every descriptor handed out is closed again: the lowest free number is
  // back to where the first of them was.
  if (lowest >= 0) {
    int probe = ::fcntl(source_descriptor(), F_DUPFD_CLOEXEC, 0);
    ::close(probe);
    if (probe > lowest) std::abort();
  }
  return 0;
}
