// The agent's thread names. Logs carry the full name ("kivo-agent-bulk-writer");
// Linux keeps at most 15 bytes of a thread's name, so the operating system
// gets a short name from the one table in thread_names.cpp.
#pragma once

#include <functional>
#include <string_view>
#include <thread>

#include "kivo/core/result.hpp"

namespace kivo::agent {

inline constexpr std::string_view kBulkWriterThread = "kivo-agent-bulk-writer";
inline constexpr std::string_view kBulkReaderThread = "kivo-agent-bulk-reader";
inline constexpr std::string_view kMediaPlaybackThread = "kivo-agent-media-playback";

// The name the operating system shows for the thread of this full name: the
// table's short name, or the first 15 bytes of a name the table lacks.
std::string_view os_thread_name(std::string_view full_name);

// Names the calling thread by the short form of `full_name`.
void name_current_thread(std::string_view full_name);

// Starts a thread that names itself and runs `body`. An exception that
// escapes `body` is logged and ends the thread, not the process. Failing to
// start is an I/O error.
Result<std::thread> spawn_named_thread(std::string_view full_name, std::function<void()> body);

}  // namespace kivo::agent
