#include "routes.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records every hook call as one line, in order.
class RecordingHooks : public RouteCleanupHooks {
 public:
  std::vector<std::string> calls;
  std::set<std::string> failing_audio_peers;

  void restore_physical_display_mode(std::string_view reason) override {
    calls.push_back(fmt::format("restore_display {}", reason));
  }
  void end_status_connections(std::uint64_t route_id, std::uint64_t generation) override {
    calls.push_back(fmt::format("end_status {} {}", route_id, generation));
  }
  void clear_clipboard_peer(const std::string& peer, std::uint64_t generation) override {
    calls.push_back(fmt::format("clear_clipboard {} {}", peer, generation));
  }
  void cancel_file_peer(const std::string& peer, std::uint64_t generation) override {
    calls.push_back(fmt::format("cancel_files {} {}", peer, generation));
  }
  void reset_audio_route(const std::string& peer, std::uint64_t generation) override {
    calls.push_back(fmt::format("reset_audio {} {}", peer, generation));
  }
  void forget_file_route(std::uint64_t route_id) override {
    calls.push_back(fmt::format("forget_files {}", route_id));
  }
  void forget_clipboard_route(std::uint64_t route_id) override {
    calls.push_back(fmt::format("forget_clipboard {}", route_id));
  }
  void revoke_file_clipboard_intents(std::uint64_t route_id) override {
    calls.push_back(fmt::format("revoke_intents {}", route_id));
  }
  Result<void> enable_audio_playback(const PlaybackRoute& route) override {
    calls.push_back(fmt::format("enable_audio {} {}", route.peer_id, route.connection_generation));
    if (failing_audio_peers.contains(route.peer_id)) {
      return fail(KivoError::invalid_message("audio queue failed"));
    }
    return ok();
  }

  // The calls a full clean-up of a non-host route makes.
  static std::vector<std::string> cleanup_of(std::uint64_t id, const std::string& peer,
                                             std::uint64_t generation) {
    return {fmt::format("end_status {} {}", id, generation),
            fmt::format("clear_clipboard {} {}", peer, generation),
            fmt::format("cancel_files {} {}", peer, generation),
            fmt::format("reset_audio {} {}", peer, generation),
            fmt::format("forget_files {}", id),
            fmt::format("forget_clipboard {}", id),
            fmt::format("revoke_intents {}", id)};
  }
};

RouteWire route(std::uint64_t id, std::string role, std::uint64_t generation,
                std::string peer = "peer-a") {
  RouteWire r;
  r.route_id = id;
  r.peer_id = std::move(peer);
  r.connection_generation = generation;
  r.role = std::move(role);
  return r;
}

std::string refusal_text(const KivoError& error) {
  EXPECT_EQ(error.kind(), KivoError::Kind::kPermissionDenied);
  return error.text();
}

// ---- Derived rights ---------------------------------------------------------

struct RightsCase {
  const char* name;
  std::string role;
  std::uint64_t generation;
  bool host;
  bool file;
  bool clipboard;
  bool audio;
};

class RouteRightsTest : public ::testing::TestWithParam<RightsCase> {};

