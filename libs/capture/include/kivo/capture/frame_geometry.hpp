// The capture worker's per-frame geometry step: from what a captured frame
// says about where its content lies, the geometry the pipeline publishes
// (display bounds in points, encoded surface and content rectangle in pixels)
// and its epoch.
//
// Frames often lack an attachment or carry one that is off by a fraction of a
// unit, while the service maps input with the geometry and refuses input
// computed against another epoch. So missing or unusable values fall back to
// remembered or derived ones, and the epoch moves only when the surface, the
// content rectangle or the bounds size moves by half a unit or more, or when
// the display or the window changes. The published values always describe
// the current frame exactly.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "kivo/protocol/capture_config.hpp"
#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::capture {

// What one captured frame says about its own geometry.
struct FrameMetadata {
  // Size of the frame's image in pixels; 0 when unknown.
  std::uint64_t pixel_width = 0;
  std::uint64_t pixel_height = 0;
  // Where the content lies in the image, in pixels; present only when the
  // source gave a readable rectangle and scale.
  std::optional<protocol::Rect> content_rect_px;
  // The screen area the frame shows, in global points.
  std::optional<protocol::Rect> screen_rect_points;
};

// Window capture's calibration, taken when the window stream is set up and
// renewed when it is re-calibrated.
struct WindowCalibration {
  // The captured area relative to the window's content, in points.
  protocol::Rect source_rect_points;
  // The captured area in global points.
  protocol::Rect capture_bounds_points;
};

// What is being captured, as the geometry step knows it for the current
// frame (the stream's own description is CaptureTarget, capture_target.hpp).
struct GeometryTarget {
  std::uint32_t display_id = 0;
  // The captured display's bounds in global points.
  protocol::Rect display_bounds_points;
  // Present exactly in window capture.
  std::optional<WindowCalibration> window;
};

// The pipeline's published geometry and its epoch counter. The worker writes
// it; any thread reads it. The counter never goes back during the life of the
// pipeline, so epochs keep increasing across reconfigurations and restarts.
class GeometryCell {
 public:
  std::optional<protocol::CaptureGeometry> get() const;
  void clear();
  std::uint64_t epoch_counter() const { return epoch_counter_.load(); }

  // Stores `geometry` with its epoch filled in and returns that epoch: the
  // next one when `changed`, otherwise the epoch of the geometry held (or
  // the counter's value when the cell is empty).
  std::uint64_t publish(protocol::CaptureGeometry geometry, bool changed);

 private:
  mutable std::mutex mutex_;
  std::optional<protocol::CaptureGeometry> geometry_;
  std::atomic<std::uint64_t> epoch_counter_{0};
};

// The worker's memory of earlier frames, for one capture run.
class FrameGeometryTracker {
 public:
  // Computes the geometry of `frame` and publishes it into `cell`, or empties
  // the cell when the frame's geometry cannot be determined (the frame is
  // still encoded).
  void process_frame(const FrameMetadata& frame, const GeometryTarget& target,
                     const protocol::CaptureConfig& config, std::uint64_t reconfigure_generation,
                     GeometryCell& cell);

  // Forgets the target and the remembered rectangles; called when a
  // reconfiguration is applied or the window is re-calibrated. What was last
  // published is kept, so an unchanged geometry keeps its epoch.
  void forget_target();

  // Surface size and bounds as whole numbers: a change of target is a change
  // of these, not of their sub-unit noise.
  struct TargetKey {
    std::optional<std::uint32_t> window_id;
    std::int64_t surface_width = 0;
    std::int64_t surface_height = 0;
    std::int64_t bounds_x = 0;
    std::int64_t bounds_y = 0;
    std::int64_t bounds_width = 0;
    std::int64_t bounds_height = 0;
    std::uint32_t display_id = 0;
    friend bool operator==(const TargetKey&, const TargetKey&) = default;
  };

  // What the current epoch stands for; the bounds origin takes no part.
  struct PublishedKey {
    std::optional<std::uint32_t> window_id;
    protocol::Size surface;
    protocol::Rect content_rect;
    protocol::Size bounds_size;
    std::uint32_t display_id = 0;
    friend bool operator==(const PublishedKey&, const PublishedKey&) = default;
  };

 private:
  std::optional<protocol::Rect> last_good_screen_rect_;
  std::optional<protocol::Rect> last_good_content_rect_;
  std::optional<TargetKey> target_key_;
  std::optional<PublishedKey> published_key_;
};

// A whole-numbered double as a 64-bit integer; none when it is not finite or
// lies outside [-2^63, 2^63), where the conversion would be undefined.
std::optional<std::int64_t> checked_i64(double whole);

}  // namespace kivo::capture
