#include "bulk_reader.hpp"

#include <memory>
#include <utility>
#include <variant>

#include "kivo/core/log.hpp"
#include "kivo/protocol/agent_error.hpp"
#include "socket_io.hpp"
#include "thread_names.hpp"

namespace kivo::agent {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

Result<AgentMessages> dispatch(protocol::BulkFrame frame, BulkFrameConsumer& consumer) {
  using protocol::BulkFrame;
  return std::visit(
      Overloaded{
          [&](BulkFrame::FileData& data) -> Result<AgentMessages> {
            auto route = consumer.routes().resolve_route(data.route_id);
            if (!route) return fail(route.error());
            auto lease = file_lease(*route, consumer.received_root());
            if (!lease) return fail(lease.error());
            return consumer.receive_file_data(data.route_id, *lease, std::move(data.task_id),
                                              data.chunk_index, std::move(data.data));
          },
          [&](BulkFrame::FileAck& ack) -> Result<AgentMessages> {
            auto route = consumer.routes().resolve_route(ack.route_id);
            if (!route) return fail(route.error());
            auto lease = file_lease(*route, consumer.received_root());
            if (!lease) return fail(lease.error());
            return consumer.receive_file_ack(ack.route_id, *lease, ack.payload);
          },
          [&](BulkFrame::Clipboard& clipboard) -> Result<AgentMessages> {
            auto route = consumer.routes().resolve_route(clipboard.route_id);
            if (!route) return fail(route.error());
            auto lease = consumer.routes().clipboard_lease(*route);
            if (!lease) return fail(lease.error());
            return consumer.receive_clipboard_packet(clipboard.route_id, *lease,
                                                     std::move(clipboard.packet));
          },
          [](BulkFrame::ClipboardOutbound&) -> Result<AgentMessages> {
            return fail(
                KivoError::invalid_message("service must not send ClipboardOutbound to agent"));
          },
          [](BulkFrame::DisplayThumbnail&) -> Result<AgentMessages> {
            return fail(
                KivoError::invalid_message("service must not send DisplayThumbnail to agent"));
          },
      },
      frame.value);
}

}  // namespace

AgentMessages handle_bulk_frame(protocol::BulkFrame frame, BulkFrameConsumer& consumer) {
  auto handled = dispatch(std::move(frame), consumer);
  if (handled) return std::move(*handled);
  return {protocol::agent_msg::Error{protocol::agent_error_from(handled.error())}};
}

void run_bulk_reader(xpc::UniqueFd fd, BulkReaderContext context) {
  struct ReportEnd {
    BulkReaderHooks& hooks;
    ~ReportEnd() { hooks.bulk_reader_ended(); }
  } report_end{context.hooks};

  while (!context.stop.load()) {
    auto bytes = read_framed_packet(fd.get(), protocol::kMaxBulkBodyLength, kBulkChannel);
    if (!bytes || context.stop.load()) return;
    auto frame = protocol::decode_bulk_frame(*bytes);
    if (!frame) {
      KIVO_WARN("kivo_agent", "failed to decode bulk frame",
                kivo::log::field("error", frame.error()));
      return;
    }
    bytes.reset();

    AgentMessages documents;
    protocol::AgentStamp stamp;
    {
      std::lock_guard lock(context.state_lock);
      documents = handle_bulk_frame(std::move(*frame), context.consumer);
      stamp = context.consumer.current_stamp();
    }

    for (const auto& document : documents) {
      if (auto sent = context.sender.send(std::nullopt, stamp, document); !sent) {
        KIVO_WARN("kivo_agent", "failed to send bulk-derived agent event over XPC",
                  kivo::log::field("error", sent.error()));
        context.hooks.bulk_send_failed();
        return;
      }
    }
  }
}

Result<std::thread> start_bulk_reader(xpc::UniqueFd fd, BulkReaderContext context) {
  return spawn_named_thread(kBulkReaderThread,
                            [socket = std::make_shared<xpc::UniqueFd>(std::move(fd)), context] {
                              run_bulk_reader(std::move(*socket), context);
                            });
}

}  // namespace kivo::agent
