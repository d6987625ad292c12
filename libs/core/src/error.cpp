#include "kivo/core/error.hpp"

#include <cerrno>
#include <cstring>

namespace kivo {

KivoError KivoError::not_implemented(std::string feature) {
  return {Kind::kNotImplemented, std::move(feature)};
}
KivoError KivoError::permission_denied(std::string permission) {
  return {Kind::kPermissionDenied, std::move(permission)};
}
KivoError KivoError::not_connected() {
  return {Kind::kNotConnected, {}};
}
KivoError KivoError::congested() {
  return {Kind::kCongested, {}};
}
KivoError KivoError::invalid_message(std::string reason) {
  return {Kind::kInvalidMessage, std::move(reason)};
}
KivoError KivoError::unsupported(std::string feature) {
  return {Kind::kUnsupported, std::move(feature)};
}
KivoError KivoError::database(std::string reason) {
  return {Kind::kDatabase, std::move(reason)};
}
KivoError KivoError::json(std::string reader_message) {
  return {Kind::kJson, std::move(reader_message)};
}

KivoError KivoError::io_errno(int error_number) {
  KivoError error{Kind::kIo,
                  fmt::format("{} (os error {})", std::strerror(error_number), error_number)};
  error.io_kind_ = io_kind_of_errno(error_number);
  error.os_error_ = error_number;
  return error;
}

KivoError KivoError::io(IoKind kind, std::string text) {
  KivoError error{Kind::kIo, std::move(text)};
  error.io_kind_ = kind;
  return error;
}

std::string KivoError::display() const {
  switch (kind_) {
    case Kind::kNotImplemented:
      return fmt::format("not implemented: {}", text_);
    case Kind::kPermissionDenied:
      return fmt::format("permission denied: {}", text_);
    case Kind::kNotConnected:
      return "not connected";
    case Kind::kCongested:
      return "send congested";
    case Kind::kInvalidMessage:
      return fmt::format("invalid message: {}", text_);
    case Kind::kUnsupported:
      return fmt::format("unsupported on this platform: {}", text_);
    case Kind::kDatabase:
      return fmt::format("database error: {}", text_);
    case Kind::kIo:
      return fmt::format("io error: {}", text_);
    case Kind::kJson:
      return fmt::format("json error: {}", text_);
  }
  return "unknown error";
}

KivoError KivoError::with_context(std::string_view context) const {
  return invalid_message(fmt::format("{}: {}", context, display()));
}

IoKind io_kind_of_errno(int error_number) {
  switch (error_number) {
    case ENOENT:
      return IoKind::kNotFound;
    case EACCES:
    case EPERM:
      return IoKind::kPermissionDenied;
    case EINVAL:
      return IoKind::kInvalidInput;
    case EPIPE:
      return IoKind::kBrokenPipe;
    case EAGAIN:
      return IoKind::kWouldBlock;
    case ETIMEDOUT:
      return IoKind::kTimedOut;
    case EINTR:
      return IoKind::kInterrupted;
    default:
      return IoKind::kOther;
  }
}

}  // namespace kivo
