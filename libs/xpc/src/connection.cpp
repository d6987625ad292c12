#include "kivo/xpc/connection.hpp"

#include <fmt/format.h>
#include <sys/socket.h>

#include <cerrno>

#include "connection_core.hpp"
#include "unix_address.hpp"

namespace kivo::xpc {

std::string_view reason_text(ConnectionError error) {
  switch (error) {
    case ConnectionError::kInvalid:
      return "connection_invalid";
  }
  return "unknown";
}

Result<void> Sender::send(Message message) const {
  return core_->send(0, std::move(message));
}

Result<void> Sender::send_reply(std::uint64_t request_id, Message reply) const {
  return core_->send(request_id, std::move(reply));
}

bool EventPump::pump_until(const std::function<bool()>& done,
                           std::chrono::steady_clock::time_point deadline) const {
  return core_->pump_until(done, deadline);
}

void EventPump::wake() const {
  core_->wake_pumps();
}

Result<Connection> Connection::connect(const std::filesystem::path& path) {
  const auto creation_failed = [](const KivoError& os_error) {
    return KivoError::invalid_message(
        fmt::format("failed to create privileged XPC connection: {}", os_error.text()));
  };
  auto address = detail::unix_address(path);
  if (!address) return fail(creation_failed(address.error()));
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return fail(creation_failed(KivoError::io_errno(errno)));
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) !=
      0) {
    return fail(creation_failed(KivoError::io_errno(errno)));
  }
  return adopt(std::move(socket));
}

Connection Connection::adopt(UniqueFd socket) {
  return Connection(std::make_shared<detail::ConnectionCore>(std::move(socket)));
}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    release();
    core_ = std::move(other.core_);
  }
  return *this;
}

Connection::~Connection() {
  release();
}

void Connection::release() {
  if (core_) core_->release();
  core_.reset();
}

void Connection::set_event_handler(EventHandler handler) {
  core_->set_event_handler(std::move(handler));
}

void Connection::resume() {
  core_->resume(core_);
}

Result<void> Connection::send(Message message) {
  return core_->send(0, std::move(message));
}

Result<void> Connection::send_reply(std::uint64_t request_id, Message reply) {
  return core_->send(request_id, std::move(reply));
}

Result<Reply> Connection::send_with_reply(Message message) {
  return core_->send_with_reply(std::move(message));
}

EventPump Connection::event_pump() const {
  core_->allow_pumps();
  return EventPump(core_);
}

bool Connection::flush(std::chrono::milliseconds timeout) {
  return core_->flush(timeout);
}

void Connection::cancel() {
  core_->cancel();
}

bool Connection::is_ended() const {
  return core_->is_ended();
}

}  // namespace kivo::xpc
