#include "main_queue.hpp"

#include <utility>

namespace kivo::agent {

void MainQueue::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  posted_.notify_one();
}

void MainQueue::post_stop() {
  post([this] { stop_posted_ = true; });
}

void MainQueue::run() {
  std::unique_lock lock(mutex_);
  while (!stop_posted_) {
    posted_.wait(lock, [this] { return !work_.empty(); });
    std::function<void()> work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    lock.lock();
  }
}

}  // namespace kivo::agent