TEST_P(RouteRightsTest, GrantsExactlyTheRightsOfItsRoleAndGeneration) {
  const RightsCase& c = GetParam();
  RouteTable table;
  RecordingHooks hooks;
  RouteWire r = route(4, c.role, c.generation);
  (void)table.replace_routes(1, {r}, hooks);

  const auto host = require_host_route(r);
  EXPECT_EQ(host.has_value(), c.host);
  if (!host) {
    EXPECT_EQ(refusal_text(host.error()), "agent.host_route");
  }

  const auto file = file_lease(r, "/tmp/kivo-clipboard");
  EXPECT_EQ(file.has_value(), c.file);
  if (file) {
    EXPECT_EQ(*file, (AuthorizedRoute{.peer_id = "peer-a",
                                      .lease = c.generation,
                                      .controller = c.role == "controller",
                                      .received_root = "/tmp/kivo-clipboard"}));
  } else {
    EXPECT_EQ(refusal_text(file.error()), "file.authorized_route_lease");
  }

  const auto clipboard = table.clipboard_lease(r);
  EXPECT_EQ(clipboard.has_value(), c.clipboard);
  if (clipboard) {
    EXPECT_EQ(clipboard->controller, c.role == "controller");
    EXPECT_EQ(clipboard->connection_lease, c.generation);
    EXPECT_TRUE(clipboard->route_current);
  } else {
    EXPECT_EQ(refusal_text(clipboard.error()), "clipboard.authorized_route_lease");
  }

  const auto audio = audio_authorisation(r);
  EXPECT_EQ(audio.has_value(), c.audio);
  if (!audio) {
    EXPECT_EQ(refusal_text(audio.error()), "audio.authorized_route");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Roles, RouteRightsTest,
    ::testing::Values(RightsCase{"Host", "host", 3, true, true, true, true},
                      RightsCase{"Controller", "controller", 3, false, true, true, true},
                      RightsCase{"OtherRole", "viewer", 3, false, false, false, true},
                      RightsCase{"RoleComparedExactly", "Host", 3, false, false, false, true},
                      RightsCase{"HostWithoutConnection", "host", 0, false, false, false, false},
                      RightsCase{"ControllerWithoutConnection", "controller", 0, false, false,
                                 false, false}),
    [](const ::testing::TestParamInfo<RightsCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(RouteTableTest, MissingRouteIsRefusedAsAgentRoute) {
  RouteTable table;
  const auto resolved = table.resolve_route(9);
  ASSERT_FALSE(resolved);
  EXPECT_EQ(resolved.error().display(), "permission denied: agent.route");
}

TEST(RouteTableTest, AudioAuthorisationFillsAbsentIdsWithEmptyText) {
  RouteWire r = route(1, "controller", 2, "peer-x");
  r.session_id = "s-1";
  const auto audio = audio_authorisation(r);
  ASSERT_TRUE(audio);
  EXPECT_EQ(
      *audio,
      (PlaybackRoute{
          .peer_id = "peer-x", .session_id = "s-1", .attempt_id = "", .connection_generation = 2}));
}

TEST(RouteTableTest, ClipboardLeaseFromAReplacedCopyIsNotCurrent) {
  RouteTable table;
  RecordingHooks hooks;
  RouteWire original = route(2, "controller", 5);
  original.clipboard_desired = true;
  (void)table.replace_routes(1, {original}, hooks);

  RouteWire audio_on = original;
  audio_on.audio_desired = true;
  (void)table.replace_routes(2, {audio_on}, hooks);

  const auto stale = table.clipboard_lease(original);
  ASSERT_TRUE(stale);
  EXPECT_FALSE(stale->route_current);
  const auto fresh = table.clipboard_lease(*table.resolve_route(2));
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(fresh->route_current);
}

TEST(RouteTableTest, HostRoutesAreSortedAndRefusedWhenNone) {
  RouteTable table;
  RecordingHooks hooks;
  EXPECT_EQ(refusal_text(table.host_routes().error()), "agent.host_route");

  (void)table.replace_routes(
      1, {route(7, "host", 2), route(3, "host", 9), route(5, "controller", 4), route(8, "host", 0)},
      hooks);
  const auto hosts = table.host_routes();
  ASSERT_TRUE(hosts);
  EXPECT_THAT(*hosts, ElementsAre(std::pair<std::uint64_t, std::uint64_t>{3, 9},
                                  std::pair<std::uint64_t, std::uint64_t>{7, 2}));
}

// ---- replace_routes and revoke_route -----------------------------------------

class RouteReplaceTest : public ::testing::Test {
 protected:
  RouteTable table;
  RecordingHooks hooks;
};

TEST_F(RouteReplaceTest, SameRoutesAgainOnlyReEnableAudioAndTakeTheNewRevision) {
  RouteWire a = route(1, "controller", 5, "peer-a");
  a.audio_desired = true;
  a.clipboard_desired = true;
  RouteWire b = route(2, "host", 6, "peer-b");
  (void)table.replace_routes(10, {a, b}, hooks);
  hooks.calls.clear();

  const auto reply = table.replace_routes(4, {a, b}, hooks);
  EXPECT_EQ(reply.revision, 4u);  // taken as it comes, even when lower
  EXPECT_EQ(table.revision(), 4u);
  EXPECT_THAT(hooks.calls, ElementsAre("enable_audio peer-a 5"));
}

TEST_F(RouteReplaceTest, LaterDuplicateIdWins) {
  (void)table.replace_routes(1, {route(3, "host", 1, "first"), route(3, "host", 1, "second")},
                             hooks);
  EXPECT_EQ(table.routes().size(), 1u);
  EXPECT_EQ(table.resolve_route(3)->peer_id, "second");
}

TEST_F(RouteReplaceTest, GenerationChangeCleansUpTheOldGrantAndKeepsTheNewOne) {
  (void)table.replace_routes(1, {route(1, "controller", 5)}, hooks);
  hooks.calls.clear();

  (void)table.replace_routes(2, {route(1, "controller", 6)}, hooks);
  EXPECT_EQ(hooks.calls, RecordingHooks::cleanup_of(1, "peer-a", 5));
  EXPECT_EQ(table.resolve_route(1)->connection_generation, 6u);
}

TEST_F(RouteReplaceTest, RemovedHostRouteRestoresTheDisplayModeFirst) {
  (void)table.replace_routes(1, {route(1, "host", 5), route(2, "controller", 3, "peer-b")}, hooks);
  hooks.calls.clear();

  (void)table.replace_routes(2, {route(2, "controller", 3, "peer-b")}, hooks);
  std::vector<std::string> expected{"restore_display route_cleanup"};
  for (auto& call : RecordingHooks::cleanup_of(1, "peer-a", 5)) expected.push_back(call);
  EXPECT_EQ(hooks.calls, expected);
  EXPECT_FALSE(table.resolve_route(1));
}

TEST_F(RouteReplaceTest, IdentityIncludesSessionAndAttempt) {
  RouteWire with_session = route(1, "controller", 5);
  with_session.session_id = "s";
  (void)table.replace_routes(1, {with_session}, hooks);
  hooks.calls.clear();

  (void)table.replace_routes(2, {route(1, "controller", 5)}, hooks);  // session now absent
  EXPECT_EQ(hooks.calls, RecordingHooks::cleanup_of(1, "peer-a", 5));
}

TEST_F(RouteReplaceTest, ClipboardTurnedOffCleansUpButKeepsTheRoute) {
  RouteWire on = route(1, "controller", 5);
  on.clipboard_desired = true;
  (void)table.replace_routes(1, {on}, hooks);
  hooks.calls.clear();

  (void)table.replace_routes(2, {route(1, "controller", 5)}, hooks);
  EXPECT_EQ(hooks.calls, RecordingHooks::cleanup_of(1, "peer-a", 5));
  EXPECT_TRUE(table.resolve_route(1));
}

TEST_F(RouteReplaceTest, AudioTurnedOffOnlyResetsPlaybackAndTurningOnCleansNothing) {
  RouteWire on = route(1, "controller", 5);
  on.audio_desired = true;
  (void)table.replace_routes(1, {route(1, "controller", 5)}, hooks);
  hooks.calls.clear();

  (void)table.replace_routes(2, {on}, hooks);
  EXPECT_THAT(hooks.calls, ElementsAre("enable_audio peer-a 5"));
  hooks.calls.clear();

  (void)table.replace_routes(3, {route(1, "controller", 5)}, hooks);
  EXPECT_THAT(hooks.calls, ElementsAre("reset_audio peer-a 5"));
}

TEST_F(RouteReplaceTest, FailedAudioRestoreIsLoggedAndTheNextRouteIsTried) {
  RouteWire zero = route(1, "host", 0, "peer-zero");
  zero.audio_desired = true;
  RouteWire failing = route(2, "controller", 4, "peer-fail");
  failing.audio_desired = true;
  RouteWire good = route(3, "controller", 4, "peer-good");
  good.audio_desired = true;
  hooks.failing_audio_peers.insert("peer-fail");

  kivo::log::ScopedCapture capture;
  const auto reply = table.replace_routes(7, {zero, failing, good}, hooks);
  EXPECT_EQ(reply.revision, 7u);
  EXPECT_THAT(hooks.calls, ElementsAre("enable_audio peer-fail 4", "enable_audio peer-good 4"));

  std::vector<std::pair<std::string, std::string>> warnings;
  for (const auto& event : capture.events()) {
    if (event.message != "failed to restore desired audio route") continue;
    EXPECT_EQ(event.level, kivo::log::Level::kWarn);
    EXPECT_EQ(event.target, "kivo_audio");
    warnings.emplace_back(event.field("route_id").value_or(""), event.field("error").value_or(""));
  }
  EXPECT_THAT(
      warnings,
      ElementsAre(
          std::pair<std::string, std::string>{"1", "permission denied: audio.authorized_route"},
          std::pair<std::string, std::string>{"2", "invalid message: audio queue failed"}));
}

TEST_F(RouteReplaceTest, RevokeCleansUpAKnownRouteAndIgnoresAnUnknownOne) {
  (void)table.replace_routes(12, {route(1, "controller", 5)}, hooks);
  hooks.calls.clear();

  EXPECT_EQ(table.revoke_route(99, hooks).revision, 12u);
  EXPECT_THAT(hooks.calls, IsEmpty());

  EXPECT_EQ(table.revoke_route(1, hooks).revision, 12u);
  EXPECT_EQ(hooks.calls, RecordingHooks::cleanup_of(1, "peer-a", 5));
  EXPECT_FALSE(table.resolve_route(1));
}

TEST_F(RouteReplaceTest, RevokeAllCleansUpEveryRoute) {
  (void)table.replace_routes(1, {route(1, "controller", 5), route(2, "controller", 6, "peer-b")},
                             hooks);
  hooks.calls.clear();

  table.revoke_all(hooks);
  std::vector<std::string> expected = RecordingHooks::cleanup_of(1, "peer-a", 5);
  for (auto& call : RecordingHooks::cleanup_of(2, "peer-b", 6)) expected.push_back(call);
  EXPECT_EQ(hooks.calls, expected);
  EXPECT_TRUE(table.routes().empty());
}

}  // namespace
}  // namespace kivo::agent
