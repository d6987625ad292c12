// The bulk reader's view of AgentState: routes, the current stamp, and the
// feature engines that take file data, file acknowledgements and clipboard
// packets. Every call is made with the AgentState lock held.
#pragma once

#include "agent_state.hpp"
#include "bulk_reader.hpp"

namespace kivo::agent {

class StateBulkConsumer final : public BulkFrameConsumer {
 public:
  explicit StateBulkConsumer(AgentState& state) : state_(state) {}

  const RouteTable& routes() const override { return state_.routes; }
  protocol::AgentStamp current_stamp() const override { return state_.stamp(); }
  std::filesystem::path received_root() const override { return state_.received_root; }

  Result<AgentMessages> receive_file_data(std::uint64_t route_id, const AuthorizedRoute& route,
                                          std::string task_id, std::uint32_t chunk_index,
                                          protocol::Bytes data) override {
    return state_.features->receive_file_data(state_, route_id, route, std::move(task_id),
                                              chunk_index, std::move(data));
  }
  Result<AgentMessages> receive_file_ack(std::uint64_t route_id, const AuthorizedRoute& route,
                                         const protocol::Bytes& payload) override {
    return state_.features->receive_file_ack(state_, route_id, route, payload);
  }
  Result<AgentMessages> receive_clipboard_packet(std::uint64_t route_id,
                                                 const ClipboardRouteView& route,
                                                 protocol::Bytes packet) override {
    return state_.features->receive_clipboard_packet(state_, route_id, route, std::move(packet));
  }

 private:
  AgentState& state_;
};

}  // namespace kivo::agent
