#include "routes.hpp"

#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

constexpr std::string_view kHostRole = "host";
constexpr std::string_view kControllerRole = "controller";

bool grants_peer_rights(const RouteWire& route) {
  return route.connection_generation != 0 &&
         (route.role == kHostRole || route.role == kControllerRole);
}

KivoError refusal(std::string_view text) {
  return KivoError::permission_denied(std::string(text));
}

}  // namespace

bool same_identity(const RouteWire& a, const RouteWire& b) {
  return a.peer_id == b.peer_id && a.connection_generation == b.connection_generation &&
         a.role == b.role && a.session_id == b.session_id && a.attempt_id == b.attempt_id;
}

Result<void> require_host_route(const RouteWire& route) {
  if (route.role != kHostRole || route.connection_generation == 0) {
    return fail(refusal(kHostRouteRefusal));
  }
  return ok();
}

Result<AuthorizedRoute> file_lease(const RouteWire& route,
                                   const std::filesystem::path& received_root) {
  if (!grants_peer_rights(route)) return fail(refusal(kFileLeaseRefusal));
  return AuthorizedRoute{.peer_id = route.peer_id,
                         .lease = route.connection_generation,
                         .controller = route.role == kControllerRole,
                         .received_root = received_root};
}

Result<PlaybackRoute> audio_authorisation(const RouteWire& route) {
  if (route.connection_generation == 0) return fail(refusal(kAudioRouteRefusal));
  return PlaybackRoute{.peer_id = route.peer_id,
                       .session_id = route.session_id.value_or(""),
                       .attempt_id = route.attempt_id.value_or(""),
                       .connection_generation = route.connection_generation};
}

void route_cleanup(const RouteWire& route, RouteCleanupHooks& hooks) {
  if (route.role == kHostRole) hooks.restore_physical_display_mode("route_cleanup");
  hooks.end_status_connections(route.route_id, route.connection_generation);
  hooks.clear_clipboard_peer(route.peer_id, route.connection_generation);
  hooks.cancel_file_peer(route.peer_id, route.connection_generation);
  hooks.reset_audio_route(route.peer_id, route.connection_generation);
  hooks.forget_file_route(route.route_id);
  hooks.forget_clipboard_route(route.route_id);
  hooks.revoke_file_clipboard_intents(route.route_id);
}

Result<RouteWire> RouteTable::resolve_route(std::uint64_t route_id) const {
  const auto it = routes_.find(route_id);
  if (it == routes_.end()) return fail(refusal(kRouteRefusal));
  return it->second;
}

Result<std::vector<std::pair<std::uint64_t, std::uint64_t>>> RouteTable::host_routes() const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> hosts;
  // The map is ordered by route id, and an id holds one route.
  for (const auto& [id, route] : routes_) {
    if (route.role == kHostRole && route.connection_generation != 0) {
      hosts.emplace_back(id, route.connection_generation);
    }
  }
  if (hosts.empty()) return fail(refusal(kHostRouteRefusal));
  return hosts;
}

Result<ClipboardRouteView> RouteTable::clipboard_lease(const RouteWire& route) const {
  if (!grants_peer_rights(route)) return fail(refusal(kClipboardLeaseRefusal));
  const auto it = routes_.find(route.route_id);
  const bool current = it != routes_.end() && same_identity(it->second, route) &&
                       it->second.clipboard_desired == route.clipboard_desired &&
                       it->second.audio_desired == route.audio_desired;
  return ClipboardRouteView{.peer_id = route.peer_id,
                            .connection_lease = route.connection_generation,
                            .controller = route.role == kControllerRole,
                            .clipboard_desired = route.clipboard_desired,
                            .route_current = current};
}

protocol::agent_msg::RoutesApplied RouteTable::replace_routes(std::uint64_t revision,
                                                              std::vector<RouteWire> routes,
                                                              RouteCleanupHooks& hooks) {
  Map next;
  for (auto& route : routes) {
    const std::uint64_t id = route.route_id;
    next.insert_or_assign(id, std::move(route));
  }

  for (const auto& [id, old] : routes_) {
    const auto it = next.find(id);
    if (it == next.end() || !same_identity(old, it->second)) {
      route_cleanup(old, hooks);
    } else if (old.clipboard_desired && !it->second.clipboard_desired) {
      route_cleanup(old, hooks);
    } else if (old.audio_desired && !it->second.audio_desired) {
      hooks.reset_audio_route(old.peer_id, old.connection_generation);
    }
  }

  routes_ = std::move(next);
  revision_ = revision;

  for (const auto& [id, route] : routes_) {
    if (!route.audio_desired) continue;
    auto authorisation = audio_authorisation(route);
    Result<void> enabled = authorisation ? hooks.enable_audio_playback(*authorisation)
                                         : Result<void>(fail(authorisation.error()));
    if (!enabled) {
      KIVO_WARN("kivo_audio", "failed to restore desired audio route",
                kivo::log::field("error", enabled.error()), kivo::log::field("route_id", id));
    }
  }
  return protocol::agent_msg::RoutesApplied{.revision = revision_};
}

protocol::agent_msg::RoutesApplied RouteTable::revoke_route(std::uint64_t route_id,
                                                            RouteCleanupHooks& hooks) {
  const auto it = routes_.find(route_id);
  if (it != routes_.end()) {
    const RouteWire removed = std::move(it->second);
    routes_.erase(it);
    route_cleanup(removed, hooks);
  }
  return protocol::agent_msg::RoutesApplied{.revision = revision_};
}

void RouteTable::revoke_all(RouteCleanupHooks& hooks) {
  while (!routes_.empty()) {
    (void)revoke_route(routes_.begin()->first, hooks);
  }
}

}  // namespace kivo::agent
