#include "kivo/core/config.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "kivo/core/file_io.hpp"
#include "kivo/core/json_codec.hpp"
#include "kivo/core/utf8.hpp"

namespace kivo {
namespace {

// The password database's records are small; a buffer this large that is
// still too small means the library keeps answering ERANGE by mistake.
constexpr std::size_t kMaxPasswdBuffer = 16 * 1024 * 1024;

}  // namespace

std::filesystem::path system_root() {
  const char* root = std::getenv("KIVO_SYSTEM_ROOT");
  if (root == nullptr || *root == '\0') return "/";
  return root;
}

ServicePaths ServicePaths::standard() {
  std::filesystem::path library = system_root() / "Library";
  return {library / "Application Support" / "Kivo", library / "Logs" / "Kivo"};
}

Result<std::filesystem::path> current_user_home_dir() {
  const uid_t uid = geteuid();
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::size_t size = suggested < 1 ? 16384 : static_cast<std::size_t>(suggested);
  std::vector<char> buffer(size, '\0');
  passwd entry{};
  passwd* found = nullptr;
  for (;;) {
    int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == 0) break;
    if (rc != ERANGE || buffer.size() >= kMaxPasswdBuffer) return fail(KivoError::io_errno(rc));
    buffer.assign(buffer.size() * 2, '\0');
  }
  if (found == nullptr || entry.pw_dir == nullptr) {
    return fail(
        KivoError::invalid_message(fmt::format("home directory not found for uid {}", uid)));
  }
  if (*entry.pw_dir == '\0') {
    return fail(KivoError::invalid_message(fmt::format("home directory is empty for uid {}", uid)));
  }
  return std::filesystem::path(entry.pw_dir);
}

Result<std::filesystem::path> current_user_log_dir() {
  Result<std::filesystem::path> home = current_user_home_dir();
  if (!home) return home;
  return *home / "Library" / "Logs" / "Kivo";
}

Result<std::filesystem::path> current_user_support_dir() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || !is_utf8(home) || trim_unicode_white_space(home).empty()) {
    return fail(KivoError::invalid_message("HOME is required for Kivo configuration"));
  }
  // The untrimmed value: a home that really begins with a blank keeps it.
  return std::filesystem::path(home) / "Library" / "Application Support" / "Kivo";
}

Result<UiPreferences> parse_preferences(std::string_view text) {
  Result<json::Value> document = json::parse(text);
  if (!document) return fail(std::move(document).error());
  if (!document->is_object()) {
    return fail(json::invalid_type(*document, "struct UiPreferences"));
  }
  UiPreferences preferences;
  bool seen_version = false;
  bool seen_language = false;
  for (const json::Member& member : document->as_object()) {
    if (member.key == "version") {
      if (seen_version) return fail(json::duplicate_field("version"));
      seen_version = true;
      Result<std::uint32_t> version = json::decode<std::uint32_t>(member.value);
      if (!version) return fail(std::move(version).error());
      preferences.version = *version;
    } else if (member.key == "language") {
      if (seen_language) return fail(json::duplicate_field("language"));
      seen_language = true;
      Result<std::string> language = json::decode<std::string>(member.value);
      if (!language) return fail(std::move(language).error());
      preferences.language = std::move(*language);
    } else {
      // A key repeated among the others: the later value wins.
      preferences.extra.insert_or_assign(member.key, member.value);
    }
  }
  return preferences;
}

Result<UiPreferences> load_preferences_at(const std::filesystem::path& path) {
  Result<std::optional<std::string>> text = read_text_file_if_present(path);
  if (!text) return fail(std::move(text).error());
  if (!text->has_value()) return UiPreferences{};
  return parse_preferences(**text);
}

}  // namespace kivo
