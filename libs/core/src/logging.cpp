#include "kivo/core/logging.hpp"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <new>
#include <system_error>
#include <thread>

#include "kivo/core/log_handler.hpp"
#include "log_panic.hpp"
#include "log_writer.hpp"

namespace kivo::log {
namespace {

namespace fs = std::filesystem;

// Formats each event on the calling thread and queues its line.
class FileLogHandler final : public LogHandler {
 public:
  FileLogHandler(LogSetup setup, std::shared_ptr<WriterState> state)
      : setup_(std::move(setup)), state_(std::move(state)) {}

  bool enabled(Level level, std::string_view target) const override {
    return setup_.filter.enabled(level, target);
  }

  void handle(const Event& event) override {
    LineBuffer line(*state_);
    line.text().reserve(256);
    append_line(line.text(), setup_.format.styled, setup_.format.clock(), event);
  }

 private:
  const LogSetup setup_;
  const std::shared_ptr<WriterState> state_;
};

// Linux allows 15 bytes; the full name fits. Named by the starter, so the
// name is there by the time init returns.
constexpr const char* kWriterThreadName = "kivo-log-writer";

}  // namespace

struct LoggingGuard::Impl {
  FileSink sink;
  std::shared_ptr<WriterState> state;
  std::thread writer;
  std::shared_ptr<FileLogHandler> handler;
  const PanicSink* panic_sink = nullptr;
};

Result<void> LogFileOptions::validate() const {
  if (cap == 0) return fail(KivoError::invalid_message("log cap must be greater than zero"));
  if (keep == 0) return fail(KivoError::invalid_message("log keep size must be greater than zero"));
  if (keep > cap) return fail(KivoError::invalid_message("log keep size must not exceed log cap"));
  if (queue == 0)
    return fail(KivoError::invalid_message("log queue size must be greater than zero"));
  return ok();
}

LogSetup LogSetup::from_environment() {
  return LogSetup{LogFilter::from_environment(), LineFormat::from_environment()};
}

Result<fs::path> normalize_log_path(const fs::path& path) {
  if (path.is_absolute()) return path;
  std::error_code error;
  fs::path current = fs::current_path(error);
  if (error) return fail(KivoError::io_errno(error.value()));
  return current / path;
}

TransactionLock transaction_lock_for_path(const fs::path& normalized) {
  // Never destroyed: a panic during static destruction may still look up its lock.
  static auto* table_mutex = new std::mutex;
  static auto* table = new std::map<fs::path, TransactionLock>;
  std::lock_guard lock(*table_mutex);
  TransactionLock& entry = (*table)[normalized];
  if (!entry) entry = std::make_shared<std::mutex>();
  return entry;
}

void report_internal_error(std::string_view text) {
  std::string line(text);
  std::replace(line.begin(), line.end(), '\0', ' ');
  ::syslog(LOG_ERR, "%s", line.c_str());
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

LoggingGuard::LoggingGuard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LoggingGuard::LoggingGuard(LoggingGuard&&) noexcept = default;

LoggingGuard& LoggingGuard::operator=(LoggingGuard&& other) noexcept {
  if (this != &other) {
    close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

LoggingGuard::~LoggingGuard() {
  close();
}

void LoggingGuard::close() {
  if (!impl_) return;
  // At exit another process's flock must not hold the agent up for ever:
  // past the bound, what is left is reported and dropped.
  limit_lock_wait(*impl_->state, impl_->sink.options().exit_lock_wait);
  (void)flush();
  (void)shutdown();
  (void)join();
  uninstall_handler(impl_->handler.get());
  unregister_panic_sink(impl_->panic_sink);
  impl_.reset();
}

Result<void> LoggingGuard::flush() {
  if (!impl_) return fail(KivoError::io(IoKind::kBrokenPipe, "log writer is shutting down"));
  return request_flush(*impl_->state);
}

Result<void> LoggingGuard::shutdown() {
  if (!impl_) return ok();
  return request_shutdown(*impl_->state);
}

Result<void> LoggingGuard::join() {
  if (!impl_ || !impl_->writer.joinable()) return ok();
  impl_->writer.join();
  std::lock_guard lock(impl_->state->mutex);
  if (impl_->state->aborted) {
    return fail(KivoError::invalid_message("log writer thread panicked"));
  }
  return ok();
}

const FileSink& LoggingGuard::sink() const {
  return impl_->sink;
}

Result<LoggingGuard> init_file_logging_with_options(const fs::path& path,
                                                    const LogFileOptions& options) {
  return init_file_logging_with_options(path, options, LogSetup::from_environment());
}

Result<LoggingGuard> init_file_logging_with_options(const fs::path& path,
                                                    const LogFileOptions& options, LogSetup setup) {
  KIVO_TRY(options.validate());
  auto normalized = normalize_log_path(path);
  if (!normalized) return fail(std::move(normalized).error());
  FileSink sink(*normalized, options, transaction_lock_for_path(*normalized));
  KIVO_TRY(sink.prepare());

  auto impl = std::make_unique<LoggingGuard::Impl>(LoggingGuard::Impl{sink, {}, {}, {}, {}});
  try {
    // The whole queue is allocated up front.
    impl->state = std::make_shared<WriterState>(options.queue);
  } catch (const std::bad_alloc&) {
    return fail(KivoError::io_errno(ENOMEM));
  }
  try {
    impl->writer = std::thread([sink, state = impl->state] { run_writer_thread(sink, *state); });
    pthread_setname_np(impl->writer.native_handle(), kWriterThreadName);
  } catch (const std::system_error& error) {
    return fail(KivoError::io_errno(error.code().value()));
  }

  impl->handler = std::make_shared<FileLogHandler>(std::move(setup), impl->state);
  if (auto installed = install_handler(impl->handler); !installed) {
    (void)request_shutdown(*impl->state);
    impl->writer.join();
    return fail(KivoError::invalid_message("failed to initialize log handler: " +
                                           installed.error().text()));
  }
  impl->panic_sink = register_panic_sink(sink);
  return LoggingGuard(std::move(impl));
}

}  // namespace kivo::log
