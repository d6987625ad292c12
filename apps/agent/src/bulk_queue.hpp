// The bulk queue: 16 encoded frames between the producers (under the
// AgentState lock) and the one bulk writer thread. Producers never wait;
// the writer waits a bounded time for an item.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "kivo/core/result.hpp"
#include "kivo/protocol/frames.hpp"
#include "monotonic_clock.hpp"

namespace kivo::agent {

struct BulkItem {
  protocol::Bytes bytes;  // one whole frame, length prefix included
  std::optional<MonotonicClock::time_point> expiry;
};

class BulkQueue {
 public:
  static constexpr std::size_t kCapacity = 16;

  BulkQueue() = default;
  BulkQueue(const BulkQueue&) = delete;
  BulkQueue& operator=(const BulkQueue&) = delete;

  // Never waits: NotConnected once the consumer has gone, Congested while
  // 16 items wait.
  Result<void> try_push(BulkItem item);

  // An item, waiting at most `timeout` for one.
  std::optional<BulkItem> pop_for(std::chrono::milliseconds timeout);

  // Producer bookkeeping: the writer ends once every producer has gone and
  // nothing is left to write.
  void add_producer();
  void remove_producer();
  bool producers_gone() const;

  // The consumer has ended: what waits is dropped and every later push fails.
  void close_consumer();

  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable not_empty_;
  std::deque<BulkItem> items_;
  std::size_t producers_ = 0;
  bool consumer_closed_ = false;
};

}  // namespace kivo::agent
