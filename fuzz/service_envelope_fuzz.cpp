// Reads arbitrary bytes as a command payload. Whatever reads must write back
// to text that reads to the same envelope, and writing that again must give
// the same text: the stand-in service and the agent share these codecs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "kivo/protocol/service_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kivo::protocol::decode_service_envelope;
  using kivo::protocol::encode_service_envelope;

  kivo::Result<kivo::protocol::ServiceEnvelope> decoded =
      decode_service_envelope(std::span<const std::uint8_t>(data, size));
  if (!decoded) return 0;

  std::string text = encode_service_envelope(*decoded);
  kivo::Result<kivo::protocol::ServiceEnvelope> again = decode_service_envelope(text);
  if (!again || !(*again == *decoded)) std::abort();
  if (encode_service_envelope(*again) != text) std::abort();
  return 0;
}
