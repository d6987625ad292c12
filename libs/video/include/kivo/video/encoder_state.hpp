// The state the encoder shares with its output function (which runs on the
// backend's threads), with the emission stage and with the pipeline: the
// counters it keeps, the two key-frame flags, the bounded queue of encoded
// samples and the count of output calls in progress.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kivo/protocol/capture_status.hpp"
#include "kivo/video/video_encoder_session.hpp"

namespace kivo::video {

// The last failure of one kind, readable at any time.
class ErrorRecordCell {
 public:
  void record(protocol::CaptureErrorRecord record);
  std::optional<protocol::CaptureErrorRecord> get() const;

 private:
  mutable std::mutex mutex_;
  std::optional<protocol::CaptureErrorRecord> record_;
};

// The encoder's and the emission stage's share of the capture diagnostics.
struct EncoderCounters {
  std::atomic<std::uint64_t> vt_submit_ok{0};
  std::atomic<std::uint64_t> vt_submit_error{0};
  std::atomic<std::uint64_t> vt_output_ok{0};
  std::atomic<std::uint64_t> vt_output_error{0};
  std::atomic<std::uint64_t> vt_output_dropped{0};
  std::atomic<std::uint64_t> annexb_emitted_frames{0};
  std::atomic<std::uint64_t> annexb_emitted_bytes{0};
  std::atomic<std::uint64_t> annexb_emitted_keyframes{0};
  std::atomic<std::uint64_t> encoded_queue_overflows{0};
  ErrorRecordCell last_vt_error;

  // Records an encoder failure: domain "VideoToolbox", the status as code.
  void record_encoder_error(EncoderStatus status, std::string detail);
  // Copies the counters and the last encoder error into `diagnostics`.
  void fill(protocol::CaptureDiagnostics& diagnostics) const;
};

// The key frame request (read and cleared before each submit; starts set so
// that a run opens with a key frame) and the awaiting-key-frame gate of the
// emission stage. Only the capture worker's thread writes the gate: a loss
// in the queue reaches it through the queue itself (EncodedBatch), in order
// with the samples.
struct KeyFrameFlags {
  std::atomic<bool> request{true};
  std::atomic<bool> awaiting{false};
};

// What one take from the queue gives: the samples in order, and whether
// samples were lost (to overflow) since the previous take, all of them older
// than these.
struct EncodedBatch {
  std::vector<EncodedSample> samples;
  bool lost_before = false;
};

// Encoded samples between the output function and the emission stage. When
// full, the oldest sample goes; once closed, pushes are discarded.
class EncodedQueue {
 public:
  static constexpr std::size_t kDefaultLimit = 64;
  explicit EncodedQueue(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  // False when the queue held `limit` or more and lost its oldest sample.
  bool push(EncodedSample sample);
  EncodedBatch take_all();
  // Discards what is queued and refuses later pushes.
  void close();
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::deque<EncodedSample> samples_;
  std::size_t limit_;
  bool lost_ = false;
  bool closed_ = false;
};

// How many output calls are running, so that tear-down can wait for the last
// one before the state they touch goes away.
class CallbackActivity {
 public:
  void enter();
  void leave();
  void wait_idle();
  std::uint64_t running() const;

  class Guard {
   public:
    explicit Guard(CallbackActivity& activity) : activity_(activity) { activity_.enter(); }
    ~Guard() { activity_.leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    CallbackActivity& activity_;
  };

 private:
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::uint64_t running_ = 0;
};

// Everything the output function touches. Held by shared pointer by the
// encoder, its output function and the pipeline, so it outlives any output
// call a backend makes late.
struct EncoderOutputContext {
  explicit EncoderOutputContext(std::size_t queue_limit = EncodedQueue::kDefaultLimit)
      : queue(queue_limit) {}

  EncodedQueue queue;
  KeyFrameFlags flags;
  EncoderCounters counters;
  CallbackActivity activity;
};

// The output function's accounting for one output call.
void handle_encoder_output(EncoderOutputContext& context, EncoderStatus status,
                           std::uint32_t info_flags, std::optional<EncodedSample> sample);

}  // namespace kivo::video
