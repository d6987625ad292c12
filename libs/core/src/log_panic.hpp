// Where panic lines go: the file of the live LoggingGuard.
#pragma once

#include "kivo/core/logging.hpp"

namespace kivo::log {

struct PanicSink;

// Makes `sink` the file that panic lines go to (replacing an earlier one)
// and, the first time, installs the std::terminate and fatal-signal handlers.
const PanicSink* register_panic_sink(const FileSink& sink);
// Stops writing panic lines to `sink`, if it is still the registered one.
void unregister_panic_sink(const PanicSink* sink);

}  // namespace kivo::log
