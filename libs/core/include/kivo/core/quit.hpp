// The quit latch and the resume intent. When the product is told to quit, the
// service writes a latch that holds for the rest of the boot session; an agent
// started again while it holds stays down unless a resume intent for that very
// quit asks it back. The agent never creates either file: it reads both,
// deletes a latch from an earlier boot session, and deletes the per-user
// resume intent once no latch holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "kivo/core/config.hpp"
#include "kivo/core/json_codec.hpp"
#include "kivo/core/result.hpp"

namespace kivo {

struct QuitLatch {
  std::uint32_t version = 0;  // read, never compared
  std::string quit_id;
  std::string boot_session_uuid;
  std::uint64_t created_at_unix_ms = 0;  // read, never used
  friend bool operator==(const QuitLatch&, const QuitLatch&) = default;
};

struct ResumeIntent {
  std::uint32_t version = 0;  // read, never compared
  std::string quit_id;
  std::string boot_session_uuid;
  std::uint64_t requested_at = 0;  // read, never used
  friend bool operator==(const ResumeIntent&, const ResumeIntent&) = default;
};

inline constexpr std::string_view kQuitLatchFile = "quit_latch.json";
inline constexpr std::string_view kResumeIntentFile = "resume_intent.json";

// The identifier of the current boot session: the kernel's boot id.
Result<std::string> boot_session_uuid();
// The identifier from the raw bytes of the boot id: one trailing NUL dropped,
// white space trimmed; empty or not UTF-8 is an error.
Result<std::string> boot_session_uuid_from(std::string_view raw);

// Where the current boot session's identifier comes from; tests substitute it.
using BootSessionSource = std::function<Result<std::string>()>;

// The latch, if one exists for the current boot session. A latch of an earlier
// boot session is deleted (a failure to delete is only logged).
Result<std::optional<QuitLatch>> active_quit_latch(
    const ServicePaths& paths, const BootSessionSource& boot_session = boot_session_uuid);

Result<std::optional<ResumeIntent>> read_resume_intent(const std::filesystem::path& folder);

// The resume intent in `folder` if both its quit id and boot session equal
// the latch's; a mismatched intent is left on disk.
Result<std::optional<ResumeIntent>> matching_resume_intent(const std::filesystem::path& folder,
                                                           const QuitLatch& latch);

// What start-up does about an earlier quit.
struct StartupGate {
  enum class Kind : std::uint8_t { kStart, kResume, kExit };
  Kind kind = Kind::kStart;
  std::string quit_id;  // set for kResume

  static StartupGate start() { return {}; }
  static StartupGate resume(std::string id) { return {Kind::kResume, std::move(id)}; }
  static StartupGate exit() { return {Kind::kExit, {}}; }
  friend bool operator==(const StartupGate&, const StartupGate&) = default;
};

// Where the gate looks; standard() is what the agent uses.
struct GateLocations {
  ServicePaths service_paths;
  std::filesystem::path user_support_dir;
};

Result<StartupGate> evaluate_startup_gate();
Result<StartupGate> evaluate_startup_gate_at(
    const GateLocations& where, const BootSessionSource& boot_session = boot_session_uuid);

// After a successful resume hello: deletes the resume intent once the service
// has lifted the latch. Never fails; every problem is a warning.
void finish_resume_after_hello(std::string_view quit_id);
void finish_resume_after_hello_at(std::string_view quit_id,
                                  const Result<std::filesystem::path>& user_support_dir,
                                  const ServicePaths& service_paths,
                                  const BootSessionSource& boot_session = boot_session_uuid);

}  // namespace kivo

template <>
struct kivo::json::Record<kivo::QuitLatch> {
  using T = kivo::QuitLatch;
  static constexpr std::string_view name = "QuitLatch";
  static constexpr auto fields =
      std::make_tuple(field("version", &T::version), field("quit_id", &T::quit_id),
                      field("boot_session_uuid", &T::boot_session_uuid),
                      field("created_at_unix_ms", &T::created_at_unix_ms));
};

template <>
struct kivo::json::Record<kivo::ResumeIntent> {
  using T = kivo::ResumeIntent;
  static constexpr std::string_view name = "ResumeIntent";
  static constexpr auto fields = std::make_tuple(
      field("version", &T::version), field("quit_id", &T::quit_id),
      field("boot_session_uuid", &T::boot_session_uuid), field("requested_at", &T::requested_at));
};
