#include "kivo/core/config.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "kivo/testing/temp_dir.hpp"

namespace kivo {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

TEST(ConfigTest, SupportFolderFollowsHome) {
  struct Case {
    const char* home;
    const char* expected;  // nullptr: the HOME error
  };
  const Case cases[] = {
      {"/home/a", "/home/a/Library/Application Support/Kivo"},
      {" /Users/a", " /Users/a/Library/Application Support/Kivo"},
      {"home", "home/Library/Application Support/Kivo"},
      {"   ", nullptr},
      {"", nullptr},
      {"\u3000\t", nullptr},
      {"\xff", nullptr},
      {nullptr, nullptr},
  };
  for (const Case& c : cases) {
    ScopedEnv home("HOME", c.home);
    Result<std::filesystem::path> dir = current_user_support_dir();
    if (c.expected != nullptr) {
      ASSERT_TRUE(dir) << c.home;
      EXPECT_EQ(dir->string(), c.expected);
    } else {
      ASSERT_FALSE(dir) << (c.home ? c.home : "<unset>");
      EXPECT_EQ(dir.error().display(), "invalid message: HOME is required for Kivo configuration");
    }
  }
}

TEST(ConfigTest, LogFolderFollowsThePasswordEntryNotHome) {
  ScopedEnv home("HOME", "/elsewhere");
  Result<std::filesystem::path> dir = current_user_log_dir();
  ASSERT_TRUE(dir) << dir.error().display();
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(*dir, std::filesystem::path(entry->pw_dir) / "Library" / "Logs" / "Kivo");
}

TEST(ConfigTest, ServicePathsLiveUnderTheSystemRoot) {
  {
    ScopedEnv root("KIVO_SYSTEM_ROOT", nullptr);
    EXPECT_EQ(ServicePaths::standard().support_dir, "/Library/Application Support/Kivo");
    EXPECT_EQ(ServicePaths::standard().log_dir, "/Library/Logs/Kivo");
  }
  {
    ScopedEnv root("KIVO_SYSTEM_ROOT", "");
    EXPECT_EQ(ServicePaths::standard().support_dir, "/Library/Application Support/Kivo");
  }
  {
    ScopedEnv root("KIVO_SYSTEM_ROOT", "/tmp/r");
    EXPECT_EQ(ServicePaths::standard().support_dir, "/tmp/r/Library/Application Support/Kivo");
  }
}

TEST(PreferencesTest, ReadsTheDocumentStrictly) {
  struct Case {
    std::string_view text;
    std::string_view error;  // empty: accepted
    std::uint32_t version = 1;
    std::string_view language = "en";
  };
  const Case cases[] = {
      {"{}", ""},
      {"{\"version\":0}", "", 0},
      {"{\"version\":4294967295,\"language\":\"de\"}\n", "", 4294967295u, "de"},
      {"{\"language\":\"fr\",\"theme\":{\"dark\":true}}", "", 1, "fr"},
      {"", "json error: EOF while parsing a value at line 1 column 0"},
      {"  \n", "json error: EOF while parsing a value at line 2 column 0"},
      {"{\"version\":4294967296}", "json error: invalid value: integer `4294967296`, expected u32"},
      {"{\"version\":-1}", "json error: invalid value: integer `-1`, expected u32"},
      {"{\"version\":1.0}", "json error: invalid type: floating point `1.0`, expected u32"},
      {"{\"language\":null}", "json error: invalid type: null, expected a string"},
      {"{\"language\":\"fr\"} x", "json error: trailing characters at line 1 column 19"},
      {"{\"version\":1,\"version\":2}", "json error: duplicate field `version`"},
      {"{\"language\":\"a\",\"language\":\"b\"}", "json error: duplicate field `language`"},
      {"[1,\"en\"]", "json error: invalid type: sequence, expected struct UiPreferences"},
  };
  for (const Case& c : cases) {
    Result<UiPreferences> preferences = parse_preferences(c.text);
    if (c.error.empty()) {
      ASSERT_TRUE(preferences) << c.text << ": " << preferences.error().display();
      EXPECT_EQ(preferences->version, c.version);
      EXPECT_EQ(preferences->language, c.language);
    } else {
      ASSERT_FALSE(preferences) << c.text;
      EXPECT_EQ(preferences.error().display(), c.error) << c.text;
    }
  }
}

TEST(PreferencesTest, KeepsOtherKeysWithTheLaterValueWinning) {
  Result<UiPreferences> preferences =
      parse_preferences(R"({"theme":{"dark":true},"zoom":1,"zoom":2})");
  ASSERT_TRUE(preferences);
  ASSERT_EQ(preferences->extra.size(), 2u);
  EXPECT_EQ(preferences->extra.at("zoom"), json::Value(2));
  EXPECT_TRUE(preferences->extra.at("theme").is_object());
}

TEST(PreferencesTest, FilesOnDisk) {
  TempDir dir;
  Result<UiPreferences> missing = load_preferences_at(dir.path() / "settings.json");
  ASSERT_TRUE(missing);
  EXPECT_EQ(*missing, UiPreferences{});

  Result<UiPreferences> found =
      load_preferences_at(dir.write("settings.json", R"({"language":"ja"})"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->language, "ja");

  Result<UiPreferences> not_text = load_preferences_at(dir.write("bad.json", "{\"a\":\"\xff\"}"));
  ASSERT_FALSE(not_text);
  EXPECT_EQ(not_text.error().kind(), KivoError::Kind::kIo);

  Result<UiPreferences> a_folder = load_preferences_at(dir.path());
  ASSERT_FALSE(a_folder);
  EXPECT_EQ(a_folder.error().kind(), KivoError::Kind::kIo);
}

}  // namespace
}  // namespace kivo
