// InputQueue: the bounded queue between the agent's command handling and one
// worker generation. Pushing never waits for the worker.
//
// A change of stamp discards whatever is queued and puts a Reset first, so
// that input sent under a new generation, input epoch or geometry epoch
// starts from nothing held. Consecutive moves under one stamp are merged, so
// a burst of pointer motion costs one post per drain of the worker.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "kivo/core/result.hpp"
#include "kivo/input/input_error.hpp"
#include "kivo/input/worker_command.hpp"

namespace kivo::input {

class InputQueue {
 public:
  // Storage for `capacity` (at least 2) items is reserved here, once.
  explicit InputQueue(std::size_t capacity);

  // Queues `command` under `stamp`. WorkerStopped once closed. QueueOverflow
  // when full: the queue then holds a single Reset and no current stamp, and
  // `command` is lost.
  Expected<void, InputError> push(const InputStamp& stamp, WorkerCommand command);

  // Discards all items and, unless closed, queues an unstamped Reset. The
  // current stamp stays.
  void flush_with_reset();

  // Discards all items and refuses further pushes; wakes the worker.
  void close();

  // For the worker: the next command to run, waiting while the queue is open
  // and empty; empty once the queue is closed. Stamped items whose stamp is no
  // longer current are dropped on the way.
  std::optional<WorkerCommand> take();

  bool closed() const;
  std::optional<InputStamp> current_stamp() const;
  // The queued items, oldest first.
  std::vector<QueueItem> items() const;
  std::size_t capacity() const { return slots_.size(); }

 private:
  void clear_locked();
  void append_locked(QueueItem item);
  QueueItem& back_locked();
  void replace_with_reset_locked();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // A ring of capacity slots: `count_` items from `head_` on.
  std::vector<QueueItem> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool closed_ = false;
  std::optional<InputStamp> current_stamp_;
};

}  // namespace kivo::input
