#include "kivo/x11/x11_screen_source_grabber.hpp"

#include <fmt/format.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "x11_screen_source_xcb.hpp"

namespace kivo::x11 {
namespace {

// One shared-memory buffer attached to the server. The mapping outlives the
// grabber while a PixelBuffer of it lives.
struct Segment {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  xcb_shm_seg_t id = 0;
  std::atomic<bool> in_use{false};

  ~Segment() {
    if (data != nullptr) ::munmap(data, size);
  }
};

// Marks its segment free again when the last PixelBuffer of it goes.
struct Lease {
  std::shared_ptr<Segment> segment;
  ~Lease() { segment->in_use.store(false); }
};

Result<std::shared_ptr<Segment>> attach_segment(xcb_connection_t* connection, std::size_t size) {
  const int fd = ::memfd_create("kivo-x11-capture", MFD_CLOEXEC);
  if (fd < 0) return fail(KivoError::io_errno(errno));
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int error = errno;
    ::close(fd);
    return fail(KivoError::io_errno(error));
  }
  void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    const int error = errno;
    ::close(fd);
    return fail(KivoError::io_errno(error));
  }
  auto segment = std::make_shared<Segment>();
  segment->data = static_cast<std::uint8_t*>(mapping);
  segment->size = size;
  segment->id = xcb_generate_id(connection);
  // xcb closes the descriptor once it has been sent.
  XcbReply<xcb_generic_error_t> error(
      xcb_request_check(connection, xcb_shm_attach_fd_checked(connection, segment->id, fd, 0)));
  if (error) {
    return fail(KivoError::unsupported(
        fmt::format("MIT-SHM attach failed with X error {}", error->error_code)));
  }
  return segment;
}

}  // namespace

struct X11ScreenGrabber::Pool {
  std::size_t capacity = 0;
  std::vector<std::shared_ptr<Segment>> segments;
};

X11ScreenGrabber::X11ScreenGrabber(xcb_connection_t* connection, int screen_number,
                                   std::size_t pool_size)
    : connection_(connection),
      screen_(screen_of(connection, screen_number)),
      pool_(std::make_unique<Pool>()) {
  pool_->capacity = pool_size == 0 ? 1 : pool_size;
}

Result<std::unique_ptr<X11ScreenGrabber>> X11ScreenGrabber::connect(const std::string& display_name,
                                                                    std::size_t pool_size) {
  int screen_number = 0;
  auto connection = connect_display(display_name, &screen_number);
  if (!connection) return fail(std::move(connection).error());
  xcb_connection_t* c = connection->get();
  xcb_screen_t* screen = screen_of(c, screen_number);
  if (screen == nullptr) return fail(KivoError::unsupported("X screen not found"));

  bool bpp32 = false;
  const xcb_setup_t* setup = xcb_get_setup(c);
  for (xcb_format_iterator_t it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0;
       xcb_format_next(&it)) {
    if (it.data->depth == screen->root_depth) bpp32 = it.data->bits_per_pixel == 32;
  }
  if (!bpp32 || (screen->root_depth != 24 && screen->root_depth != 32)) {
    return fail(KivoError::unsupported(
        fmt::format("X screen of depth {} without 32 bits per pixel", screen->root_depth)));
  }

  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
  XcbReply<xcb_shm_query_version_reply_t> version;
  if (shm != nullptr && shm->present != 0) {
    version.reset(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  }
  if (!version || (version->major_version == 1 && version->minor_version < 2)) {
    return fail(KivoError::unsupported("MIT-SHM 1.2"));
  }
  return std::unique_ptr<X11ScreenGrabber>(
      new X11ScreenGrabber(connection->release(), screen_number, pool_size));
}

X11ScreenGrabber::~X11ScreenGrabber() {
  if (xcb_connection_has_error(connection_) == 0) {
    for (const std::shared_ptr<Segment>& segment : pool_->segments) {
      xcb_shm_detach(connection_, segment->id);
    }
    xcb_flush(connection_);
  }
  pool_.reset();
  xcb_disconnect(connection_);
}

std::optional<capture::StreamError> X11ScreenGrabber::connection_error() const {
  return x11::connection_error(connection_);
}

Result<std::optional<capture::PixelBuffer>> X11ScreenGrabber::grab(std::int16_t x, std::int16_t y,
                                                                   std::uint16_t width,
                                                                   std::uint16_t height) {
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  const std::size_t size = stride * height;
  if (size == 0) return fail(KivoError::invalid_message("empty capture area"));

  // A free buffer large enough; else room for a new one; else replace a
  // free buffer that is too small (the area grew).
  std::shared_ptr<Segment> chosen;
  std::size_t replace = pool_->segments.size();
  for (std::size_t i = 0; i < pool_->segments.size(); ++i) {
    const std::shared_ptr<Segment>& segment = pool_->segments[i];
    if (segment->in_use.load()) continue;
    if (segment->size >= size) {
      chosen = segment;
      break;
    }
    replace = i;
  }
  if (!chosen) {
    if (pool_->segments.size() >= pool_->capacity && replace == pool_->segments.size()) {
      return std::optional<capture::PixelBuffer>();
    }
    auto fresh = attach_segment(connection_, size);
    if (!fresh) return fail(std::move(fresh).error());
    chosen = *fresh;
    if (pool_->segments.size() < pool_->capacity) {
      pool_->segments.push_back(chosen);
    } else {
      xcb_shm_detach(connection_, pool_->segments[replace]->id);
      pool_->segments[replace] = chosen;
    }
  }

  chosen->in_use.store(true);
  auto lease = std::make_shared<Lease>();
  lease->segment = chosen;
  xcb_generic_error_t* raw_error = nullptr;
  XcbReply<xcb_shm_get_image_reply_t> reply(
      xcb_shm_get_image_reply(connection_,
                              xcb_shm_get_image(connection_, screen_->root, x, y, width, height,
                                                ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, chosen->id, 0),
                              &raw_error));
  XcbReply<xcb_generic_error_t> error(raw_error);
  if (!reply) {
    if (const std::optional<capture::StreamError> lost = connection_error()) {
      return fail(KivoError::io(IoKind::kBrokenPipe, lost->description));
    }
    return fail(KivoError::invalid_message(
        fmt::format("MIT-SHM GetImage failed with X error {}", error ? error->error_code : 0)));
  }
  return std::optional<capture::PixelBuffer>(
      capture::PixelBuffer(std::move(lease), chosen->data, width, height, stride));
}

}  // namespace kivo::x11
