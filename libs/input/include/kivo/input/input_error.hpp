// InputError: the error of the input library. Each kind has a fixed display
// text and a code (its position in the list, from 1) that the input health
// report carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kivo::input {

class InputError {
 public:
  enum class Kind : std::uint8_t {
    kUnsupportedVirtualKey = 1,  // "unsupported virtual key: 0x0013"
    kQueueOverflow,              // "input queue overflow"
    kWorkerStopped,              // "input worker stopped"
    kWorkerStartFailed,          // "input worker failed to start: <text>"
    kEventSourceUnavailable,     // "input event source unavailable: <text>"
    kEventCreationFailed,        // "failed to create <mouse|scroll|keyboard> input event"
    kWorkerPanicked,             // "input worker panicked"
  };

  static InputError unsupported_virtual_key(std::uint16_t vk_code);
  static InputError queue_overflow();
  static InputError worker_stopped();
  static InputError worker_start_failed(std::string text);
  static InputError event_source_unavailable(std::string text);
  // `what` is one of "mouse", "scroll", "keyboard".
  static InputError event_creation_failed(std::string_view what);
  static InputError worker_panicked();

  Kind kind() const { return kind_; }
  // 1 for kUnsupportedVirtualKey ... 7 for kWorkerPanicked.
  std::int64_t code() const { return static_cast<std::int64_t>(kind_); }
  // The virtual-key code of kUnsupportedVirtualKey; 0 otherwise.
  std::uint16_t vk_code() const { return vk_code_; }
  std::string text() const;

  friend bool operator==(const InputError&, const InputError&) = default;

 private:
  InputError(Kind kind, std::string payload, std::uint16_t vk_code = 0)
      : kind_(kind), payload_(std::move(payload)), vk_code_(vk_code) {}

  Kind kind_;
  std::string payload_;
  std::uint16_t vk_code_;
};

}  // namespace kivo::input
