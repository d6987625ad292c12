// CaptureCounters: the diagnostics counters of one capture pipeline and the
// last error of its source and of its encoder. They live as long as the
// pipeline and are shared by reference with the stream callbacks, the worker
// and the encoder. Safe for concurrent use: the counters are sequentially
// consistent atomics and each error record has its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "kivo/protocol/capture_status.hpp"

namespace kivo::capture {

class CaptureCounters {
 public:
  using Counter = std::atomic<std::uint64_t>;

  Counter source_callbacks{0};
  Counter source_usable_frames{0};
  Counter source_status_complete{0};
  Counter source_status_started{0};
  Counter source_status_idle{0};
  Counter source_status_blank{0};
  Counter source_status_suspended{0};
  Counter source_status_stopped{0};
  Counter source_status_missing{0};
  Counter source_null_image_buffers{0};
  Counter raw_queue_overflows{0};
  Counter vt_submit_ok{0};
  Counter vt_submit_error{0};
  Counter vt_output_ok{0};
  Counter vt_output_error{0};
  Counter vt_output_dropped{0};
  Counter annexb_emitted_frames{0};
  Counter annexb_emitted_bytes{0};
  Counter annexb_emitted_keyframes{0};
  Counter encoded_queue_overflows{0};

  void set_last_source_error(protocol::CaptureErrorRecord record);
  std::optional<protocol::CaptureErrorRecord> last_source_error() const;
  void set_last_vt_error(protocol::CaptureErrorRecord record);
  std::optional<protocol::CaptureErrorRecord> last_vt_error() const;

  // The counters and both error records into `diagnostics`; every other
  // member of it is left as it was.
  void fill(protocol::CaptureDiagnostics& diagnostics) const;

 private:
  mutable std::mutex source_error_mutex_;
  std::optional<protocol::CaptureErrorRecord> last_source_error_;
  mutable std::mutex vt_error_mutex_;
  std::optional<protocol::CaptureErrorRecord> last_vt_error_;
};

}  // namespace kivo::capture
