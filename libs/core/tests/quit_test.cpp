#include "kivo/core/quit.hpp"

#include <gtest/gtest.h>

#include "kivo/core/log.hpp"
#include "kivo/testing/temp_dir.hpp"

namespace kivo {
namespace {

using testing::TempDir;

constexpr std::string_view kBoot = "8f4c2a10-1111-2222-3333-444455556666";

std::string latch_json(std::string_view quit_id, std::string_view boot) {
  return fmt::format(
      R"({{"version":1,"quit_id":"{}","boot_session_uuid":"{}","created_at_unix_ms":5}})", quit_id,
      boot);
}

std::string intent_json(std::string_view quit_id, std::string_view boot) {
  return fmt::format(R"({{"version":1,"quit_id":"{}","boot_session_uuid":"{}","requested_at":7}})",
                     quit_id, boot);
}

class QuitGateTest : public ::testing::Test {
 protected:
  GateLocations where() const {
    return {{dir_.path() / "service", dir_.path() / "service-logs"}, dir_.path() / "user"};
  }
  std::filesystem::path latch_path() const {
    return where().service_paths.support_dir / kQuitLatchFile;
  }
  std::filesystem::path intent_path() const { return where().user_support_dir / kResumeIntentFile; }
  void write_latch(std::string_view content) const {
    dir_.write(std::filesystem::relative(latch_path(), dir_.path()), content);
  }
  void write_intent(std::string_view content) const {
    dir_.write(std::filesystem::relative(intent_path(), dir_.path()), content);
  }
  Result<StartupGate> gate() const {
    return evaluate_startup_gate_at(where(),
                                    [] { return Result<std::string>(std::string(kBoot)); });
  }

  TempDir dir_;
};

TEST_F(QuitGateTest, DecidesFromLatchAndIntent) {
  struct Case {
    const char* name;
    std::optional<std::string> latch;
    std::optional<std::string> intent;
    StartupGate expected;
    bool latch_kept;
    bool intent_kept;
  };
  std::string upper_boot(kBoot);
  for (char& c : upper_boot) c = static_cast<char>(std::toupper(c));
  const Case cases[] = {
      {"nothing on disk", {}, {}, StartupGate::start(), false, false},
      {"intent without latch", {}, intent_json("q1", kBoot), StartupGate::start(), false, false},
      {"latch of an earlier boot", latch_json("q1", "other-boot"), intent_json("q1", kBoot),
       StartupGate::start(), false, false},
      {"boot id in another letter case is another boot",
       latch_json("q1", upper_boot),
       {},
       StartupGate::start(),
       false,
       false},
      {"matching intent", latch_json("q1", kBoot), intent_json("q1", kBoot),
       StartupGate::resume("q1"), true, true},
      {"no intent", latch_json("q1", kBoot), {}, StartupGate::exit(), true, false},
      {"intent for another quit", latch_json("q1", kBoot), intent_json("q2", kBoot),
       StartupGate::exit(), true, true},
      {"intent for another boot", latch_json("q1", kBoot), intent_json("q1", "other-boot"),
       StartupGate::exit(), true, true},
      {"latch as an array with an unknown key elsewhere", fmt::format(R"([1,"q1","{}",5])", kBoot),
       intent_json("q1", kBoot), StartupGate::resume("q1"), true, true},
      {"latch with an extra key",
       fmt::format(R"({{"reason":"user","version":1,"quit_id":"q1","boot_session_uuid":"{}",)"
                   R"("created_at_unix_ms":5}})",
                   kBoot),
       {},
       StartupGate::exit(),
       true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.path() / "service");
    std::filesystem::remove_all(dir_.path() / "user");
    std::filesystem::create_directories(where().user_support_dir);
    if (c.latch) write_latch(*c.latch);
    if (c.intent) write_intent(*c.intent);

    Result<StartupGate> answer = gate();
    ASSERT_TRUE(answer) << answer.error().display();
    EXPECT_EQ(*answer, c.expected);
    EXPECT_EQ(std::filesystem::exists(latch_path()), c.latch && c.latch_kept);
    EXPECT_EQ(std::filesystem::exists(intent_path()), c.intent && c.intent_kept);
  }
}

TEST_F(QuitGateTest, MalformedFilesFailAndStay) {
  struct Case {
    std::string latch;
    std::string intent;
    std::string_view error;
  };
  const Case cases[] = {
      {R"({"version":1,"quit_id":"q","boot_session_uuid":"b"})", "",
       "json error: missing field `created_at_unix_ms`"},
      {R"({"version":1,"version":1,"quit_id":"q"})", "", "json error: duplicate field `version`"},
      {R"([1,"q","b"])", "",
       "json error: invalid length 3, expected struct QuitLatch with 4 elements"},
      {R"([1,"q","b",5,6])", "",
       "json error: invalid length 5, expected struct QuitLatch with 4 elements"},
      {latch_json("q", kBoot) + " x", "", "json error: trailing characters at line 1 column 111"},
      {latch_json("q", kBoot), R"([1,"q"])",
       "json error: invalid length 2, expected struct ResumeIntent with 4 elements"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.latch + " / " + c.intent);
    std::filesystem::remove_all(dir_.path() / "user");
    write_latch(c.latch);
    if (!c.intent.empty()) write_intent(c.intent);
    Result<StartupGate> answer = gate();
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error().display(), c.error);
    EXPECT_TRUE(std::filesystem::exists(latch_path()));
  }
}

TEST_F(QuitGateTest, BootSessionFailurePassesThroughAndKeepsTheLatch) {
  write_latch(latch_json("q", "other"));
  Result<StartupGate> answer = evaluate_startup_gate_at(
      where(), [] { return Result<std::string>(fail(KivoError::invalid_message("no boot"))); });
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error().display(), "invalid message: no boot");
  EXPECT_TRUE(std::filesystem::exists(latch_path()));
}

