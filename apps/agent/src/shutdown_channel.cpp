#include "shutdown_channel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace kivo::agent {

std::string_view shutdown_reason(const ShutdownRequest& request) {
  switch (request.kind) {
    case ShutdownRequest::Kind::kOsSignal:
      return "os_signal";
    case ShutdownRequest::Kind::kMenuQuit:
      return "menu_quit";
    case ShutdownRequest::Kind::kServiceQuit:
      return "service_quit";
    case ShutdownRequest::Kind::kXpcTerminated:
      return request.quitting ? "xpc_quit" : "xpc_terminated";
  }
  return "shutdown_error";
}

ShutdownChannel::ShutdownChannel()
    : event_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {}

void ShutdownChannel::post(ShutdownRequest request) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    requests_.push_back(std::move(request));
  }
  const std::uint64_t one = 1;
  // A full counter (2^64 - 2 posts) cannot happen; the wake-up is all we need.
  [[maybe_unused]] const ssize_t written = ::write(event_fd_.get(), &one, sizeof one);
}

std::optional<ShutdownRequest> ShutdownChannel::try_take() {
  std::lock_guard lock(mutex_);
  if (requests_.empty()) return std::nullopt;
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t consumed = ::read(event_fd_.get(), &count, sizeof count);
  ShutdownRequest request = std::move(requests_.front());
  requests_.pop_front();
  return request;
}

void ShutdownChannel::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

bool ShutdownChannel::is_closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace kivo::agent
