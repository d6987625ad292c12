#include "kivo/video/video_emitter.hpp"

#include <fmt/format.h>

#include "kivo/core/log.hpp"
#include "kivo/video/annexb.hpp"

namespace kivo::video {
namespace {

constexpr std::string_view kTarget = "kivo_capture";
constexpr std::chrono::seconds kMeasurementWindow{2};

}  // namespace

Result<AccessUnit> to_access_unit(const EncodedSample& sample) {
  if (sample.nal_length_size < 1 || sample.nal_length_size > 4) {
    return fail(KivoError::invalid_message("invalid H.264 NAL length size"));
  }
  auto annexb = avcc_to_annexb(sample.data, sample.nal_length_size);
  if (!annexb) {
    return fail(KivoError::invalid_message(
        fmt::format("avcc to annexb failed: {}", annexb.error().display())));
  }
  AccessUnit unit;
  const NalSummary summary = scan_annexb(*annexb);
  unit.key_frame = summary.key_frame;
  if (summary.key_frame && !(summary.has_sps && summary.has_pps)) {
    std::vector<std::uint8_t> prefix = parameter_set_prefix(sample.parameter_sets);
    const NalSummary sets = scan_annexb(prefix);
    if (!(sets.has_sps && sets.has_pps)) {
      unit.undecodable_key_frame = true;
      return unit;
    }
    prefix.insert(prefix.end(), annexb->begin(), annexb->end());
    unit.data = std::move(prefix);
    return unit;
  }
  unit.data = std::move(*annexb);
  return unit;
}

VideoEmitter::VideoEmitter(std::shared_ptr<EncoderOutputContext> context, Clock clock)
    : context_(std::move(context)), clock_(std::move(clock)) {}

Result<DrainOutcome> VideoEmitter::drain(std::uint64_t stream_epoch, const VideoFrameSink& sink) {
  EncodedBatch batch = context_->queue.take_all();
  KeyFrameFlags& flags = context_->flags;
  EncoderCounters& counters = context_->counters;
  // Lost samples came before everything taken now: what follows may refer
  // to them.
  if (batch.lost_before) flags.awaiting.store(true);

  for (const EncodedSample& sample : batch.samples) {
    if (sample.data.empty()) continue;
    auto unit = to_access_unit(sample);
    if (!unit) return fail(std::move(unit).error());
    if (unit->undecodable_key_frame) {
      // Later frames would refer to this one: hold them back until a key
      // frame the decoder can start from, and ask for it now.
      flags.request.store(true);
      flags.awaiting.store(true);
      continue;
    }
    if (!unit->key_frame && flags.awaiting.load()) continue;

    const std::size_t bytes = unit->data.size();
    const bool key_frame = unit->key_frame;
    if (!sink(EncodedVideoFrame{std::move(unit->data), stream_epoch, key_frame})) {
      return DrainOutcome::kReceiverGone;
    }
    counters.annexb_emitted_frames.fetch_add(1);
    counters.annexb_emitted_bytes.fetch_add(bytes);
    if (key_frame) counters.annexb_emitted_keyframes.fetch_add(1);
    measure(bytes);
    if (key_frame) flags.awaiting.store(false);
  }
  return DrainOutcome::kDrained;
}

void VideoEmitter::measure(std::size_t bytes) {
  window_bytes_ += bytes;
  const auto now = clock_();
  if (!window_start_) window_start_ = now;
  const auto elapsed = now - *window_start_;
  if (std::chrono::duration_cast<std::chrono::seconds>(elapsed) < kMeasurementWindow) return;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const std::uint64_t measured = std::exchange(window_bytes_, 0);
  KIVO_INFO(
      kTarget, "actual encoded bitrate",
      log::field("actual_bitrate_kbps", static_cast<double>(measured) * 8.0 / seconds / 1000.0),
      log::field("encoded_bytes", measured), log::field("elapsed_secs", seconds));
  window_start_ = now;
}

std::optional<std::uint64_t> CaptureEpochGate::admit(std::uint64_t capture_epoch, bool key_frame) {
  if (epoch_ != capture_epoch) {
    epoch_ = capture_epoch;
    open_ = false;
    next_sequence_ = 0;
  }
  if (!open_ && !key_frame) return std::nullopt;
  open_ = true;
  return next_sequence_++;
}

}  // namespace kivo::video
