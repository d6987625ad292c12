#include "kivo/x11/x11_screen_source.hpp"

#include <pthread.h>

#include "x11_screen_source_stream.hpp"
#include "x11_screen_source_xcb.hpp"

namespace kivo::x11 {

X11ScreenSource::X11ScreenSource(Options options) : options_(std::move(options)) {}

X11ScreenSource::~X11ScreenSource() {
  std::vector<Request> requests;
  {
    std::lock_guard guard(mutex_);
    requests.swap(requests_);
  }
  for (Request& request : requests) request.thread.join();
}

void X11ScreenSource::get_shareable_content(const capture::ShareableContentOptions& options,
                                            ContentCompletion done) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([display = options_.display_name, options, done = std::move(done), finished] {
    ::pthread_setname_np(::pthread_self(), "kivo-x11-list");
    int screen_number = 0;
    auto connection = connect_display(display, &screen_number);
    xcb_screen_t* screen = connection ? screen_of(connection->get(), screen_number) : nullptr;
    if (screen == nullptr) {
      done(nullptr,
           capture::StreamError{"X11", 0,
                                connection ? "X screen not found" : connection.error().display()});
      finished->store(true);
      return;
    }
    auto content = std::make_shared<capture::ShareableContent>();
    content->displays = list_displays(connection->get(), screen);
    content->windows = list_windows(connection->get(), screen, options.on_screen_windows_only);
    if (const std::optional<capture::StreamError> lost = connection_error(connection->get())) {
      done(nullptr, *lost);
    } else {
      done(std::move(content), std::nullopt);
    }
    finished->store(true);
  });

  std::vector<Request> ended;
  {
    std::lock_guard guard(mutex_);
    const auto still_running = std::partition(requests_.begin(), requests_.end(),
                                              [](const Request& r) { return !r.done->load(); });
    std::move(still_running, requests_.end(), std::back_inserter(ended));
    requests_.erase(still_running, requests_.end());
    requests_.push_back(Request{std::move(thread), std::move(finished)});
  }
  for (Request& request : ended) request.thread.join();
}

std::optional<std::uint32_t> X11ScreenSource::main_display_id() {
  int screen_number = 0;
  auto connection = connect_display(options_.display_name, &screen_number);
  if (!connection) return std::nullopt;
  xcb_screen_t* screen = screen_of(connection->get(), screen_number);
  if (screen == nullptr) return std::nullopt;
  return primary_display(connection->get(), screen);
}

Result<std::unique_ptr<capture::ScreenStream>> X11ScreenSource::create_stream(
    const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
    std::shared_ptr<capture::StreamOutput> output) {
  if (!output) return fail(KivoError::invalid_message("a stream needs an output"));
  return std::unique_ptr<capture::ScreenStream>(std::make_unique<X11ScreenStream>(
      options_.display_name, options_.idle_interval, filter, configuration, std::move(output)));
}

}  // namespace kivo::x11
