#include "kivo/capture/stream_configuration.hpp"

namespace kivo::capture {

StreamConfiguration make_stream_configuration(const protocol::CaptureConfig& config,
                                              bool captures_audio,
                                              const std::optional<WindowStreamPlan>& window_plan) {
  StreamConfiguration out;
  out.width = window_plan ? window_plan->width : config.width;
  out.height = window_plan ? window_plan->height : config.height;
  if (window_plan) out.source_rect = window_plan->source_rect;
  // An fps of 0 never passes validation; it would mean "no minimum" here.
  out.minimum_frame_interval = config.fps == 0
                                   ? std::chrono::nanoseconds(0)
                                   : std::chrono::nanoseconds(1'000'000'000LL / config.fps);
  out.pixel_format = PixelFormat::kBgra;
  out.color_matrix = ColorMatrix::kItuR709_2;
  out.color_space = ColorSpace::kSrgb;
  out.shows_cursor = false;
  out.queue_depth = 4;
  out.captures_audio = captures_audio;
  out.scales_to_fit = false;
  out.preserves_aspect_ratio = true;
  out.capture_resolution = CaptureResolution::kBest;
  out.sample_rate = 48'000;
  out.channel_count = 1;
  out.excludes_current_process_audio = true;
  out.dynamic_range = DynamicRange::kSdr;
  return out;
}

}  // namespace kivo::capture
