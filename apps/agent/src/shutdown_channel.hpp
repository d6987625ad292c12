// The shutdown channel: how the loops, the signal watch and the status item
// ask the runtime to end. Unbounded and never blocking; once the runtime has
// stopped waiting, further requests are dropped.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/xpc/unique_fd.hpp"

namespace kivo::agent {

struct ShutdownRequest {
  enum class Kind : std::uint8_t {
    kOsSignal,
    kMenuQuit,  // sends "quit_all_request"; never ends the wait by itself
    kServiceQuit,
    kXpcTerminated,
  };
  Kind kind = Kind::kOsSignal;
  bool quitting = false;  // kXpcTerminated: the quitting flag when posted
  std::string detail;     // kXpcTerminated: why the link ended

  static ShutdownRequest os_signal() { return {Kind::kOsSignal, false, {}}; }
  static ShutdownRequest menu_quit() { return {Kind::kMenuQuit, false, {}}; }
  static ShutdownRequest service_quit() { return {Kind::kServiceQuit, false, {}}; }
  static ShutdownRequest xpc_terminated(bool quitting, std::string detail) {
    return {Kind::kXpcTerminated, quitting, std::move(detail)};
  }
};

// The reason name the cleanup logs and the exit status follows.
std::string_view shutdown_reason(const ShutdownRequest& request);

class ShutdownChannel {
 public:
  ShutdownChannel();
  ShutdownChannel(const ShutdownChannel&) = delete;
  ShutdownChannel& operator=(const ShutdownChannel&) = delete;

  // Never blocks. Dropped once the channel is closed.
  void post(ShutdownRequest request);

  // Readable while a request waits: for poll() beside other sources.
  int wait_fd() const { return event_fd_.get(); }
  std::optional<ShutdownRequest> try_take();

  // Shutdown has begun: later posts are dropped.
  void close();
  bool is_closed() const;

 private:
  mutable std::mutex mutex_;
  std::deque<ShutdownRequest> requests_;
  bool closed_ = false;
  xpc::UniqueFd event_fd_;
};

}  // namespace kivo::agent
