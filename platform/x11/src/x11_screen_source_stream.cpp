#include "x11_screen_source_stream.hpp"

#include <fmt/format.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>

#include "kivo/core/log.hpp"
#include "kivo/x11/x11_screen_source_grabber.hpp"
#include "x11_screen_source_xcb.hpp"

namespace kivo::x11 {
namespace {

using Clock = std::chrono::steady_clock;
using capture::StreamError;

constexpr std::string_view kTarget = "kivo_capture";
// Buffers beyond the stream's queue depth: one being filled, one kept as
// the last image.
constexpr std::size_t kSpareBuffers = 2;
constexpr std::chrono::milliseconds kRetryInterval{10};

StreamError x11_error(std::int64_t code, std::string description) {
  return StreamError{"X11", code, std::move(description)};
}

// Sets up DAMAGE on the root window; its changes are reported as events.
struct DamageWatch {
  xcb_damage_damage_t damage = 0;
  xcb_xfixes_region_t region = 0;
  std::uint8_t notify_event = 0;
};

Result<DamageWatch> watch_damage(xcb_connection_t* c, xcb_window_t root) {
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(c, &xcb_damage_id);
  if (xfixes == nullptr || xfixes->present == 0 || damage == nullptr || damage->present == 0) {
    return fail(KivoError::unsupported("X DAMAGE and XFIXES"));
  }
  XcbReply<xcb_xfixes_query_version_reply_t> xfixes_version(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  XcbReply<xcb_damage_query_version_reply_t> damage_version(
      xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  if (!xfixes_version || !damage_version) return fail(KivoError::unsupported("X DAMAGE 1.1"));

  DamageWatch watch;
  watch.damage = xcb_generate_id(c);
  watch.region = xcb_generate_id(c);
  watch.notify_event = static_cast<std::uint8_t>(damage->first_event + XCB_DAMAGE_NOTIFY);
  const xcb_void_cookie_t created =
      xcb_damage_create_checked(c, watch.damage, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  const xcb_void_cookie_t region = xcb_xfixes_create_region_checked(c, watch.region, 0, nullptr);
  XcbReply<xcb_generic_error_t> created_error(xcb_request_check(c, created));
  XcbReply<xcb_generic_error_t> region_error(xcb_request_check(c, region));
  if (created_error || region_error) {
    return fail(KivoError::unsupported("X DAMAGE on the root window"));
  }
  return watch;
}

// Takes the damage accumulated so far and says whether any of it lies in
// `area`.
bool take_damage(xcb_connection_t* c, const DamageWatch& watch, const RootArea& area) {
  xcb_damage_subtract(c, watch.damage, XCB_NONE, watch.region);
  XcbReply<xcb_xfixes_fetch_region_reply_t> parts(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, watch.region), nullptr));
  if (!parts) return true;
  const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(parts.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(parts.get());
  for (int i = 0; i < count; ++i) {
    const RootArea part{rects[i].x, rects[i].y, rects[i].width, rects[i].height};
    if (!intersect(part, area).empty()) return true;
  }
  return false;
}

int poll_timeout_ms(Clock::duration wait) {
  if (wait <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  return static_cast<int>(std::min<std::int64_t>(ms, 1'000));
}

}  // namespace

X11ScreenStream::X11ScreenStream(std::string display_name, std::chrono::milliseconds idle_interval,
                                 capture::ContentFilter filter,
                                 capture::StreamConfiguration configuration,
                                 std::shared_ptr<capture::StreamOutput> output)
    : display_name_(std::move(display_name)),
      idle_interval_(idle_interval <= std::chrono::milliseconds(0) ? std::chrono::milliseconds(1)
                                                                   : idle_interval),
      filter_(filter),
      output_(std::move(output)),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      configuration_(std::move(configuration)) {}

X11ScreenStream::~X11ScreenStream() {
  {
    std::lock_guard guard(mutex_);
    stop_requested_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void X11ScreenStream::wake() {
  if (wake_fd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
}

Result<void> X11ScreenStream::add_output(capture::OutputType type) {
  std::lock_guard guard(mutex_);
  (type == capture::OutputType::kScreen ? screen_output_ : audio_output_) = true;
  return ok();
}

Result<void> X11ScreenStream::remove_output(capture::OutputType type) {
  std::lock_guard guard(mutex_);
  (type == capture::OutputType::kScreen ? screen_output_ : audio_output_) = false;
  return ok();
}

void X11ScreenStream::start_capture(capture::Completion done) {
  std::unique_lock lock(mutex_);
  if (state_ != State::kIdle || wake_fd_ < 0) {
    lock.unlock();
    done(x11_error(0, "the stream cannot be started again"));
    return;
  }
  state_ = State::kRunning;
  thread_ = std::thread([this, done = std::move(done)]() mutable { run(std::move(done)); });
}

void X11ScreenStream::stop_capture(capture::Completion done) {
  std::unique_lock lock(mutex_);
  if (state_ != State::kRunning || stop_requested_) {
    lock.unlock();
    done(x11_error(0, "the stream is not running"));
    return;
  }
  stop_requested_ = true;
  stop_done_ = std::move(done);
  lock.unlock();
  wake();
}

void X11ScreenStream::update_configuration(const capture::StreamConfiguration& configuration,
                                           capture::Completion done) {
  std::unique_lock lock(mutex_);
  if (state_ != State::kRunning || stop_requested_) {
    lock.unlock();
    done(x11_error(0, "the stream is not running"));
    return;
  }
  configuration_ = configuration;
  update_pending_ = true;
  // A newer update supersedes an unapplied one; its requester hears success,
  // as the newer values include its own.
  std::optional<capture::Completion> superseded = std::move(pending_update_done_);
  pending_update_done_ = std::move(done);
  lock.unlock();
  if (superseded) (*superseded)(std::nullopt);
  wake();
}

void X11ScreenStream::wait_for_callbacks() {
  std::lock_guard callback(callback_mutex_);
}

// The capture thread's state, on its own connection.
class X11ScreenStream::Capture {
 public:
  Capture(X11ScreenStream& stream, X11ScreenGrabber& grabber, DamageWatch watch)
      : stream_(stream), grabber_(grabber), c_(grabber.connection()), watch_(watch) {}

  ~Capture() {
    if (xcb_connection_has_error(c_) == 0) {
      xcb_damage_destroy(c_, watch_.damage);
      xcb_xfixes_destroy_region(c_, watch_.region);
      xcb_flush(c_);
    }
  }

  // The recorded area now; a stream error when the target is gone.
  Expected<RootArea, StreamError> resolve_area(const capture::StreamConfiguration& configuration) {
    const RootArea root = root_area(c_, grabber_.screen());
    const capture::ContentFilter& filter = stream_.filter_;
    if (filter.kind == capture::ContentFilter::Kind::kDisplay) {
      const std::optional<RootArea> display = display_area(c_, grabber_.screen(), filter.id);
      if (!display) return fail(x11_error(0, fmt::format("display {} is gone", filter.id)));
      return intersect(*display, root);
    }
    std::optional<RootArea> window = window_area(c_, grabber_.screen(), filter.id);
    if (!window) return fail(x11_error(XCB_WINDOW, fmt::format("window {:x} is gone", filter.id)));
    if (configuration.source_rect) {
      const protocol::Rect& s = *configuration.source_rect;
      *window = intersect(*window, RootArea{window->x + static_cast<std::int32_t>(s.origin.x),
                                            window->y + static_cast<std::int32_t>(s.origin.y),
                                            static_cast<std::int32_t>(s.size.width),
                                            static_cast<std::int32_t>(s.size.height)});
    }
    return intersect(*window, root);
  }

  // Runs until a stop is requested (empty) or the stream fails.
  std::optional<StreamError> loop() {
    capture::StreamConfiguration configuration = current_configuration();
    bool damage_seen = false;
    bool dirty = true;  // the first frame is always complete
    std::optional<RootArea> area;
    std::optional<capture::PixelBuffer> last_image;
    Clock::time_point last_delivery{};
    Clock::time_point next_allowed = Clock::now();
    // With nothing drawn, the last image is sent again now and then, so that
    // the consumer can tell a still screen from a dead stream.

    const int xcb_fd = xcb_get_file_descriptor(c_);
    while (true) {
      while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c_)}) {
        if ((event->response_type & 0x7f) == watch_.notify_event) damage_seen = true;
      }
      if (std::optional<StreamError> lost = grabber_.connection_error()) return lost;
      if (take_control(configuration)) return std::nullopt;

      const Clock::time_point now = Clock::now();
      const bool idle_due = last_image && now - last_delivery >= stream_.idle_interval_;
      if (now >= next_allowed && (damage_seen || dirty || idle_due)) {
        auto resolved = resolve_area(configuration);
        if (!resolved) return std::move(resolved).error();
        if (area != *resolved) dirty = true;
        area = *resolved;
        if (damage_seen) {
          damage_seen = false;
          if (take_damage(c_, watch_, *area)) dirty = true;
        }
        if (dirty && !area->empty()) {
          auto grabbed = grabber_.grab(
              static_cast<std::int16_t>(area->x), static_cast<std::int16_t>(area->y),
              static_cast<std::uint16_t>(area->width), static_cast<std::uint16_t>(area->height));
          if (std::optional<StreamError> lost = grabber_.connection_error()) return lost;
          if (!grabbed) {
            KIVO_DEBUG(kTarget, "X11 screen grab failed", log::field("error", grabbed.error()));
          } else if (*grabbed) {
            dirty = false;
            last_image = **grabbed;
            deliver(capture::FrameStatus::kComplete, *last_image, *area, now);
            last_delivery = now;
            next_allowed = now + configuration.minimum_frame_interval;
          }
        } else if (last_image && now - last_delivery >= stream_.idle_interval_) {
          deliver(capture::FrameStatus::kIdle, *last_image, *area, now);
          last_delivery = now;
          next_allowed = now + configuration.minimum_frame_interval;
        }
        // Nothing to grab yet (every buffer held downstream, an area off
        // screen, a failed grab): try again later rather than spin.
        if (dirty)
          next_allowed =
              now + std::max<Clock::duration>(configuration.minimum_frame_interval, kRetryInterval);
      }

      Clock::duration wait = stream_.idle_interval_;
      if (damage_seen || dirty) {
        wait = next_allowed - Clock::now();
      } else if (last_image) {
        wait = std::max(last_delivery + stream_.idle_interval_, next_allowed) - Clock::now();
      }
      // Events read along with replies wait in xcb's queue, not the socket.
      if (XcbReply<xcb_generic_event_t> queued{xcb_poll_for_queued_event(c_)}) {
        if ((queued->response_type & 0x7f) == watch_.notify_event) damage_seen = true;
        continue;
      }
      pollfd fds[2] = {{xcb_fd, POLLIN, 0}, {stream_.wake_fd_, POLLIN, 0}};
      const int ready = ::poll(fds, 2, poll_timeout_ms(wait));
      if (ready < 0 && errno != EINTR) {
        return x11_error(errno, "poll on the X connection failed");
      }
      if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(stream_.wake_fd_, &count, sizeof count);
      }
    }
  }

 private:
  capture::StreamConfiguration current_configuration() {
    std::lock_guard guard(stream_.mutex_);
    return stream_.configuration_;
  }

  // Applies a pending update; true when a stop is requested.
  bool take_control(capture::StreamConfiguration& configuration) {
    std::optional<capture::Completion> done;
    bool stop = false;
    {
      std::lock_guard guard(stream_.mutex_);
      stop = stream_.stop_requested_;
      if (stream_.update_pending_) {
        stream_.update_pending_ = false;
        configuration = stream_.configuration_;
        done = std::move(stream_.pending_update_done_);
        stream_.pending_update_done_.reset();
      }
    }
    if (done) (*done)(std::nullopt);
    return stop;
  }

  // `shown` is when the frame was taken, which the frame interval counts from.
  void deliver(capture::FrameStatus status, const capture::PixelBuffer& image, const RootArea& area,
               Clock::time_point shown) {
    capture::ScreenSample sample;
    sample.attachments.status = static_cast<std::int64_t>(status);
    sample.attachments.bounding_rect =
        protocol::Rect{{0, 0}, {static_cast<double>(area.width), static_cast<double>(area.height)}};
    sample.attachments.screen_rect =
        protocol::Rect{{static_cast<double>(area.x), static_cast<double>(area.y)},
                       {static_cast<double>(area.width), static_cast<double>(area.height)}};
    sample.attachments.scale_factor = 1.0;
    sample.attachments.content_scale = 1.0;
    sample.image = image;
    sample.display_time = shown;
    std::lock_guard callback(stream_.callback_mutex_);
    {
      std::lock_guard guard(stream_.mutex_);
      if (!stream_.screen_output_) return;
    }
    stream_.output_->on_screen_sample(std::move(sample));
  }

  X11ScreenStream& stream_;
  X11ScreenGrabber& grabber_;
  xcb_connection_t* const c_;
  const DamageWatch watch_;
};

void X11ScreenStream::run(capture::Completion start_done) {
  ::pthread_setname_np(::pthread_self(), "kivo-x11-screen");
  std::optional<StreamError> failure;
  {
    std::size_t pool_size = kSpareBuffers;
    {
      std::lock_guard guard(mutex_);
      pool_size += std::max<std::uint32_t>(configuration_.queue_depth, 1);
    }
    auto grabber = X11ScreenGrabber::connect(display_name_, pool_size);
    auto watch = grabber ? watch_damage((*grabber)->connection(), (*grabber)->root())
                         : Result<DamageWatch>(fail(grabber.error()));
    if (!watch) {
      start_done(x11_error(0, watch.error().display()));
      std::lock_guard guard(mutex_);
      state_ = State::kEnded;
      return;
    }
    Capture capture(*this, **grabber, *watch);
    std::optional<StreamError> unusable;
    {
      capture::StreamConfiguration configuration;
      {
        std::lock_guard guard(mutex_);
        configuration = configuration_;
      }
      auto area = capture.resolve_area(configuration);
      if (!area) unusable = std::move(area).error();
    }
    start_done(unusable);
    if (unusable) {
      std::lock_guard guard(mutex_);
      state_ = State::kEnded;
      return;
    }
    failure = capture.loop();
  }

  // The connection is closed; what remains is telling who waits.
  if (failure) {
    KIVO_WARN(kTarget, "X11 screen stream ended", log::field("code", failure->code),
              log::debug_field("description", failure->description));
    std::lock_guard callback(callback_mutex_);
    output_->on_stopped_with_error(*failure);
  }
  std::optional<capture::Completion> stop_done;
  std::optional<capture::Completion> update_done;
  {
    std::lock_guard guard(mutex_);
    state_ = State::kEnded;
    stop_done = std::move(stop_done_);
    stop_done_.reset();
    update_done = std::move(pending_update_done_);
    pending_update_done_.reset();
  }
  if (update_done) (*update_done)(x11_error(0, "the stream is not running"));
  if (stop_done) {
    (*stop_done)(failure ? std::optional<StreamError>(x11_error(0, "the stream is not running"))
                         : std::nullopt);
  }
}

}  // namespace kivo::x11
