// X11ScreenSource: the ScreenSource of an X11 desktop, through xcb only.
//
// Displays are the RandR outputs that drive a CRTC, the primary output first
// (it is the main display); a display's id is its output id. A server
// without usable RandR shows one display, id 0, covering the whole screen.
// Windows are the EWMH client list (_NET_CLIENT_LIST) with _NET_WM_NAME (or
// WM_NAME) and _NET_WM_PID; the client list holds no desktop windows, so the
// option to exclude them changes nothing.
//
// A stream copies its area of the root window with MIT-SHM GetImage into a
// small pool of shared-memory buffers and uses DAMAGE for the frame status:
// a frame with damage in the area is complete; without damage an idle frame
// re-sends the last image about once a second. Frames come no more often
// than the configured minimum frame interval. A window stream crops the
// root image to the window's frame (so overlapping windows show). The
// stream delivers the native size of its area: width, height, scaling and
// the optional properties of the configuration are ignored, and it never
// delivers audio (an audio output can be added and stays silent). A lost
// connection to the server stops the stream with an error of domain "X11".
//
// Every thread that talks to the server opens its own connection; Xlib is
// never used (its default I/O error handler would end the process).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivo/capture/screen_source.hpp"

namespace kivo::x11 {

class X11ScreenSource final : public capture::ScreenSource {
 public:
  struct Options {
    // As for xcb_connect; empty means $DISPLAY.
    std::string display_name;
    // How often a still screen is sent again as an idle frame.
    std::chrono::milliseconds idle_interval{1'000};
  };

  // Connects only when asked for something.
  explicit X11ScreenSource(Options options);
  explicit X11ScreenSource(std::string display_name = {})
      : X11ScreenSource(Options{std::move(display_name), std::chrono::milliseconds(1'000)}) {}
  // Joins the content requests still running.
  ~X11ScreenSource() override;

  // Lists on a thread of its own ("kivo-x11-list") and completes from it;
  // a server that cannot be reached completes with an error.
  void get_shareable_content(const capture::ShareableContentOptions& options,
                             ContentCompletion done) override;

  // The primary RandR output, or the first active one; empty when the server
  // cannot be reached. Blocks for a few round trips on the calling thread.
  std::optional<std::uint32_t> main_display_id() override;

  // The stream runs on its own thread ("kivo-x11-screen") with its own
  // connection, opened by start_capture.
  Result<std::unique_ptr<capture::ScreenStream>> create_stream(
      const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
      std::shared_ptr<capture::StreamOutput> output) override;

 private:
  struct Request {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  const Options options_;
  std::mutex mutex_;
  std::vector<Request> requests_;
};

}  // namespace kivo::x11
