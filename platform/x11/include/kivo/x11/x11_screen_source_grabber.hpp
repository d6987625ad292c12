// X11ScreenGrabber: copies an area of the root window into a pooled
// shared-memory buffer with one MIT-SHM GetImage. The pool holds a fixed
// number of buffers; a buffer is in use while any PixelBuffer of it lives.
//
// Threading: one grabber per thread; the connection it opens is used by
// that thread only (the X11 stream also reads its events through it).
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kivo/capture/pixel_buffer.hpp"
#include "kivo/capture/screen_source.hpp"
#include "kivo/core/result.hpp"

namespace kivo::x11 {

class X11ScreenGrabber {
 public:
  // Connects to `display_name` (empty: $DISPLAY) and checks that the root
  // window has 32 bits per pixel and the server MIT-SHM 1.2.
  static Result<std::unique_ptr<X11ScreenGrabber>> connect(const std::string& display_name,
                                                           std::size_t pool_size);

  // Detaches the buffers and disconnects; buffers still held elsewhere stay
  // readable until released.
  ~X11ScreenGrabber();
  X11ScreenGrabber(const X11ScreenGrabber&) = delete;
  X11ScreenGrabber& operator=(const X11ScreenGrabber&) = delete;

  // The area (x, y, width, height, in root pixels) in a free buffer; empty
  // when every buffer is in use. The area must lie within the root window.
  Result<std::optional<capture::PixelBuffer>> grab(std::int16_t x, std::int16_t y,
                                                   std::uint16_t width, std::uint16_t height);

  xcb_connection_t* connection() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }

  // The connection's failure as a stream error; empty while it works.
  std::optional<capture::StreamError> connection_error() const;

 private:
  struct Pool;
  X11ScreenGrabber(xcb_connection_t* connection, int screen_number, std::size_t pool_size);

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  std::unique_ptr<Pool> pool_;
};

}  // namespace kivo::x11
