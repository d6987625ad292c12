#include "kivo/core/log.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "kivo/core/debug_text.hpp"
#include "kivo/core/log_handler.hpp"

namespace kivo::log {
namespace {

// The installed handler is read on every log call without a lock. A handler
// that is replaced stays alive in `retired` for the rest of the process, so a
// call still holding the old pointer never sees it freed.
struct HandlerSlot {
  std::atomic<LogHandler*> installed{nullptr};
  std::mutex mutex;
  std::vector<std::shared_ptr<LogHandler>> retired;
};

HandlerSlot& handler_slot() {
  // Never destroyed: threads may log while static objects are torn down.
  static auto* slot = new HandlerSlot;
  return *slot;
}

struct CaptureRegistry {
  std::atomic<int> count{0};
  std::mutex mutex;
  std::vector<ScopedCapture*> captures;
};

CaptureRegistry& capture_registry() {
  static auto* registry = new CaptureRegistry;
  return *registry;
}

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::kTrace:
      return "TRACE";
    case Level::kDebug:
      return "DEBUG";
    case Level::kInfo:
      return "INFO";
    case Level::kWarn:
      return "WARN";
    case Level::kError:
      return "ERROR";
  }
  return "ERROR";
}

namespace detail {

std::string quoted(std::string_view text) {
  return debug_quoted(text);
}

}  // namespace detail

Field debug_field(std::string_view name, std::string_view value) {
  return Field(name, detail::quoted(value));
}

bool enabled(Level level, std::string_view target) {
  if (capture_registry().count.load(std::memory_order_relaxed) > 0) return true;
  const LogHandler* handler = handler_slot().installed.load(std::memory_order_acquire);
  return handler != nullptr && handler->enabled(level, target);
}

void write(Level level, std::string_view target, std::string_view message,
           std::initializer_list<Field> fields) {
  const Event event{level, target, message, std::span<const Field>(fields.begin(), fields.size())};
  CaptureRegistry& registry = capture_registry();
  if (registry.count.load(std::memory_order_relaxed) > 0) {
    std::lock_guard lock(registry.mutex);
    for (ScopedCapture* capture : registry.captures) capture->record(event);
  }
  LogHandler* handler = handler_slot().installed.load(std::memory_order_acquire);
  if (handler != nullptr && handler->enabled(level, target)) handler->handle(event);
}

Result<void> install_handler(std::shared_ptr<LogHandler> handler) {
  HandlerSlot& slot = handler_slot();
  std::lock_guard lock(slot.mutex);
  if (slot.installed.load(std::memory_order_relaxed) != nullptr) {
    return fail(KivoError::invalid_message("a global log handler has already been installed"));
  }
  slot.installed.store(handler.get(), std::memory_order_release);
  slot.retired.push_back(std::move(handler));
  return ok();
}

void uninstall_handler(const LogHandler* handler) {
  HandlerSlot& slot = handler_slot();
  std::lock_guard lock(slot.mutex);
  if (slot.installed.load(std::memory_order_relaxed) == handler) {
    slot.installed.store(nullptr, std::memory_order_release);
  }
}

std::optional<std::string> CapturedEvent::field(std::string_view name) const {
  for (const std::string& rendered : fields) {
    const std::string_view text(rendered);
    if (text.size() > name.size() && text.starts_with(name) && text[name.size()] == '=') {
      return std::string(text.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

ScopedCapture::ScopedCapture() {
  CaptureRegistry& registry = capture_registry();
  std::lock_guard lock(registry.mutex);
  registry.captures.push_back(this);
  registry.count.fetch_add(1, std::memory_order_relaxed);
}

ScopedCapture::~ScopedCapture() {
  CaptureRegistry& registry = capture_registry();
  std::lock_guard lock(registry.mutex);
  std::erase(registry.captures, this);
  registry.count.fetch_sub(1, std::memory_order_relaxed);
}

std::vector<CapturedEvent> ScopedCapture::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void ScopedCapture::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

void ScopedCapture::record(const Event& event) {
  CapturedEvent captured{event.level, std::string(event.target), std::string(event.message), {}};
  captured.fields.reserve(event.fields.size());
  for (const Field& f : event.fields) {
    captured.fields.push_back(fmt::format("{}={}", f.name(), f.value()));
  }
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(captured));
}

}  // namespace kivo::log
