#include "kivo/capture/frame_geometry.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "kivo/core/log.hpp"
#include "kivo/protocol/coordinate_domain.hpp"
#include "kivo/protocol/epoch.hpp"

namespace kivo::capture {
namespace {

using protocol::CaptureGeometry;
using protocol::Rect;
using protocol::Size;

constexpr std::string_view kTarget = "kivo_capture";
// Absorbs the error of a value that should be whole but was computed in
// floating point (1919.9999999 pixels is 1920).
constexpr double kWholeSlack = 0.000001;
// How far a frame's screen rectangle may stray from the window calibration.
constexpr double kWindowSlack = 1.0;
constexpr double kHysteresis = 0.5;

bool finite(double v) {
  return std::isfinite(v);
}
bool positive(double v) {
  return std::isfinite(v) && v > 0.0;
}

// Usable as an area: finite origin and width, a width above 0 and a
// positive height.
bool usable(const Rect& r) {
  return finite(r.origin.x) && finite(r.origin.y) && finite(r.size.width) && r.size.width > 0.0 &&
         positive(r.size.height);
}

bool fits(const Rect& r, double surface_width, double surface_height) {
  return usable(r) && r.origin.x >= 0.0 && r.origin.y >= 0.0 &&
         r.origin.x + r.size.width <= surface_width && r.origin.y + r.size.height <= surface_height;
}

bool near(double a, double b) {
  return std::fabs(a - b) <= kWindowSlack;
}

std::string rect_text(const Rect& r) {
  return fmt::format("({}, {}, {}, {})", r.origin.x, r.origin.y, r.size.width, r.size.height);
}

std::string size_text(double width, double height) {
  return fmt::format("({}, {})", width, height);
}

// Window surfaces are encoded at even sizes, at least 2.
double even_window_dimension(double v) {
  if (!std::isnormal(v) || v <= 0.0) return v;
  return std::max(2.0 * std::floor(std::floor(v) * 0.5), 2.0);
}

std::optional<std::int64_t> surface_integer(double v) {
  return checked_i64(std::floor(v + kWholeSlack));
}

std::optional<std::int64_t> bounds_integer(double v) {
  return checked_i64(v >= 0.0 ? std::floor(v + kWholeSlack) : std::ceil(v - kWholeSlack));
}

std::optional<FrameGeometryTracker::TargetKey> make_target_key(
    const protocol::CaptureConfig& config, double sw, double sh, const Rect& bounds,
    std::uint32_t display_id) {
  const auto width = surface_integer(sw);
  const auto height = surface_integer(sh);
  const auto x = bounds_integer(bounds.origin.x);
  const auto y = bounds_integer(bounds.origin.y);
  const auto bounds_width = bounds_integer(bounds.size.width);
  const auto bounds_height = bounds_integer(bounds.size.height);
  if (!width || !height || !x || !y || !bounds_width || !bounds_height) return std::nullopt;
  return FrameGeometryTracker::TargetKey{config.window_id, *width,         *height,   *x, *y,
                                         *bounds_width,    *bounds_height, display_id};
}

// A frame's screen rectangle checked against the window calibration: it may
// describe the captured area itself or the whole window around it. A result
// that sits exactly at the relative source origin is believed only when the
// captured area really lies there in global coordinates; otherwise it is a
// relative rectangle passed off as a global one.
std::optional<Rect> window_screen_rect(const Rect& s, const WindowCalibration& calibration) {
  const Rect& a = calibration.source_rect_points;
  const Rect& b = calibration.capture_bounds_points;
  if (!usable(s) || !usable(a) || !usable(b)) return std::nullopt;
  const auto at_source_origin_checked = [&](const Rect& candidate) -> std::optional<Rect> {
    if (near(candidate.origin.x, a.origin.x) && near(candidate.origin.y, a.origin.y)) {
      if (!near(candidate.origin.x, b.origin.x) || !near(candidate.origin.y, b.origin.y)) {
        return std::nullopt;
      }
    }
    return candidate;
  };
  if (near(s.size.width, a.size.width) && near(s.size.height, a.size.height)) {
    return at_source_origin_checked(s);
  }
  if (a.origin.x < 0.0 || a.origin.y < 0.0) return std::nullopt;
  const double dx = s.size.width - a.origin.x - a.size.width;
  const double dy = s.size.height - a.origin.y - a.size.height;
  if (dx > a.origin.x + kWindowSlack || dy > a.origin.y + kWindowSlack || dx < -kWindowSlack ||
      dy < -kWindowSlack) {
    return std::nullopt;
  }
  return at_source_origin_checked(Rect{{s.origin.x + a.origin.x, s.origin.y + a.origin.y}, a.size});
}

// The display bounds fitted into the surface, aspect ratio kept, centred.
Rect aspect_fit(const Rect& bounds, double sw, double sh) {
  const double scale = std::min(sw / bounds.size.width, sh / bounds.size.height);
  const double width = bounds.size.width * scale;
  const double height = bounds.size.height * scale;
  return Rect{{(sw - width) * 0.5, (sh - height) * 0.5}, {width, height}};
}

double held(double value, double published) {
  return std::fabs(value - published) < kHysteresis ? published : value;
}

}  // namespace

std::optional<std::int64_t> checked_i64(double whole) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(whole >= -kTwoTo63 && whole < kTwoTo63)) return std::nullopt;
  return static_cast<std::int64_t>(whole);
}

