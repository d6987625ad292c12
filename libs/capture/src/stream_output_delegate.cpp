#include "kivo/capture/stream_output_delegate.hpp"

#include <fmt/format.h>

#include <string>

#include "kivo/core/log.hpp"

namespace kivo::capture {
namespace {

constexpr std::string_view kTarget = "kivo_capture";
// The first samples of a stream are described in the log, to diagnose
// streams that start but never deliver a usable frame.
constexpr std::uint32_t kDescribedSamples = 5;

template <class T>
std::string optional_text(const std::optional<T>& value) {
  return value ? fmt::format("{}", *value) : std::string("none");
}

std::string rect_text(const std::optional<protocol::Rect>& rect) {
  if (!rect) return "none";
  return fmt::format("({}, {}, {}, {})", rect->origin.x, rect->origin.y, rect->size.width,
                     rect->size.height);
}

// Counts the sample under its status; returns the status when it is one of
// the known values.
std::optional<FrameStatus> count_status(CaptureCounters& counters,
                                        std::optional<std::int64_t> raw) {
  if (raw) {
    switch (*raw) {
      case 0:
        ++counters.source_status_complete;
        return FrameStatus::kComplete;
      case 1:
        ++counters.source_status_idle;
        return FrameStatus::kIdle;
      case 2:
        ++counters.source_status_blank;
        return FrameStatus::kBlank;
      case 3:
        ++counters.source_status_suspended;
        return FrameStatus::kSuspended;
      case 4:
        ++counters.source_status_started;
        return FrameStatus::kStarted;
      case 5:
        ++counters.source_status_stopped;
        return FrameStatus::kStopped;
      default:
        break;
    }
  }
  ++counters.source_status_missing;
  return std::nullopt;
}

bool usable(FrameStatus status) {
  return status == FrameStatus::kComplete || status == FrameStatus::kIdle ||
         status == FrameStatus::kStarted;
}

}  // namespace

StreamOutputDelegate::StreamOutputDelegate(StreamDelegateCells cells, const CaptureClock& clock)
    : cells_(std::move(cells)), clock_(clock) {
  cells_.last_sample->set(clock_.now());
}

void StreamOutputDelegate::on_screen_sample(ScreenSample sample) {
  if (!cells_.running->load()) return;
  CaptureCounters& counters = *cells_.counters;
  cells_.last_sample->set(clock_.now());
  ++counters.source_callbacks;

  const std::optional<FrameStatus> status = count_status(counters, sample.attachments.status);
  if (!sample.image) ++counters.source_null_image_buffers;

  const std::uint32_t index = cells_.screen_callbacks->fetch_add(1);
  if (index < kDescribedSamples) {
    const FrameAttachments& a = sample.attachments;
    const std::uint32_t width = sample.image ? sample.image->width() : 0;
    const std::uint32_t height = sample.image ? sample.image->height() : 0;
    if (index == 0) {
      const std::optional<CaptureClock::time_point> started = cells_.capture_start->get();
      if (started) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - *started);
        KIVO_INFO(kTarget, "first SCK screen sample arrived",
                  log::field("elapsed_ms", elapsed.count()));
      } else {
        KIVO_INFO(kTarget, "first SCK screen sample arrived");
      }
    }
    KIVO_DEBUG(kTarget, "SCK screen sample metadata", log::field("callback_index", index),
               log::field("status", optional_text(a.status)),
               log::field("content_rect_points", rect_text(a.bounding_rect)),
               log::field("content_scale", optional_text(a.content_scale)),
               log::field("scale_factor", optional_text(a.scale_factor)),
               log::field("screen_rect_points", rect_text(a.screen_rect)),
               log::field("image_buffer_is_null", !sample.image),
               log::field("status_attached", a.status.has_value()),
               log::field("content_rect_attached", a.bounding_rect.has_value()),
               log::field("content_scale_attached", a.content_scale.has_value()),
               log::field("scale_factor_attached", a.scale_factor.has_value()),
               log::field("screen_rect_attached", a.screen_rect.has_value()),
               log::field("pixel_width", width), log::field("pixel_height", height));
    if (cells_.is_window) {
      KIVO_INFO(kTarget, "SCK window sample metadata", log::field("callback_index", index),
                log::field("pixel_width", width), log::field("pixel_height", height),
                log::field("scale_factor", optional_text(a.scale_factor)),
                log::field("content_scale", optional_text(a.content_scale)),
                log::field("content_rect_points", rect_text(a.bounding_rect)),
                log::field("screen_rect_points", rect_text(a.screen_rect)));
    }
  }

  if (!sample.attachments.status) {
    KIVO_DEBUG(kTarget, "skipping SCK screen sample without frame status");
    return;
  }
  if (!status || !usable(*status)) {
    KIVO_DEBUG(kTarget, "skipping SCK screen sample with non-usable frame status",
               log::field("status", *sample.attachments.status));
    return;
  }
  if (!sample.image) return;

  ++counters.source_usable_frames;
  const RawFrameQueue::PushOutcome outcome = cells_.raw_frames->push(
      make_raw_frame(sample.attachments, std::move(*sample.image), sample.display_time));
  if (outcome.was_full) ++counters.raw_queue_overflows;
}

void StreamOutputDelegate::on_audio_sample(AudioSample sample) {
  if (!cells_.running->load() || !cells_.audio_enabled->load()) return;
  cells_.raw_audio->push(std::move(sample));
}

void StreamOutputDelegate::on_stopped_with_error(StreamError error) {
  KIVO_ERROR(kTarget, "SCK stream stopped with error", log::field("domain", error.domain),
             log::field("code", error.code), log::debug_field("description", error.description));
  cells_.counters->set_last_source_error(protocol::CaptureErrorRecord{
      .domain = error.domain,
      .code = error.code,
      .detail = error.description,
      .observed_unix_ms = clock_.unix_ms(),
  });
  cells_.stream_failed->store(true);
  cells_.running->store(false);
}

}  // namespace kivo::capture
