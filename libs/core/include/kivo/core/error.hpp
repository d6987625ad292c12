// KivoError: the error value of the whole agent, one of nine kinds with fixed
// display texts. Every fallible call returns Result<T> (see result.hpp); the
// libraries' own error types convert into this one at their callers.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivo {

// The class of an operating-system error, as callers test it ("not found",
// "broken pipe", ...). Only the classes the agent looks at are named.
enum class IoKind : std::uint8_t {
  kOther,
  kNotFound,
  kPermissionDenied,
  kInvalidInput,
  kBrokenPipe,
  kWouldBlock,
  kTimedOut,
  kInterrupted,
  kUnexpectedEof,
  kInvalidData,
};

class KivoError {
 public:
  enum class Kind : std::uint8_t {
    kNotImplemented,
    kPermissionDenied,
    kNotConnected,
    kCongested,
    kInvalidMessage,
    kUnsupported,
    kDatabase,
    kIo,
    kJson,
  };

  static KivoError not_implemented(std::string feature);
  static KivoError permission_denied(std::string permission);
  static KivoError not_connected();
  static KivoError congested();
  static KivoError invalid_message(std::string reason);
  static KivoError unsupported(std::string feature);
  static KivoError database(std::string reason);
  static KivoError json(std::string reader_message);
  // An operating-system error number; displays as "<strerror> (os error N)".
  static KivoError io_errno(int error_number);
  // An I/O error of a given class with a text of our own ("log writer aborted").
  static KivoError io(IoKind kind, std::string text);

  Kind kind() const { return kind_; }
  // The payload of the kind: the feature, permission, reason or reader text;
  // for Io the operating-system error's own display; empty for the two
  // kinds without one.
  const std::string& text() const { return text_; }
  // For Io: the class of the error, and the errno when it came from the system.
  IoKind io_kind() const { return io_kind_; }
  std::optional<int> os_error() const { return os_error_; }

  // The fixed display text, e.g. "invalid message: log cap must be greater than zero".
  std::string display() const;

  // Adds context in front of the text: "failed to X: <display>" as an
  // InvalidMessage that keeps nothing else of the original.
  KivoError with_context(std::string_view context) const;

  friend bool operator==(const KivoError&, const KivoError&) = default;

 private:
  KivoError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
  IoKind io_kind_ = IoKind::kOther;
  std::optional<int> os_error_;
};

// The class of an errno value.
IoKind io_kind_of_errno(int error_number);

}  // namespace kivo

template <>
struct fmt::formatter<kivo::KivoError> : fmt::formatter<std::string_view> {
  auto format(const kivo::KivoError& error, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(error.display(), ctx);
  }
};
