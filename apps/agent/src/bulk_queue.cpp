#include "bulk_queue.hpp"

#include <utility>

namespace kivo::agent {

Result<void> BulkQueue::try_push(BulkItem item) {
  std::lock_guard lock(mutex_);
  // A queue nobody drains any more is gone, not merely full.
  if (consumer_closed_) return fail(KivoError::not_connected());
  if (items_.size() >= kCapacity) return fail(KivoError::congested());
  items_.push_back(std::move(item));
  not_empty_.notify_one();
  return ok();
}

std::optional<BulkItem> BulkQueue::pop_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!not_empty_.wait_for(lock, timeout, [&] { return !items_.empty(); })) return std::nullopt;
  std::optional<BulkItem> item(std::move(items_.front()));
  items_.pop_front();
  return item;
}

void BulkQueue::add_producer() {
  std::lock_guard lock(mutex_);
  ++producers_;
}

void BulkQueue::remove_producer() {
  std::lock_guard lock(mutex_);
  if (producers_ > 0) --producers_;
}

bool BulkQueue::producers_gone() const {
  std::lock_guard lock(mutex_);
  return producers_ == 0;
}

void BulkQueue::close_consumer() {
  std::lock_guard lock(mutex_);
  consumer_closed_ = true;
  items_.clear();
}

std::size_t BulkQueue::size() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

}  // namespace kivo::agent
