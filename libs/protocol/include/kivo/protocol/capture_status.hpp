// The capture part of a "status" reply: CaptureStatus (running or not, which
// backend, a localisation key), and CaptureDiagnostics with its counters, the
// health of the graphics, input and clipboard capabilities, and the last
// failure of each capture stage.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "kivo/core/json_codec.hpp"
#include "kivo/protocol/string_enum.hpp"

namespace kivo::protocol {

struct CaptureStatus {
  bool running = false;
  std::string backend;
  std::string message_key;
  friend bool operator==(const CaptureStatus&, const CaptureStatus&) = default;
};

// The last failure of a capability or capture stage.
struct CaptureErrorRecord {
  std::string domain;
  std::int64_t code = 0;
  std::optional<std::string> detail;
  std::uint64_t observed_unix_ms = 0;
  friend bool operator==(const CaptureErrorRecord&, const CaptureErrorRecord&) = default;
};

enum class CapabilityHealthState : std::uint8_t {
  kUnknown,
  kStarting,
  kReady,
  kLost,
  kUnavailable,
  kStopped,
};

template <>
struct StringEnum<CapabilityHealthState> {
  static constexpr std::array<std::string_view, 6> names{"unknown", "starting",    "ready",
                                                         "lost",    "unavailable", "stopped"};
};

struct AgentCapabilityHealth {
  CapabilityHealthState state = CapabilityHealthState::kUnknown;
  std::uint64_t agent_generation = 0;
  std::uint64_t capture_epoch = 0;
  std::uint64_t input_epoch = 0;
  std::uint64_t worker_generation = 0;
  std::uint64_t restart_count = 0;
  std::uint64_t failure_count = 0;
  std::uint64_t post_attempts = 0;
  std::optional<CaptureErrorRecord> last_error;

  // Nothing has been learnt about the capability: state "unknown", every
  // number 0 and no failure. Such a record is left out of the diagnostics.
  bool is_unknown() const { return *this == AgentCapabilityHealth{}; }

  friend bool operator==(const AgentCapabilityHealth&, const AgentCapabilityHealth&) = default;
};

// Counters from the capture source to the service, in pipeline order. The
// three health records default to unknown, which is how a missing one reads
// back and why an unknown one is never written.
struct CaptureDiagnostics {
  std::uint64_t agent_generation = 0;
  std::uint64_t capture_epoch = 0;
  std::uint64_t stream_epoch = 0;
  std::uint64_t source_callbacks = 0;
  std::uint64_t source_usable_frames = 0;
  std::uint64_t source_status_complete = 0;
  std::uint64_t source_status_started = 0;
  std::uint64_t source_status_idle = 0;
  std::uint64_t source_status_blank = 0;
  std::uint64_t source_status_suspended = 0;
  std::uint64_t source_status_stopped = 0;
  std::uint64_t source_status_missing = 0;
  std::uint64_t source_null_image_buffers = 0;
  std::uint64_t raw_queue_overflows = 0;
  std::uint64_t vt_submit_ok = 0;
  std::uint64_t vt_submit_error = 0;
  std::uint64_t vt_output_ok = 0;
  std::uint64_t vt_output_error = 0;
  std::uint64_t vt_output_dropped = 0;
  std::uint64_t annexb_emitted_frames = 0;
  std::uint64_t annexb_emitted_bytes = 0;
  std::uint64_t annexb_emitted_keyframes = 0;
  std::uint64_t encoded_queue_overflows = 0;
  std::uint64_t agent_write_ok_frames = 0;
  std::uint64_t agent_write_ok_bytes = 0;
  std::uint64_t service_decode_ok_frames = 0;
  std::uint64_t actor_backpressure_drop = 0;
  std::uint64_t service_forward_ok_frames = 0;
  std::uint64_t service_forward_ok_bytes = 0;
  AgentCapabilityHealth graphics_health;
  AgentCapabilityHealth input_health;
  AgentCapabilityHealth clipboard_health;
  std::optional<CaptureErrorRecord> last_source_error;
  std::optional<CaptureErrorRecord> last_vt_error;
  std::optional<CaptureErrorRecord> last_media_error;
  friend bool operator==(const CaptureDiagnostics&, const CaptureDiagnostics&) = default;
};

}  // namespace kivo::protocol

