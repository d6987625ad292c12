#include "kivo/capture/capture_target.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kivo::capture {
namespace {

// floor(v) rounded down to even, at least 2; none for sizes out of range.
std::optional<std::uint32_t> even_size(double points) {
  if (!std::isfinite(points) || points < 2.0 ||
      points > static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
    return std::nullopt;
  }
  const auto whole = static_cast<std::uint32_t>(std::floor(points));
  return std::max<std::uint32_t>(whole & ~std::uint32_t{1}, 2);
}

}  // namespace

Result<WindowStreamPlan> whole_window_plan(const WindowDescriptor& window,
                                           const DisplayDescriptor&) {
  const std::optional<std::uint32_t> width = even_size(window.frame.size.width);
  const std::optional<std::uint32_t> height = even_size(window.frame.size.height);
  if (!width || !height) {
    return fail(KivoError::invalid_message("window capture source rect is invalid"));
  }
  return WindowStreamPlan{
      .source_rect = {{0.0, 0.0}, {static_cast<double>(*width), static_cast<double>(*height)}},
      .width = *width,
      .height = *height,
  };
}

Result<DisplayDescriptor> choose_display(const ShareableContent& content,
                                         std::optional<std::uint32_t> display_id,
                                         std::optional<std::uint32_t> main_display_id) {
  if (content.displays.empty()) {
    return fail(KivoError::invalid_message("screencapturekit returned no displays"));
  }
  const auto with_id = [&](std::uint32_t id) {
    return std::find_if(content.displays.begin(), content.displays.end(),
                        [id](const DisplayDescriptor& d) { return d.id == id; });
  };
  if (display_id) {
    const auto found = with_id(*display_id);
    if (found == content.displays.end()) {
      return fail(KivoError::invalid_message(fmt::format("display id {} not found", *display_id)));
    }
    return *found;
  }
  if (main_display_id) {
    const auto found = with_id(*main_display_id);
    if (found != content.displays.end()) return *found;
  }
  return content.displays.front();
}

Result<WindowDescriptor> find_window(const ShareableContent& content, std::uint32_t window_id) {
  const auto found =
      std::find_if(content.windows.begin(), content.windows.end(),
                   [window_id](const WindowDescriptor& w) { return w.id == window_id; });
  if (found == content.windows.end()) {
    return fail(KivoError::invalid_message(fmt::format("window id {:x} not found", window_id)));
  }
  return *found;
}

}  // namespace kivo::capture
