#include "bulk_writer.hpp"

#include <utility>

#include "kivo/core/log.hpp"
#include "kivo/protocol/epoch.hpp"
#include "socket_io.hpp"
#include "thread_names.hpp"

namespace kivo::agent {
namespace {

constexpr std::chrono::milliseconds kPopTimeout{20};

enum class FrameEnd { kWritten, kDropped, kEndThread };

// Writes one item; decides what the thread does next.
FrameEnd write_item(int fd, const BulkItem& item, const std::atomic<bool>& stop,
                    const MonotonicClock& clock) {
  if (auto timeout = set_send_timeout(fd); !timeout) {
    KIVO_WARN("kivo_agent", "failed to write agent bulk frame",
              kivo::log::field("error", timeout.error()));
    return FrameEnd::kEndThread;
  }

  FrameEnd end = FrameEnd::kWritten;
  const auto keep_going = [&](std::size_t written) {
    if (stop.load()) {
      end = FrameEnd::kEndThread;
      return false;
    }
    if (item.expiry && clock.now() >= *item.expiry) {
      if (written > 0) {
        // The rest of this frame can never follow; a later frame would be
        // read as its continuation.
        end = FrameEnd::kEndThread;
        return false;
      }
      KIVO_TRACE("kivo_agent", "dropped expired bulk frame under write backpressure");
      end = FrameEnd::kDropped;
      return false;
    }
    return true;
  };

  std::size_t written = 0;
  const auto result =
      write_frame_bytes(fd, item.bytes, "bulk socket write returned zero", keep_going, written);
  if (!result) {
    KIVO_WARN("kivo_agent", "failed to write agent bulk frame",
              kivo::log::field("error", result.error()));
    return FrameEnd::kEndThread;
  }
  return end;
}

}  // namespace

std::uint64_t BulkPacketIds::next() {
  last_ = protocol::next_epoch(last_);
  return last_;
}

BulkWriter::BulkWriter(std::shared_ptr<BulkQueue> queue, xpc::UniqueFd shutdown_fd,
                       const MonotonicClock& clock)
    : queue_(std::move(queue)), shutdown_fd_(std::move(shutdown_fd)), clock_(clock) {
  queue_->add_producer();
}

BulkWriter::~BulkWriter() {
  queue_->remove_producer();
}

Result<void> BulkWriter::enqueue(const protocol::BulkFrame& frame,
                                 std::optional<std::chrono::milliseconds> time_to_live) {
  auto bytes = protocol::encode_bulk_frame(frame);
  if (!bytes) return fail(KivoError::invalid_message(bytes.error().display()));
  BulkItem item{.bytes = std::move(*bytes), .expiry = std::nullopt};
  if (time_to_live) item.expiry = clock_.now() + *time_to_live;
  return queue_->try_push(std::move(item));
}

void BulkWriter::shutdown_socket() {
  std::lock_guard lock(shutdown_mutex_);
  shutdown_agent_socket(shutdown_fd_.get(), kBulkChannel);
}

Result<void> enqueue_bulk_frame(BulkWriter* writer, const protocol::BulkFrame& frame,
                                std::optional<std::chrono::milliseconds> time_to_live) {
  if (writer == nullptr) {
    return fail(KivoError::invalid_message("agent bulk fd is not installed"));
  }
  return writer->enqueue(frame, time_to_live);
}

Result<BulkSocketInstall> install_bulk_socket(xpc::UniqueFd fd, const std::atomic<bool>& stop,
                                              const MonotonicClock& clock) {
  auto reader_fd = duplicate_socket_fd(fd.get());
  if (!reader_fd) return fail(reader_fd.error());
  auto shutdown_fd = duplicate_socket_fd(fd.get());
  if (!shutdown_fd) return fail(shutdown_fd.error());

  auto queue = std::make_shared<BulkQueue>();
  // The writer exists before its thread, so the thread never sees a queue
  // without producers before the caller had a chance to use it.
  auto writer = std::make_unique<BulkWriter>(queue, std::move(*shutdown_fd), clock);
  auto thread = spawn_named_thread(
      kBulkWriterThread,
      [socket = std::make_shared<xpc::UniqueFd>(std::move(fd)), queue, &stop, &clock]() mutable {
        run_bulk_writer(std::move(*socket), std::move(queue), stop, clock);
      });
  if (!thread) return fail(thread.error());
  return BulkSocketInstall{.writer = std::move(writer),
                           .reader_fd = std::move(*reader_fd),
                           .writer_thread = std::move(*thread)};
}

void run_bulk_writer(xpc::UniqueFd fd, std::shared_ptr<BulkQueue> queue,
                     const std::atomic<bool>& stop, const MonotonicClock& clock) {
  struct CloseOnExit {
    BulkQueue& queue;
    ~CloseOnExit() { queue.close_consumer(); }
  } close_on_exit{*queue};

  while (!stop.load()) {
    std::optional<BulkItem> item = queue->pop_for(kPopTimeout);
    if (!item) {
      if (queue->producers_gone()) return;
      continue;
    }
    if (item->expiry && clock.now() >= *item->expiry) {
      KIVO_TRACE("kivo_agent", "dropped expired bulk frame before write");
      continue;
    }
    if (write_item(fd.get(), *item, stop, clock) == FrameEnd::kEndThread) return;
  }
}

}  // namespace kivo::agent
