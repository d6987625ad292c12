// Reads arbitrary bytes as an agent document. Whatever reads must write back
// to a document that reads as the same value and writes to the same bytes:
// the stand-in service and the tests rely on reading exactly what was sent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kivo/protocol/agent_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kivo::Result<kivo::protocol::AgentEnvelope> first = kivo::protocol::decode_agent_envelope(text);
  if (!first) return 0;

  const std::string written =
      kivo::protocol::encode_agent_envelope(first->request_id, first->stamp, first->message);
  kivo::Result<kivo::protocol::AgentEnvelope> second =
      kivo::protocol::decode_agent_envelope(written);
  if (!second || !(*second == *first)) std::abort();
  const std::string rewritten =
      kivo::protocol::encode_agent_envelope(second->request_id, second->stamp, second->message);
  if (rewritten != written) std::abort();
  return 0;
}
