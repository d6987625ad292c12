// The logging facade every module logs through: an event is a level, a target
// naming the area ("kivo_agent", "kivo_file", ...), a message and named fields.
//
//   KIVO_WARN("kivo_quit", "failed to resolve user paths after resume hello",
//             kivo::log::field("error", err));
//
// The macros test the filter first and build no field at all when the event
// is filtered out. Until file logging is initialised (logging.hpp) events go
// nowhere, except to a live ScopedCapture.
#pragma once

#include <fmt/format.h>

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kivo/core/error.hpp"

namespace kivo::log {

enum class Level : std::uint8_t { kTrace, kDebug, kInfo, kWarn, kError };

// "TRACE", "DEBUG", "INFO", "WARN" or "ERROR".
std::string_view level_name(Level level);

// One named field of an event, its value already rendered as text.
//
// The name is not copied: build fields inside the log call's own expression,
// as the macros do, and never keep one beyond it.
class Field {
 public:
  Field(std::string_view name, std::string value) : name_(name), value_(std::move(value)) {}

  std::string_view name() const { return name_; }
  std::string_view value() const { return value_; }

 private:
  std::string_view name_;
  std::string value_;
};

namespace detail {

// The debug form of a string: in double quotes, with \" \\ \n \r \t \0 and
// \u{..} for the other control characters, so that a value can neither end
// the line nor carry terminal escapes.
std::string quoted(std::string_view text);

template <class T>
std::string display_text(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_arithmetic_v<T>) {
    return fmt::to_string(value);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string(std::string_view(value));
  } else if constexpr (std::is_same_v<T, KivoError>) {
    return value.display();
  } else if constexpr (std::is_same_v<T, std::filesystem::path>) {
    return value.string();
  } else {
    static_assert(fmt::is_formattable<T>::value, "no display form for this field type");
    return fmt::format("{}", value);
  }
}

}  // namespace detail

// A field in display form: numbers and booleans as such, strings, paths and
// KivoError as their plain text.
template <class T>
Field field(std::string_view name, const T& value) {
  return Field(name, detail::display_text(value));
}

// A field in debug form: strings (and paths, and KivoError's text) in double
// quotes with escapes; numbers and booleans as in display form. The form for
// anything that comes from the peer or the disk.
Field debug_field(std::string_view name, std::string_view value);

template <class T>
Field debug_field(std::string_view name, const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return Field(name, detail::quoted(std::string_view(value)));
  } else if constexpr (std::is_same_v<T, KivoError> || std::is_same_v<T, std::filesystem::path>) {
    return Field(name, detail::quoted(detail::display_text(value)));
  } else {
    return Field(name, detail::display_text(value));
  }
}

// One event as a handler receives it; every view is valid for the call only.
struct Event {
  Level level;
  std::string_view target;
  std::string_view message;
  std::span<const Field> fields;
};

// Whether an event of this level and target would be recorded by anything.
// Safe to call from any thread.
bool enabled(Level level, std::string_view target);

// Hands one event to the installed handler (when its filter lets it through)
// and to every live ScopedCapture. Never waits for the disk.
void write(Level level, std::string_view target, std::string_view message,
           std::initializer_list<Field> fields = {});

// An event as a ScopedCapture keeps it; each field rendered "name=value".
struct CapturedEvent {
  Level level;
  std::string target;
  std::string message;
  std::vector<std::string> fields;

  // The value of the first field of that name, in the form it was written.
  std::optional<std::string> field(std::string_view name) const;
};

// For tests of any module: while alive, records every event of every thread,
// whatever the filter, in addition to whatever else receives events.
class ScopedCapture {
 public:
  ScopedCapture();
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;

  std::vector<CapturedEvent> events() const;
  void clear();

  // Called by the facade for each event while this capture is registered.
  void record(const Event& event);

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedEvent> events_;
};

}  // namespace kivo::log

// KIVO_INFO(target, message, fields...): the message is a plain text (build it
// with fmt::format inside the call when it needs values; that too is skipped
// when the event is filtered out).
#define KIVO_LOG_EVENT_(level, target, message, ...)                         \
  do {                                                                       \
    const ::std::string_view kivo_log_target_ = (target);                    \
    if (::kivo::log::enabled((level), kivo_log_target_)) {                   \
      ::kivo::log::write((level), kivo_log_target_, (message), __VA_ARGS__); \
    }                                                                        \
  } while (false)

#define KIVO_TRACE(target, message, ...) \
  KIVO_LOG_EVENT_(::kivo::log::Level::kTrace, target, message, {__VA_ARGS__})
#define KIVO_DEBUG(target, message, ...) \
  KIVO_LOG_EVENT_(::kivo::log::Level::kDebug, target, message, {__VA_ARGS__})
#define KIVO_INFO(target, message, ...) \
  KIVO_LOG_EVENT_(::kivo::log::Level::kInfo, target, message, {__VA_ARGS__})
#define KIVO_WARN(target, message, ...) \
  KIVO_LOG_EVENT_(::kivo::log::Level::kWarn, target, message, {__VA_ARGS__})
#define KIVO_ERROR(target, message, ...) \
  KIVO_LOG_EVENT_(::kivo::log::Level::kError, target, message, {__VA_ARGS__})
