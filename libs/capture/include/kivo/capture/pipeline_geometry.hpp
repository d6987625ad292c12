// The capture worker's geometry step and the published geometry, behind a
// small interface: the pipeline knows its target as the capture stream
// describes it, and the geometry step knows it in its own terms.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "kivo/protocol/capture_config.hpp"
#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::capture {

// The geometry one pipeline publishes, and the tracker of the run that
// publishes it. Reading is safe from any thread; the other calls are the
// worker's.
class PipelineGeometry {
 public:
  struct Target {
    std::uint32_t display_id = 0;
    protocol::Rect display_bounds_points;
    // Window capture: the recorded area relative to the window, and in
    // global points.
    std::optional<protocol::Rect> window_source_rect_points;
    std::optional<protocol::Rect> window_capture_bounds_points;
  };
  struct Frame {
    std::uint64_t pixel_width = 0;
    std::uint64_t pixel_height = 0;
    std::optional<protocol::Rect> content_rect_px;
    std::optional<protocol::Rect> screen_rect_points;
  };

  PipelineGeometry();
  ~PipelineGeometry();
  PipelineGeometry(const PipelineGeometry&) = delete;
  PipelineGeometry& operator=(const PipelineGeometry&) = delete;

  std::optional<protocol::CaptureGeometry> get() const;
  void clear();

  // Publishes the geometry of `frame` (or empties it when it cannot be
  // told), stamped with `reconfigure_generation`.
  void process_frame(const Frame& frame, const Target& target,
                     const protocol::CaptureConfig& config, std::uint64_t reconfigure_generation);
  // A new run or an applied reconfiguration: the tracker forgets its
  // target; the epoch counter carries on.
  void forget_target();
  // A new run: the tracker starts afresh; the epoch counter carries on.
  void restart_tracking();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kivo::capture
