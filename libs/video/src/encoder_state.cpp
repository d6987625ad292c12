#include "kivo/video/encoder_state.hpp"

#include <chrono>
#include <utility>

namespace kivo::video {
namespace {

std::uint64_t unix_ms_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

}  // namespace

void ErrorRecordCell::record(protocol::CaptureErrorRecord record) {
  std::lock_guard lock(mutex_);
  record_ = std::move(record);
}

std::optional<protocol::CaptureErrorRecord> ErrorRecordCell::get() const {
  std::lock_guard lock(mutex_);
  return record_;
}

void EncoderCounters::record_encoder_error(EncoderStatus status, std::string detail) {
  last_vt_error.record({"VideoToolbox", status, std::move(detail), unix_ms_now()});
}

void EncoderCounters::fill(protocol::CaptureDiagnostics& diagnostics) const {
  diagnostics.vt_submit_ok = vt_submit_ok.load();
  diagnostics.vt_submit_error = vt_submit_error.load();
  diagnostics.vt_output_ok = vt_output_ok.load();
  diagnostics.vt_output_error = vt_output_error.load();
  diagnostics.vt_output_dropped = vt_output_dropped.load();
  diagnostics.annexb_emitted_frames = annexb_emitted_frames.load();
  diagnostics.annexb_emitted_bytes = annexb_emitted_bytes.load();
  diagnostics.annexb_emitted_keyframes = annexb_emitted_keyframes.load();
  diagnostics.encoded_queue_overflows = encoded_queue_overflows.load();
  diagnostics.last_vt_error = last_vt_error.get();
}

bool EncodedQueue::push(EncodedSample sample) {
  std::deque<EncodedSample> dropped;
  std::lock_guard lock(mutex_);
  if (closed_) return true;
  bool kept_all = true;
  while (samples_.size() >= limit_ && !samples_.empty()) {
    dropped.push_back(std::move(samples_.front()));
    samples_.pop_front();
    kept_all = false;
    lost_ = true;
  }
  samples_.push_back(std::move(sample));
  return kept_all;
}

EncodedBatch EncodedQueue::take_all() {
  std::lock_guard lock(mutex_);
  EncodedBatch batch;
  batch.samples.assign(std::make_move_iterator(samples_.begin()),
                       std::make_move_iterator(samples_.end()));
  batch.lost_before = std::exchange(lost_, false);
  samples_.clear();
  return batch;
}

void EncodedQueue::close() {
  std::deque<EncodedSample> dropped;
  std::lock_guard lock(mutex_);
  closed_ = true;
  dropped.swap(samples_);
}

std::size_t EncodedQueue::size() const {
  std::lock_guard lock(mutex_);
  return samples_.size();
}

void CallbackActivity::enter() {
  std::lock_guard lock(mutex_);
  ++running_;
}

void CallbackActivity::leave() {
  std::lock_guard lock(mutex_);
  if (running_ > 0) --running_;
  if (running_ == 0) idle_.notify_all();
}

void CallbackActivity::wait_idle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return running_ == 0; });
}

std::uint64_t CallbackActivity::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void handle_encoder_output(EncoderOutputContext& context, EncoderStatus status,
                           std::uint32_t info_flags, std::optional<EncodedSample> sample) {
  CallbackActivity::Guard active(context.activity);
  EncoderCounters& counters = context.counters;
  if (status != encoder_status::kOk) {
    counters.vt_output_error.fetch_add(1);
    counters.record_encoder_error(status, "VT output callback failed");
  } else if ((info_flags & encode_info::kFrameDropped) != 0) {
    counters.vt_output_dropped.fetch_add(1);
  } else if (sample) {
    counters.vt_output_ok.fetch_add(1);
    if (!context.queue.push(std::move(*sample))) {
      // Samples were lost, so later frames may refer to pictures the remote
      // decoder never gets: ask for a key frame. The queue marks the loss,
      // and the emission stage holds frames back from there on.
      counters.encoded_queue_overflows.fetch_add(1);
      context.flags.request.store(true);
    }
  } else {
    counters.vt_output_error.fetch_add(1);
    counters.record_encoder_error(status, "VT output callback returned no sample buffer");
  }
}

}  // namespace kivo::video
