#include "x11_screen_source_xcb.hpp"

#include <fmt/format.h>
#include <xcb/randr.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>

namespace kivo::x11 {
namespace {

std::string connection_error_text(int code) {
  switch (code) {
    case XCB_CONN_ERROR:
      return "X server connection lost";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
      return "X extension not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
      return "out of memory for the X connection";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
      return "X request too long";
    case XCB_CONN_CLOSED_PARSE_ERR:
      return "X display name unreadable";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
      return "X screen does not exist";
    default:
      return fmt::format("X connection error {}", code);
  }
}

bool has_randr(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
  if (randr == nullptr || randr->present == 0) return false;
  XcbReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      connection, xcb_randr_query_version(connection, 1, 3), nullptr));
  return version != nullptr && (version->major_version > 1 || version->minor_version >= 2);
}

struct ActiveOutput {
  std::uint32_t id = 0;
  RootArea area;
};

// The outputs that drive a CRTC, in the server's order.
std::vector<ActiveOutput> active_outputs(xcb_connection_t* connection, xcb_screen_t* screen) {
  std::vector<ActiveOutput> outputs;
  if (!has_randr(connection)) return outputs;
  XcbReply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          connection, xcb_randr_get_screen_resources_current(connection, screen->root), nullptr));
  if (!resources) return outputs;
  const xcb_randr_output_t* ids = xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  for (int i = 0; i < count; ++i) {
    XcbReply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, ids[i], resources->config_timestamp),
        nullptr));
    if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE) {
      continue;
    }
    XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        connection, xcb_randr_get_crtc_info(connection, info->crtc, resources->config_timestamp),
        nullptr));
    if (!crtc || crtc->width == 0 || crtc->height == 0) continue;
    outputs.push_back({ids[i], {crtc->x, crtc->y, crtc->width, crtc->height}});
  }
  return outputs;
}

std::optional<std::uint32_t> primary_output(xcb_connection_t* connection, xcb_screen_t* screen) {
  if (!has_randr(connection)) return std::nullopt;
  XcbReply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
      connection, xcb_randr_get_output_primary(connection, screen->root), nullptr));
  if (!primary || primary->output == XCB_NONE) return std::nullopt;
  return primary->output;
}

capture::DisplayDescriptor descriptor(std::uint32_t id, const RootArea& area) {
  return {
      .id = id,
      .frame = {{static_cast<double>(area.x), static_cast<double>(area.y)},
                {static_cast<double>(area.width), static_cast<double>(area.height)}},
      .width = static_cast<std::uint32_t>(area.width),
      .height = static_cast<std::uint32_t>(area.height),
  };
}

std::optional<std::string> window_title(xcb_ewmh_connection_t* ewmh, xcb_window_t window) {
  xcb_ewmh_get_utf8_strings_reply_t name;
  if (xcb_ewmh_get_wm_name_reply(ewmh, xcb_ewmh_get_wm_name(ewmh, window), &name, nullptr) != 0) {
    std::string title(name.strings, name.strings_len);
    xcb_ewmh_get_utf8_strings_reply_wipe(&name);
    return title;
  }
  xcb_icccm_get_text_property_reply_t legacy;
  if (xcb_icccm_get_wm_name_reply(ewmh->connection, xcb_icccm_get_wm_name(ewmh->connection, window),
                                  &legacy, nullptr) != 0) {
    std::string title(legacy.name, legacy.name_len);
    xcb_icccm_get_text_property_reply_wipe(&legacy);
    return title;
  }
  return std::nullopt;
}

// 1 for windows kept above the others, -1 for those kept below, else 0.
std::int32_t window_layer(xcb_ewmh_connection_t* ewmh, xcb_window_t window) {
  xcb_ewmh_get_atoms_reply_t states;
  if (xcb_ewmh_get_wm_state_reply(ewmh, xcb_ewmh_get_wm_state(ewmh, window), &states, nullptr) ==
      0) {
    return 0;
  }
  std::int32_t layer = 0;
  for (std::uint32_t i = 0; i < states.atoms_len; ++i) {
    if (states.atoms[i] == ewmh->_NET_WM_STATE_ABOVE) layer = 1;
    if (states.atoms[i] == ewmh->_NET_WM_STATE_BELOW) layer = -1;
  }
  xcb_ewmh_get_atoms_reply_wipe(&states);
  return layer;
}

}  // namespace

Result<XcbConnection> connect_display(const std::string& display_name, int* screen_number) {
  XcbConnection connection(
      xcb_connect(display_name.empty() ? nullptr : display_name.c_str(), screen_number));
  if (const int error = xcb_connection_has_error(connection.get()); error != 0) {
    return fail(
        KivoError::io(IoKind::kOther, fmt::format("cannot connect to X display {}: {}",
                                                  display_name.empty() ? "$DISPLAY" : display_name,
                                                  connection_error_text(error))));
  }
  return connection;
}

xcb_screen_t* screen_of(xcb_connection_t* connection, int screen_number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
    if (i == screen_number) return it.data;
  }
  return nullptr;
}

