#include <mutex>

#include "kivo/capture/frame_geometry.hpp"
#include "kivo/capture/pipeline_geometry.hpp"

namespace kivo::capture {

struct PipelineGeometry::Impl {
  GeometryCell cell;
  // Only the worker of the current run touches the tracker; a new run
  // replaces it while no worker runs.
  std::mutex tracker_mutex;
  FrameGeometryTracker tracker;
};

PipelineGeometry::PipelineGeometry() : impl_(std::make_unique<Impl>()) {}
PipelineGeometry::~PipelineGeometry() = default;

std::optional<protocol::CaptureGeometry> PipelineGeometry::get() const {
  return impl_->cell.get();
}

void PipelineGeometry::clear() {
  impl_->cell.clear();
}

void PipelineGeometry::process_frame(const Frame& frame, const Target& target,
                                     const protocol::CaptureConfig& config,
                                     std::uint64_t reconfigure_generation) {
  GeometryTarget geometry_target{.display_id = target.display_id,
                                 .display_bounds_points = target.display_bounds_points,
                                 .window = std::nullopt};
  if (target.window_source_rect_points && target.window_capture_bounds_points) {
    geometry_target.window =
        WindowCalibration{.source_rect_points = *target.window_source_rect_points,
                          .capture_bounds_points = *target.window_capture_bounds_points};
  }
  std::lock_guard guard(impl_->tracker_mutex);
  impl_->tracker.process_frame(FrameMetadata{.pixel_width = frame.pixel_width,
                                             .pixel_height = frame.pixel_height,
                                             .content_rect_px = frame.content_rect_px,
                                             .screen_rect_points = frame.screen_rect_points},
                               geometry_target, config, reconfigure_generation, impl_->cell);
}

void PipelineGeometry::forget_target() {
  std::lock_guard guard(impl_->tracker_mutex);
  impl_->tracker.forget_target();
}

void PipelineGeometry::restart_tracking() {
  std::lock_guard guard(impl_->tracker_mutex);
  impl_->tracker = FrameGeometryTracker{};
}

}  // namespace kivo::capture
