// The one process-wide receiver of log events behind the facade (log.hpp).
// File logging (logging.hpp) installs one; nothing else needs this header.
#pragma once

#include <memory>
#include <string_view>

#include "kivo/core/log.hpp"
#include "kivo/core/result.hpp"

namespace kivo::log {

// Receives the events of every thread; both calls must be safe for concurrent use.
class LogHandler {
 public:
  virtual ~LogHandler() = default;
  // The handler's own filter; write() checks it before handle().
  virtual bool enabled(Level level, std::string_view target) const = 0;
  virtual void handle(const Event& event) = 0;
};

// Makes `handler` the process's handler. Fails with InvalidMessage "a global
// log handler has already been installed" while another one is installed.
Result<void> install_handler(std::shared_ptr<LogHandler> handler);

// Removes `handler` if it is the installed one. It is kept alive for the rest
// of the process, since a call on another thread may still be using it.
void uninstall_handler(const LogHandler* handler);

}  // namespace kivo::log