std::optional<capture::StreamError> connection_error(xcb_connection_t* connection) {
  const int error = xcb_connection_has_error(connection);
  if (error == 0) return std::nullopt;
  return capture::StreamError{"X11", error, connection_error_text(error)};
}

RootArea intersect(const RootArea& a, const RootArea& b) {
  const std::int32_t left = std::max(a.x, b.x);
  const std::int32_t top = std::max(a.y, b.y);
  const std::int32_t right = std::min(a.x + a.width, b.x + b.width);
  const std::int32_t bottom = std::min(a.y + a.height, b.y + b.height);
  if (right <= left || bottom <= top) return {left, top, 0, 0};
  return {left, top, right - left, bottom - top};
}

RootArea root_area(xcb_connection_t* connection, xcb_screen_t* screen) {
  XcbReply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection, xcb_get_geometry(connection, screen->root), nullptr));
  if (!geometry) return {0, 0, screen->width_in_pixels, screen->height_in_pixels};
  return {0, 0, geometry->width, geometry->height};
}

std::vector<capture::DisplayDescriptor> list_displays(xcb_connection_t* connection,
                                                      xcb_screen_t* screen) {
  std::vector<ActiveOutput> outputs = active_outputs(connection, screen);
  std::vector<capture::DisplayDescriptor> displays;
  if (outputs.empty()) {
    displays.push_back(descriptor(0, root_area(connection, screen)));
    return displays;
  }
  const std::optional<std::uint32_t> primary = primary_output(connection, screen);
  std::stable_partition(outputs.begin(), outputs.end(),
                        [&](const ActiveOutput& o) { return primary && o.id == *primary; });
  for (const ActiveOutput& output : outputs) displays.push_back(descriptor(output.id, output.area));
  return displays;
}

std::optional<std::uint32_t> primary_display(xcb_connection_t* connection, xcb_screen_t* screen) {
  const std::vector<capture::DisplayDescriptor> displays = list_displays(connection, screen);
  if (displays.empty()) return std::nullopt;
  return displays.front().id;
}

std::optional<RootArea> display_area(xcb_connection_t* connection, xcb_screen_t* screen,
                                     std::uint32_t id) {
  const std::vector<ActiveOutput> outputs = active_outputs(connection, screen);
  if (outputs.empty() && id == 0) return root_area(connection, screen);
  for (const ActiveOutput& output : outputs) {
    if (output.id == id) return output.area;
  }
  return std::nullopt;
}

std::optional<RootArea> window_area(xcb_connection_t* connection, xcb_screen_t* screen,
                                    std::uint32_t id) {
  const xcb_get_geometry_cookie_t geometry_cookie = xcb_get_geometry(connection, id);
  const xcb_translate_coordinates_cookie_t origin_cookie =
      xcb_translate_coordinates(connection, id, screen->root, 0, 0);
  XcbReply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection, geometry_cookie, nullptr));
  XcbReply<xcb_translate_coordinates_reply_t> origin(
      xcb_translate_coordinates_reply(connection, origin_cookie, nullptr));
  if (!geometry || !origin) return std::nullopt;
  return RootArea{origin->dst_x, origin->dst_y, geometry->width, geometry->height};
}

std::vector<capture::WindowDescriptor> list_windows(xcb_connection_t* connection,
                                                    xcb_screen_t* screen, bool on_screen_only) {
  std::vector<capture::WindowDescriptor> windows;
  xcb_ewmh_connection_t ewmh;
  if (xcb_ewmh_init_atoms_replies(&ewmh, xcb_ewmh_init_atoms(connection, &ewmh), nullptr) == 0) {
    return windows;
  }
  xcb_ewmh_get_windows_reply_t clients;
  if (xcb_ewmh_get_client_list_reply(&ewmh, xcb_ewmh_get_client_list(&ewmh, 0), &clients,
                                     nullptr) != 0) {
    for (std::uint32_t i = 0; i < clients.windows_len; ++i) {
      const xcb_window_t id = clients.windows[i];
      XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
          connection, xcb_get_window_attributes(connection, id), nullptr));
      const std::optional<RootArea> area = window_area(connection, screen, id);
      if (!attributes || !area) continue;  // gone since the list was read
      const bool viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      if (on_screen_only && !viewable) continue;
      capture::WindowDescriptor window;
      window.id = id;
      window.frame = {{static_cast<double>(area->x), static_cast<double>(area->y)},
                      {static_cast<double>(area->width), static_cast<double>(area->height)}};
      window.layer = window_layer(&ewmh, id);
      window.title = window_title(&ewmh, id);
      std::uint32_t pid = 0;
      if (xcb_ewmh_get_wm_pid_reply(&ewmh, xcb_ewmh_get_wm_pid(&ewmh, id), &pid, nullptr) != 0) {
        window.owning_pid = static_cast<std::int32_t>(pid);
      }
      window.on_screen = viewable;
      windows.push_back(std::move(window));
    }
    xcb_ewmh_get_windows_reply_wipe(&clients);
  }
  xcb_ewmh_connection_wipe(&ewmh);
  return windows;
}

}  // namespace kivo::x11