std::optional<CaptureGeometry> GeometryCell::get() const {
  std::lock_guard lock(mutex_);
  return geometry_;
}

void GeometryCell::clear() {
  std::lock_guard lock(mutex_);
  geometry_.reset();
}

std::uint64_t GeometryCell::publish(CaptureGeometry geometry, bool changed) {
  std::lock_guard lock(mutex_);
  if (changed) {
    geometry.epoch = protocol::next_epoch(epoch_counter_.load());
    epoch_counter_.store(geometry.epoch);
  } else {
    geometry.epoch = geometry_ ? geometry_->epoch : epoch_counter_.load();
  }
  geometry_ = geometry;
  return geometry.epoch;
}

void FrameGeometryTracker::forget_target() {
  target_key_.reset();
  last_good_screen_rect_.reset();
  last_good_content_rect_.reset();
}

void FrameGeometryTracker::process_frame(const FrameMetadata& frame, const GeometryTarget& target,
                                         const protocol::CaptureConfig& config,
                                         std::uint64_t reconfigure_generation, GeometryCell& cell) {
  const bool is_window = target.window.has_value();

  // The encoded surface.
  double sw = 0.0;
  double sh = 0.0;
  if (frame.pixel_width != 0 && frame.pixel_height != 0) {
    sw = static_cast<double>(frame.pixel_width);
    sh = static_cast<double>(frame.pixel_height);
  } else {
    KIVO_DEBUG(kTarget, "SCK pixel buffer size unavailable; using configured surface size",
               log::field("frame_width_px", frame.pixel_width),
               log::field("frame_height_px", frame.pixel_height),
               log::field("config_width", config.width),
               log::field("config_height", config.height));
    sw = config.width;
    sh = config.height;
  }
  if (is_window) {
    sw = even_window_dimension(sw);
    sh = even_window_dimension(sh);
  }
  if (!positive(sw) || !positive(sh)) return cell.clear();

  // A new target invalidates what earlier frames taught.
  const Rect& bounds =
      is_window ? target.window->capture_bounds_points : target.display_bounds_points;
  const std::optional<TargetKey> key = make_target_key(config, sw, sh, bounds, target.display_id);
  if (!key) return cell.clear();
  if (target_key_ != key) {
    target_key_ = key;
    last_good_screen_rect_.reset();
    last_good_content_rect_.reset();
  }

  // The display bounds to publish.
  std::optional<Rect> screen;
  if (frame.screen_rect_points) {
    if (is_window) {
      screen = window_screen_rect(*frame.screen_rect_points, *target.window);
    } else if (usable(*frame.screen_rect_points)) {
      screen = frame.screen_rect_points;
    }
  }
  if (screen) {
    last_good_screen_rect_ = screen;
  } else if (last_good_screen_rect_) {
    screen = last_good_screen_rect_;
    KIVO_DEBUG(kTarget,
               "SCK screen rect attachment missing or unusable; using last known good value",
               log::field("bounds", rect_text(*screen)));
  } else {
    screen = bounds;
    KIVO_DEBUG(kTarget, "SCK screen rect attachment missing or unusable; using target fallback",
               log::field("fallback", rect_text(*screen)));
  }
  if (!usable(*screen)) return cell.clear();

  // The content rectangle inside the surface.
  const Rect fallback = is_window ? Rect{{0.0, 0.0}, {sw, sh}} : aspect_fit(*screen, sw, sh);
  Rect content;
  if (frame.content_rect_px) {
    if (fits(*frame.content_rect_px, sw, sh)) {
      content = *frame.content_rect_px;
      last_good_content_rect_ = content;
    } else {
      KIVO_DEBUG(kTarget, "SCK content rect attachment outside surface; using target fallback",
                 log::field("rect", rect_text(*frame.content_rect_px)),
                 log::field("surface_size_px", size_text(sw, sh)));
      content = fallback;
    }
  } else if (last_good_content_rect_ && fits(*last_good_content_rect_, sw, sh)) {
    content = *last_good_content_rect_;
    KIVO_DEBUG(kTarget, "SCK content rect attachment missing; using last known good value",
               log::field("rect", rect_text(content)),
               log::field("surface_size_px", size_text(sw, sh)));
  } else {
    KIVO_DEBUG(kTarget, "SCK content rect attachment missing; using target fallback",
               log::field("display_bounds_points", rect_text(*screen)),
               log::field("surface_size_px", size_text(sw, sh)));
    content = fallback;
  }

  // Sub-unit jitter against what the current epoch stands for.
  Size surface{sw, sh};
  Size bounds_size = screen->size;
  if (published_key_) {
    if (!finite(published_key_->surface.width) || !finite(published_key_->surface.height)) {
      return cell.clear();
    }
    surface = {held(sw, published_key_->surface.width), held(sh, published_key_->surface.height)};
  }
  const std::optional<Rect> steady_content =
      protocol::normalize_coordinate_domain_rect_with_hysteresis(
          published_key_ ? std::optional<Rect>(published_key_->content_rect) : std::nullopt,
          content);
  if (!steady_content) return cell.clear();
  if (published_key_) {
    if (!finite(published_key_->bounds_size.width) || !finite(published_key_->bounds_size.height)) {
      return cell.clear();
    }
    bounds_size = {held(bounds_size.width, published_key_->bounds_size.width),
                   held(bounds_size.height, published_key_->bounds_size.height)};
  }

  const PublishedKey published{config.window_id, surface, *steady_content, bounds_size,
                               target.display_id};
  const bool changed = published_key_ != published;
  if (changed) published_key_ = published;

  CaptureGeometry geometry;
  geometry.reconfigure_generation = reconfigure_generation;
  geometry.display_id = target.display_id;
  geometry.display_bounds_points = *screen;
  geometry.surface_size_px = Size{sw, sh};
  geometry.content_rect_px = content;
  cell.publish(geometry, changed);

  // Logged at INFO only when the epoch moves; every frame passes here.
  const log::Level level = changed ? log::Level::kInfo : log::Level::kTrace;
  if (log::enabled(level, kTarget)) {
    log::write(
        level, kTarget, "published content rect",
        {log::field("reconfigure_generation", reconfigure_generation),
         log::field("is_window", is_window), log::field("content_rect_px", rect_text(content)),
         log::field("display_bounds_points", rect_text(*screen)),
         log::field("surface_size_px", size_text(sw, sh))});
  }
}

}  // namespace kivo::capture
