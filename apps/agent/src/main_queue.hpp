// The main thread's queue: other threads post work to it; the main thread
// runs the work in order until a posted stop has run.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kivo::agent {

class MainQueue {
 public:
  // Safe from any thread, before or during run().
  void post(std::function<void()> work);
  // Posts the end of the loop: run() returns once the work posted before it
  // has run. A stop posted before run() starts still ends it.
  void post_stop();

  // Runs posted work on the calling thread until the stop.
  void run();

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> work_;
  bool stop_posted_ = false;
};

}  // namespace kivo::agent
