#include "kivo/capture/capture_counters.hpp"

namespace kivo::capture {

void CaptureCounters::set_last_source_error(protocol::CaptureErrorRecord record) {
  std::lock_guard guard(source_error_mutex_);
  last_source_error_ = std::move(record);
}

std::optional<protocol::CaptureErrorRecord> CaptureCounters::last_source_error() const {
  std::lock_guard guard(source_error_mutex_);
  return last_source_error_;
}

void CaptureCounters::set_last_vt_error(protocol::CaptureErrorRecord record) {
  std::lock_guard guard(vt_error_mutex_);
  last_vt_error_ = std::move(record);
}

std::optional<protocol::CaptureErrorRecord> CaptureCounters::last_vt_error() const {
  std::lock_guard guard(vt_error_mutex_);
  return last_vt_error_;
}

void CaptureCounters::fill(protocol::CaptureDiagnostics& d) const {
  d.source_callbacks = source_callbacks.load();
  d.source_usable_frames = source_usable_frames.load();
  d.source_status_complete = source_status_complete.load();
  d.source_status_started = source_status_started.load();
  d.source_status_idle = source_status_idle.load();
  d.source_status_blank = source_status_blank.load();
  d.source_status_suspended = source_status_suspended.load();
  d.source_status_stopped = source_status_stopped.load();
  d.source_status_missing = source_status_missing.load();
  d.source_null_image_buffers = source_null_image_buffers.load();
  d.raw_queue_overflows = raw_queue_overflows.load();
  d.vt_submit_ok = vt_submit_ok.load();
  d.vt_submit_error = vt_submit_error.load();
  d.vt_output_ok = vt_output_ok.load();
  d.vt_output_error = vt_output_error.load();
  d.vt_output_dropped = vt_output_dropped.load();
  d.annexb_emitted_frames = annexb_emitted_frames.load();
  d.annexb_emitted_bytes = annexb_emitted_bytes.load();
  d.annexb_emitted_keyframes = annexb_emitted_keyframes.load();
  d.encoded_queue_overflows = encoded_queue_overflows.load();
  d.last_source_error = last_source_error();
  d.last_vt_error = last_vt_error();
}

}  // namespace kivo::capture
