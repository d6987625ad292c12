#include "kivo/input/input_queue.hpp"

#include <algorithm>
#include <utility>

namespace kivo::input {
namespace {

constexpr std::size_t kMinCapacity = 2;

// Merges `incoming` into `queued` when both are moves of the same kind:
// the later absolute point wins, relative deltas add up.
bool merge_move(WorkerCommand& queued, const WorkerCommand& incoming) {
  if (queued.index() != incoming.index()) return false;
  if (auto* move = std::get_if<command::Move>(&queued)) {
    move->point = std::get<command::Move>(incoming).point;
    return true;
  }
  if (auto* relative = std::get_if<command::MoveRelative>(&queued)) {
    const auto& next = std::get<command::MoveRelative>(incoming);
    relative->delta.x += next.delta.x;
    relative->delta.y += next.delta.y;
    relative->display_bounds = next.display_bounds;
    return true;
  }
  return false;
}

}  // namespace

InputQueue::InputQueue(std::size_t capacity) : slots_(std::max(capacity, kMinCapacity)) {}

Expected<void, InputError> InputQueue::push(const InputStamp& stamp, WorkerCommand command) {
  std::lock_guard guard(mutex_);
  if (closed_) return fail(InputError::worker_stopped());
  if (current_stamp_ != stamp) {
    replace_with_reset_locked();
    current_stamp_ = stamp;
  }
  if (count_ > 0) {
    QueueItem& last = back_locked();
    if (last.stamp == stamp && merge_move(last.command, command)) {
      wake_.notify_one();
      return {};
    }
  }
  if (count_ < slots_.size()) {
    append_locked(QueueItem{stamp, std::move(command)});
    wake_.notify_one();
    return {};
  }
  // Full: the worker is far behind. Whatever is queued is stale by now;
  // release everything and let the next stamped item start afresh.
  replace_with_reset_locked();
  current_stamp_.reset();
  wake_.notify_one();
  return fail(InputError::queue_overflow());
}

void InputQueue::flush_with_reset() {
  std::lock_guard guard(mutex_);
  clear_locked();
  if (closed_) return;
  append_locked(QueueItem{std::nullopt, command::Reset{}});
  wake_.notify_one();
}

void InputQueue::close() {
  std::lock_guard guard(mutex_);
  clear_locked();
  closed_ = true;
  wake_.notify_all();
}

std::optional<WorkerCommand> InputQueue::take() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return count_ > 0 || closed_; });
    if (count_ == 0) return std::nullopt;
    QueueItem item = std::move(slots_[head_]);
    head_ = (head_ + 1) % slots_.size();
    --count_;
    if (item.stamp && item.stamp != current_stamp_) continue;
    return std::move(item.command);
  }
}

bool InputQueue::closed() const {
  std::lock_guard guard(mutex_);
  return closed_;
}

std::optional<InputStamp> InputQueue::current_stamp() const {
  std::lock_guard guard(mutex_);
  return current_stamp_;
}

std::vector<QueueItem> InputQueue::items() const {
  std::lock_guard guard(mutex_);
  std::vector<QueueItem> out;
  out.reserve(count_);
  for (std::size_t i = 0; i < count_; ++i) out.push_back(slots_[(head_ + i) % slots_.size()]);
  return out;
}

void InputQueue::clear_locked() {
  // The items are plain values; the slots are simply overwritten later.
  head_ = 0;
  count_ = 0;
}

void InputQueue::append_locked(QueueItem item) {
  slots_[(head_ + count_) % slots_.size()] = std::move(item);
  ++count_;
}

QueueItem& InputQueue::back_locked() {
  return slots_[(head_ + count_ - 1) % slots_.size()];
}

void InputQueue::replace_with_reset_locked() {
  clear_locked();
  append_locked(QueueItem{std::nullopt, command::Reset{}});
}

}  // namespace kivo::input
