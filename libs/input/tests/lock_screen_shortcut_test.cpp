#include "kivo/input/lock_screen_shortcut.hpp"

#include <gtest/gtest.h>

#include "kivo/core/log.hpp"
#include "kivo/input/fake_event_poster.hpp"

namespace kivo::input {
namespace {

TEST(LockScreenShortcutTest, PostsCommandControlQ) {
  log::ScopedCapture log;
  auto desktop = std::make_shared<FakeEventPosterFactory>();
  auto poster = desktop->make_poster();
  ASSERT_TRUE(post_lock_screen_shortcut(*poster));
  EXPECT_EQ(desktop->posted(), (std::vector{PostedEvent::key(12, true, 0x140000),
                                            PostedEvent::key(12, false, 0x140000)}));
  const auto events = log.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::kInfo);
  EXPECT_EQ(events[0].target, "kivo_agent");
  EXPECT_EQ(events[0].message, "posted lock screen shortcut Cmd+Ctrl+Q");
}

TEST(LockScreenShortcutTest, FailedPostIsAnInvalidMessageNamingTheEvent) {
  struct Case {
    std::size_t failing_call;
    const char* text;
    std::size_t posted;
  };
  const Case cases[] = {
      {1, "failed to create Cmd+Ctrl+Q key down event", 0},
      {2, "failed to create Cmd+Ctrl+Q key up event", 1},
  };
  for (const Case& c : cases) {
    log::ScopedCapture log;
    auto desktop = std::make_shared<FakeEventPosterFactory>();
    auto poster = desktop->make_poster();
    desktop->fail_call(c.failing_call);
    auto locked = post_lock_screen_shortcut(*poster);
    ASSERT_FALSE(locked) << c.text;
    EXPECT_EQ(locked.error(), KivoError::invalid_message(c.text));
    EXPECT_EQ(desktop->posted().size(), c.posted);
    const auto events = log.events();
    ASSERT_EQ(events.size(), 1u) << c.text;
    EXPECT_EQ(events[0].level, log::Level::kWarn);
    EXPECT_EQ(events[0].message, c.text);
    EXPECT_EQ(events[0].field("keycode"), "12");
  }
}

}  // namespace
}  // namespace kivo::input