TEST_F(QuitGateTest, FinishingAResumeDeletesTheIntentOnlyOnceTheLatchIsGone) {
  const BootSessionSource boot = [] { return Result<std::string>(std::string(kBoot)); };
  const std::filesystem::path support = where().user_support_dir;
  write_intent(intent_json("q1", kBoot));

  {
    write_latch(latch_json("q1", kBoot));
    log::ScopedCapture capture;
    finish_resume_after_hello_at("q1", support, where().service_paths, boot);
    const std::vector<log::CapturedEvent> events = capture.events();
    ASSERT_EQ(events.size(), 1u);
    const log::CapturedEvent& event = events[0];
    EXPECT_EQ(event.level, log::Level::kWarn);
    EXPECT_EQ(event.target, "kivo_quit");
    EXPECT_EQ(event.message, "quit latch still active after resume hello; keeping resume intent");
    EXPECT_EQ(event.field("quit_id"), "q1");
    EXPECT_TRUE(std::filesystem::exists(intent_path()));
  }
  {
    write_latch("not json");
    log::ScopedCapture capture;
    finish_resume_after_hello_at("q1", support, where().service_paths, boot);
    ASSERT_EQ(capture.events().size(), 1u);
    EXPECT_EQ(capture.events()[0].message,
              "failed to confirm resume latch state; keeping resume intent");
    EXPECT_TRUE(std::filesystem::exists(intent_path()));
  }
  {
    log::ScopedCapture capture;
    finish_resume_after_hello_at("q1", fail(KivoError::invalid_message("no home")),
                                 where().service_paths, boot);
    ASSERT_EQ(capture.events().size(), 1u);
    EXPECT_EQ(capture.events()[0].message, "failed to resolve user paths after resume hello");
    EXPECT_EQ(capture.events()[0].field("error"), "invalid message: no home");
  }
  {
    std::filesystem::remove(latch_path());
    log::ScopedCapture capture;
    finish_resume_after_hello_at("q1", support, where().service_paths, boot);
    EXPECT_TRUE(capture.events().empty());
    EXPECT_FALSE(std::filesystem::exists(intent_path()));
  }
}

TEST(BootSessionTest, ReadsTheIdentifierByTheKernelRules) {
  struct Case {
    std::string raw;
    std::string_view expected;  // or the error's display
    bool ok;
  };
  const Case cases[] = {
      {"abc\n", "abc", true},
      {std::string("abc\0", 4), "abc", true},
      {"  abc \t", "abc", true},
      {"", "invalid message: kern.bootsessionuuid returned an empty length", false},
      {std::string("\0", 1), "invalid message: kern.bootsessionuuid returned an empty UUID", false},
      {"  \n", "invalid message: kern.bootsessionuuid returned an empty UUID", false},
      {"\xff",
       "invalid message: invalid boot session uuid: invalid utf-8 sequence of 1 bytes "
       "from index 0",
       false},
      {"abc\xe2\x82",
       "invalid message: invalid boot session uuid: incomplete utf-8 byte "
       "sequence from index 3",
       false},
  };
  for (const Case& c : cases) {
    Result<std::string> id = boot_session_uuid_from(c.raw);
    if (c.ok) {
      ASSERT_TRUE(id) << id.error().display();
      EXPECT_EQ(*id, c.expected);
    } else {
      ASSERT_FALSE(id);
      EXPECT_EQ(id.error().display(), c.expected);
    }
  }
  Result<std::string> real = boot_session_uuid();
  ASSERT_TRUE(real) << real.error().display();
  EXPECT_EQ(real->size(), 36u);
}

}  // namespace
}  // namespace kivo
