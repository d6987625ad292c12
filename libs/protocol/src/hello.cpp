#include "kivo/protocol/hello.hpp"

namespace kivo::protocol {

std::string encode_hello_request(std::optional<bool> on_console, std::optional<bool> login_done,
                                 std::optional<std::string_view> resume_quit_id,
                                 std::span<const std::string_view> capabilities) {
  HelloRequest request;
  request.session.on_console = on_console;
  request.session.login_done = login_done;
  if (resume_quit_id) request.resume_quit_id.emplace(*resume_quit_id);
  request.capabilities.assign(capabilities.begin(), capabilities.end());
  return json::encode_document(request);
}

Result<HelloRequest> decode_hello_request(std::string_view text) {
  return json::decode_document<HelloRequest>(text);
}

}  // namespace kivo::protocol
