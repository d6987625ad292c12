// RawFrame: one usable screen sample as the capture worker takes it from the
// stream: the image and the metadata that says where its content lies.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "kivo/capture/bounded_queue.hpp"
#include "kivo/capture/pixel_buffer.hpp"
#include "kivo/capture/screen_source.hpp"
#include "kivo/protocol/capture_geometry.hpp"

namespace kivo::capture {

struct RawFrame {
  // Where the content lies in the image, in points; only when usable.
  std::optional<protocol::Rect> bounding_rect{};
  // True when the bounding rectangle and the scale factor were both usable
  // and their product is finite with a positive size.
  bool content_rect_valid = false;
  // bounding rectangle × scale factor, in pixels; meaningful when valid.
  protocol::Rect content_rect{};
  std::optional<protocol::Rect> screen_rect{};
  std::optional<double> scale_factor{};
  std::optional<double> content_scale{};
  PixelBuffer pixel_buffer;
  std::chrono::steady_clock::time_point presentation_time{};
  // The image size; both 0 when either is 0.
  std::uint64_t pixel_width = 0;
  std::uint64_t pixel_height = 0;
};

// Newest frames win: the worker takes the freshest of at most four.
inline constexpr std::size_t kRawFrameQueueLimit = 4;
using RawFrameQueue = BoundedQueue<RawFrame>;

// Audio waits for its encoder in a queue of its own.
inline constexpr std::size_t kRawAudioQueueLimit = 24;
using RawAudioQueue = BoundedQueue<AudioSample>;

// A rectangle attachment is usable when x, y and width are finite, the
// width is positive and the height is positive (and so finite).
std::optional<protocol::Rect> usable_rect(const std::optional<protocol::Rect>& rect);

// A scale attachment is usable when positive and finite.
std::optional<double> usable_scale(std::optional<double> scale);

// The record of a sample whose status made it usable.
RawFrame make_raw_frame(const FrameAttachments& attachments, PixelBuffer image,
                        std::chrono::steady_clock::time_point presentation_time);

}  // namespace kivo::capture
