// The route table: the grants under which the agent acts for a remote peer,
// the rights derived from a route at the moment of use, and the clean-up of
// everything done under a route when it goes away or changes identity.
//
// Everything here runs under the AgentState lock; a right is a copy made
// under the lock and used within the same locked step, never stored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kivo/core/result.hpp"
#include "kivo/protocol/agent_message.hpp"
#include "kivo/protocol/route_wire.hpp"

namespace kivo::agent {

using protocol::RouteWire;

// Refusal texts, carried by KivoError::permission_denied.
inline constexpr std::string_view kRouteRefusal = "agent.route";
inline constexpr std::string_view kHostRouteRefusal = "agent.host_route";
inline constexpr std::string_view kFileLeaseRefusal = "file.authorized_route_lease";
inline constexpr std::string_view kClipboardLeaseRefusal = "clipboard.authorized_route_lease";
inline constexpr std::string_view kAudioRouteRefusal = "audio.authorized_route";

// The file lease: what the transfer manager needs to act for a peer.
struct AuthorizedRoute {
  std::string peer_id;
  std::uint64_t lease = 0;  // the route's connection generation, never 0
  bool controller = false;  // role "controller" (else "host")
  std::filesystem::path received_root;
  friend bool operator==(const AuthorizedRoute&, const AuthorizedRoute&) = default;
};

// The clipboard lease.
struct ClipboardRouteView {
  std::string peer_id;
  std::uint64_t connection_lease = 0;
  bool controller = false;
  bool clipboard_desired = false;
  // Whether the table still holds this very grant (identity and both desire
  // flags) under the route's id; a lease from a replaced copy is not current.
  bool route_current = false;
  friend bool operator==(const ClipboardRouteView&, const ClipboardRouteView&) = default;
};

// The audio authorisation; absent session and attempt ids become "".
struct PlaybackRoute {
  std::string peer_id;
  std::string session_id;
  std::string attempt_id;
  std::uint64_t connection_generation = 0;
  friend bool operator==(const PlaybackRoute&, const PlaybackRoute&) = default;
};

// Peer id, generation, role, session id and attempt id all equal: the same grant.
bool same_identity(const RouteWire& a, const RouteWire& b);

// Role "host" with a connection generation other than 0.
Result<void> require_host_route(const RouteWire& route);
// `received_root` is the folder the file side lands received files in.
Result<AuthorizedRoute> file_lease(const RouteWire& route,
                                   const std::filesystem::path& received_root);
Result<PlaybackRoute> audio_authorisation(const RouteWire& route);

// What the feature engines do when a route ends. Called under the AgentState
// lock; no method may fail the clean-up or talk to the service.
class RouteCleanupHooks {
 public:
  virtual ~RouteCleanupHooks() = default;

  // Puts the physical display mode back ("route_cleanup" is the reason).
  virtual void restore_physical_display_mode(std::string_view reason) = 0;
  // Marks the status menu's still-active connections of this route and
  // generation as ended now, refreshing the menu when any changed.
  virtual void end_status_connections(std::uint64_t route_id,
                                      std::uint64_t connection_generation) = 0;
  virtual void clear_clipboard_peer(const std::string& peer_id,
                                    std::uint64_t connection_generation) = 0;
  virtual void cancel_file_peer(const std::string& peer_id,
                                std::uint64_t connection_generation) = 0;
  virtual void reset_audio_route(const std::string& peer_id,
                                 std::uint64_t connection_generation) = 0;
  // Drops the file frames awaiting a receipt and the chunk timers of the route.
  virtual void forget_file_route(std::uint64_t route_id) = 0;
  // Drops the outbound clipboard entries awaiting a receipt.
  virtual void forget_clipboard_route(std::uint64_t route_id) = 0;
  // Revokes the file-clipboard receive intents of the route (logging failures).
  virtual void revoke_file_clipboard_intents(std::uint64_t route_id) = 0;
  // Turns playback on for a route that wants audio, after a replacement.
  virtual Result<void> enable_audio_playback(const PlaybackRoute& route) = 0;
};

// Undoes everything done under `route`, in a fixed order. Never fails.
void route_cleanup(const RouteWire& route, RouteCleanupHooks& hooks);

class RouteTable {
 public:
  using Map = std::map<std::uint64_t, RouteWire>;

  // A copy of the route, or PermissionDenied "agent.route".
  Result<RouteWire> resolve_route(std::uint64_t route_id) const;

  // (route id, connection generation) of every host route with a non-zero
  // generation, ascending; PermissionDenied "agent.host_route" when none.
  Result<std::vector<std::pair<std::uint64_t, std::uint64_t>>> host_routes() const;

  // The clipboard lease of `route`, judged current against this table.
  Result<ClipboardRouteView> clipboard_lease(const RouteWire& route) const;

  // Installs `routes` (a later entry replaces an earlier one of the same id)
  // under `revision`, cleaning up every old grant that is gone, changed its
  // identity or stopped wanting the clipboard, resetting playback of routes
  // that stopped wanting audio, then enabling playback for every route that
  // wants it. The revision is taken as it comes.
  protocol::agent_msg::RoutesApplied replace_routes(std::uint64_t revision,
                                                    std::vector<RouteWire> routes,
                                                    RouteCleanupHooks& hooks);

  // Removes the route and cleans it up if it was there; an unknown id is no
  // error. Answers with the unchanged revision.
  protocol::agent_msg::RoutesApplied revoke_route(std::uint64_t route_id, RouteCleanupHooks& hooks);

  // For shutdown: revokes every route, one by one.
  void revoke_all(RouteCleanupHooks& hooks);

  std::uint64_t revision() const { return revision_; }
  const Map& routes() const { return routes_; }

 private:
  Map routes_;
  std::uint64_t revision_ = 0;
};

}  // namespace kivo::agent
