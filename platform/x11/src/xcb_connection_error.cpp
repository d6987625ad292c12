#include "xcb_connection_error.hpp"

#include <fmt/format.h>
#include <xcb/xcb.h>

namespace kivo::x11 {

std::string xcb_connection_error_text(int code) {
  switch (code) {
    case XCB_CONN_ERROR:
      return "socket, pipe or stream error";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
      return "extension not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
      return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
      return "request length exceeded";
    case XCB_CONN_CLOSED_PARSE_ERR:
      return "invalid display name";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
      return "no such screen";
    case XCB_CONN_CLOSED_FDPASSING_FAILED:
      return "file descriptor passing failed";
    default:
      return fmt::format("connection error {}", code);
  }
}

}  // namespace kivo::x11
