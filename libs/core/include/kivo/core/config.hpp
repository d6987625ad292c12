// Where the agent reads and writes on disk, and the user's interface
// preferences. Nothing here holds state or creates folders: every call works
// its answer out again.
//
// Machine-wide folders belong to the privileged service and live under the
// system root (KIVO_SYSTEM_ROOT when set and not empty, else "/"). Per-user
// folders live in the user's home: the log folder through the password
// database, the support folder through $HOME. The two lookups differ on
// purpose and keep their own errors.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "kivo/core/json_value.hpp"
#include "kivo/core/result.hpp"

namespace kivo {

// The root under which machine-wide locations live.
std::filesystem::path system_root();

struct ServicePaths {
  std::filesystem::path support_dir;  // <root>/Library/Application Support/Kivo
  std::filesystem::path log_dir;      // <root>/Library/Logs/Kivo; unused by the agent

  static ServicePaths standard();
  friend bool operator==(const ServicePaths&, const ServicePaths&) = default;
};

// The home folder of the effective user, from the password database.
Result<std::filesystem::path> current_user_home_dir();
// <home>/Library/Logs/Kivo.
Result<std::filesystem::path> current_user_log_dir();
// $HOME/Library/Application Support/Kivo.
Result<std::filesystem::path> current_user_support_dir();

// The content of "settings.json".
struct UiPreferences {
  std::uint32_t version = 1;
  std::string language = "en";
  // Every other top-level key; nothing in the agent reads these.
  std::map<std::string, json::Value> extra;
  friend bool operator==(const UiPreferences&, const UiPreferences&) = default;
};

// Reads preferences from a file; a missing file gives the defaults.
Result<UiPreferences> load_preferences_at(const std::filesystem::path& path);
// The same, from text already read.
Result<UiPreferences> parse_preferences(std::string_view text);

}  // namespace kivo
