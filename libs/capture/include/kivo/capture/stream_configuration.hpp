// The stream configuration a capture asks for, built afresh for every setup
// and every change of the running stream.
#pragma once

#include <optional>

#include "kivo/capture/capture_target.hpp"
#include "kivo/capture/screen_source.hpp"
#include "kivo/protocol/capture_config.hpp"

namespace kivo::capture {

// The configured size (or the window plan's), one frame per 1/fps s at
// most, BGRA in sRGB with the BT.709 matrix, no cursor (it is reported on
// its own), a queue of 4, no scaling beyond aspect-preserving fit, best
// resolution, SDR, and mono 48 kHz audio without our own process when
// `captures_audio`.
StreamConfiguration make_stream_configuration(const protocol::CaptureConfig& config,
                                              bool captures_audio,
                                              const std::optional<WindowStreamPlan>& window_plan);

}  // namespace kivo::capture
