// Panic lines: the std::terminate handler, the fatal-signal handler and
// report_panic, all writing "panic at {file}:{line}:{column}: {payload}"
// straight into the log file.
#include "log_panic.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kivo::log {

struct PanicSink {
  FileSink sink;
  // The path as a C string for the signal handler, which may not allocate.
  std::string path_text;
};

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr std::size_t kFatalSignalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];

// Read without a lock by the handlers. Sinks are never freed, so a pointer
// read just before an unregistration stays usable.
std::atomic<const PanicSink*> current_sink{nullptr};

struct Registry {
  std::mutex mutex;
  std::vector<std::unique_ptr<PanicSink>> sinks;
  std::terminate_handler previous_terminate = nullptr;
  struct sigaction previous_actions[kFatalSignalCount] = {};
};

Registry& registry() {
  static auto* instance = new Registry;
  return *instance;
}

std::string current_exception_text() {
  const std::exception_ptr error = std::current_exception();
  if (!error) return "terminate called without an active exception";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& thrown) {
    return thrown.what();
  } catch (const std::string& thrown) {
    return thrown;
  } catch (const char* thrown) {
    return thrown;
  } catch (...) {
    return "non-string panic payload";
  }
}

[[noreturn]] void on_terminate() {
  static std::atomic_flag entered = ATOMIC_FLAG_INIT;
  if (!entered.test_and_set()) {
    try {
      report_panic(current_exception_text());
    } catch (...) {
      // Nothing more can be done for this line; the previous handler still runs.
    }
  }
  if (std::terminate_handler previous = registry().previous_terminate; previous != nullptr) {
    previous();
  }
  std::abort();
}

// --- fatal signals: only async-signal-safe calls below this line ---

const char* signal_name(int signal_number) {
  switch (signal_number) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGILL:
      return "SIGILL";
    case SIGFPE:
      return "SIGFPE";
    default:
      return "unknown signal";
  }
}

void append_text(char* buffer, std::size_t capacity, std::size_t& length, const char* text) {
  while (*text != '\0' && length + 1 < capacity) buffer[length++] = *text++;
}

// Writes the panic line with open, write and close on the path alone: no
// lock, no allocation and no cut-down, since the interrupted thread may hold
// any of them. One short line past the cap is cut at the next batch.
void on_fatal_signal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  char line[96];
  std::size_t length = 0;
  append_text(line, sizeof line, length, "panic at <unknown>:0:0: fatal signal ");
  append_text(line, sizeof line, length, signal_name(signal_number));
  line[length++] = '\n';

  bool written = false;
  if (const PanicSink* sink = current_sink.load(std::memory_order_acquire); sink != nullptr) {
    const int fd = ::open(sink->path_text.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      written = ::write(fd, line, length) == static_cast<ssize_t>(length);
      ::close(fd);
    }
  }
  if (!written) (void)!::write(STDERR_FILENO, line, length);

  // Hand the signal on as if this handler had never been there.
  std::size_t index = 0;
  while (index < kFatalSignalCount && kFatalSignals[index] != signal_number) ++index;
  if (index == kFatalSignalCount) return;
  const struct sigaction& previous = registry().previous_actions[index];
  ::sigaction(signal_number, &previous, nullptr);
  errno = saved_errno;
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    if (previous.sa_sigaction != nullptr) previous.sa_sigaction(signal_number, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    return;
  }
  ::signal(signal_number, SIG_DFL);
  // A fault repeats when this handler returns; a signal sent by a process
  // does not, so it is sent again (pending until the return).
  if (info == nullptr || info->si_code <= 0) ::raise(signal_number);
}

void install_handlers() {
  Registry& r = registry();
  r.previous_terminate = std::set_terminate(on_terminate);
  for (std::size_t i = 0; i < kFatalSignalCount; ++i) {
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(kFatalSignals[i], &action, &r.previous_actions[i]);
  }
}

std::string error_text(const KivoError& error) {
  return error.kind() == KivoError::Kind::kIo ? error.text() : error.display();
}

}  // namespace

const PanicSink* register_panic_sink(const FileSink& sink) {
  static std::once_flag installed;
  std::call_once(installed, install_handlers);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.sinks.push_back(std::make_unique<PanicSink>(PanicSink{sink, sink.path().string()}));
  const PanicSink* registered = r.sinks.back().get();
  current_sink.store(registered, std::memory_order_release);
  return registered;
}

void unregister_panic_sink(const PanicSink* sink) {
  const PanicSink* expected = sink;
  current_sink.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

void report_panic(std::string_view payload, PanicLocation where) {
  const PanicSink* current = current_sink.load(std::memory_order_acquire);
  if (current == nullptr) return;
  const std::string text =
      fmt::format("panic at {}:{}:{}: {}", where.file, where.line, where.column, payload);

  // Only tried: the panic may have come from inside a write of this file.
  std::unique_lock transaction(*current->sink.transaction_lock(), std::try_to_lock);
  if (!transaction.owns_lock()) {
    report_internal_error(text);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + current->sink.options().exit_lock_wait;
  const FileLockWait wait = [deadline] {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  };
  if (auto written = current->sink.write_batch_locked(text + '\n', wait); !written) {
    report_internal_error("failed to write panic to Kivo log: " + error_text(written.error()));
    report_internal_error(text);
  }
}

}  // namespace kivo::log