template <>
struct kivo::json::Record<kivo::protocol::CaptureStatus> {
  using T = kivo::protocol::CaptureStatus;
  static constexpr std::string_view name = "CaptureStatus";
  static constexpr auto fields =
      std::make_tuple(field("running", &T::running), field("backend", &T::backend),
                      field("message_key", &T::message_key));
};

template <>
struct kivo::json::Record<kivo::protocol::CaptureErrorRecord> {
  using T = kivo::protocol::CaptureErrorRecord;
  static constexpr std::string_view name = "CaptureErrorRecord";
  static constexpr auto fields =
      std::make_tuple(field("domain", &T::domain), field("code", &T::code),
                      field("detail", &T::detail), field("observed_unix_ms", &T::observed_unix_ms));
};

template <>
struct kivo::json::Record<kivo::protocol::AgentCapabilityHealth> {
  using T = kivo::protocol::AgentCapabilityHealth;
  static constexpr std::string_view name = "AgentCapabilityHealth";
  static constexpr auto fields = std::make_tuple(
      field("state", &T::state), field("agent_generation", &T::agent_generation),
      field("capture_epoch", &T::capture_epoch), field("input_epoch", &T::input_epoch),
      field("worker_generation", &T::worker_generation), field("restart_count", &T::restart_count),
      field("failure_count", &T::failure_count), field("post_attempts", &T::post_attempts),
      field("last_error", &T::last_error));
};

template <>
struct kivo::json::Record<kivo::protocol::CaptureDiagnostics> {
  using T = kivo::protocol::CaptureDiagnostics;
  static constexpr std::string_view name = "CaptureDiagnostics";
  static constexpr auto fields = std::make_tuple(
      field("agent_generation", &T::agent_generation), field("capture_epoch", &T::capture_epoch),
      field("stream_epoch", &T::stream_epoch), field("source_callbacks", &T::source_callbacks),
      field("source_usable_frames", &T::source_usable_frames),
      field("source_status_complete", &T::source_status_complete),
      field("source_status_started", &T::source_status_started),
      field("source_status_idle", &T::source_status_idle),
      field("source_status_blank", &T::source_status_blank),
      field("source_status_suspended", &T::source_status_suspended),
      field("source_status_stopped", &T::source_status_stopped),
      field("source_status_missing", &T::source_status_missing),
      field("source_null_image_buffers", &T::source_null_image_buffers),
      field("raw_queue_overflows", &T::raw_queue_overflows),
      field("vt_submit_ok", &T::vt_submit_ok), field("vt_submit_error", &T::vt_submit_error),
      field("vt_output_ok", &T::vt_output_ok), field("vt_output_error", &T::vt_output_error),
      field("vt_output_dropped", &T::vt_output_dropped),
      field("annexb_emitted_frames", &T::annexb_emitted_frames),
      field("annexb_emitted_bytes", &T::annexb_emitted_bytes),
      field("annexb_emitted_keyframes", &T::annexb_emitted_keyframes),
      field("encoded_queue_overflows", &T::encoded_queue_overflows),
      field("agent_write_ok_frames", &T::agent_write_ok_frames),
      field("agent_write_ok_bytes", &T::agent_write_ok_bytes),
      field("service_decode_ok_frames", &T::service_decode_ok_frames),
      field("actor_backpressure_drop", &T::actor_backpressure_drop),
      field("service_forward_ok_frames", &T::service_forward_ok_frames),
      field("service_forward_ok_bytes", &T::service_forward_ok_bytes),
      field("graphics_health", &T::graphics_health).or_default(),
      field("input_health", &T::input_health).or_default(),
      field("clipboard_health", &T::clipboard_health).or_default(),
      field("last_source_error", &T::last_source_error), field("last_vt_error", &T::last_vt_error),
      field("last_media_error", &T::last_media_error));
};

// Reads through the record above; writes it too, except that a health record
// that is unknown is left out, a rule that depends on the value and so is not
// one of the record layer's omission rules.
template <>
struct kivo::json::Codec<kivo::protocol::CaptureDiagnostics> {
  static Result<kivo::protocol::CaptureDiagnostics> decode(const Value& v);
  static void encode(Writer& w, const kivo::protocol::CaptureDiagnostics& diagnostics);
};
