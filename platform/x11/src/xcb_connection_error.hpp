// The words for why an xcb connection failed or broke, as the window-server
// probe and the event poster report them.
#pragma once

#include <string>

namespace kivo::x11 {

// `code` as xcb_connection_has_error returns it (not 0).
std::string xcb_connection_error_text(int code);

}  // namespace kivo::x11
