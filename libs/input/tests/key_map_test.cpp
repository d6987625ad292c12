#include "kivo/input/key_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "kivo/input/worker_state.hpp"

namespace kivo::input {
namespace {

TEST(KeyMapTest, TranslatesVirtualKeys) {
  struct Case {
    std::uint16_t vk;
    std::uint16_t mac;
  };
  const Case cases[] = {
      {0x41, 0},                             // "A" is key code 0, a valid result
      {0x5A, 6},                             // Z, last letter
      {0x30, 29},                            // digit 0
      {0x39, 25},                            // digit 9
      {0x08, 51},                            // Back -> Delete
      {0x2D, 114},                           // Insert -> Help
      {0x2E, 117},                           // Delete -> Forward Delete
      {0x6C, 65},                            // separator and decimal share the keypad point
      {0x6E, 65},  {0x0C, 71},               // Clear and Num Lock share Keypad Clear
      {0x90, 71},  {0x10, 56},               // generic modifiers are the left-hand keys
      {0x11, 59},  {0x12, 58},  {0xA1, 60},  // right Shift
      {0xA3, 62},                            // right Control
      {0xA5, 61},                            // right Option
      {0x5B, 55},                            // Windows keys -> Command
      {0x5C, 54},  {0x70, 122},              // F1
      {0x7B, 111},                           // F12
      {0x83, 90},                            // F20
      {0x69, 92},                            // keypad 9
      {0xE2, 10},                            // ISO section, the highest code
  };
  for (const Case& c : cases) {
    auto mac = vk_to_cg_keycode(c.vk);
    ASSERT_TRUE(mac) << std::hex << c.vk;
    EXPECT_EQ(*mac, c.mac) << std::hex << c.vk;
  }
}

TEST(KeyMapTest, RejectsKeysWithoutDesktopKey) {
  struct Case {
    std::uint16_t vk;
    const char* text;
  };
  const Case cases[] = {
      {0x13, "unsupported virtual key: 0x0013"},  // Pause
      {0x2C, "unsupported virtual key: 0x002c"},  // Print Screen
      {0x91, "unsupported virtual key: 0x0091"},  // Scroll Lock
      {0xAD, "unsupported virtual key: 0x00ad"},  // volume mute
      {0x84, "unsupported virtual key: 0x0084"},  // F21, past the table's F keys
      {0x00, "unsupported virtual key: 0x0000"},   {0x1FF, "unsupported virtual key: 0x01ff"},
      {0xFFFF, "unsupported virtual key: 0xffff"},
  };
  for (const Case& c : cases) {
    auto mac = vk_to_cg_keycode(c.vk);
    ASSERT_FALSE(mac) << c.text;
    EXPECT_EQ(mac.error(), InputError::unsupported_virtual_key(c.vk));
    EXPECT_EQ(mac.error().text(), c.text);
  }
}

TEST(KeyMapTest, TableHas114Keys) {
  int supported = 0;
  for (std::uint32_t vk = 0; vk <= 0xFFFF; ++vk) {
    if (vk_to_cg_keycode(static_cast<std::uint16_t>(vk))) ++supported;
  }
  EXPECT_EQ(supported, 114);
}

TEST(KeyMapTest, HeldKeysGiveDeviceIndependentFlags) {
  struct Case {
    PressedKeys held;
    EventFlags flags;
  };
  const Case cases[] = {
      {{}, 0},
      {{54}, kFlagCommand},
      {{55}, kFlagCommand},
      {{56}, kFlagShift},
      {{60}, kFlagShift},
      {{57}, kFlagAlphaShift},
      {{58}, kFlagAlternate},
      {{61}, kFlagAlternate},
      {{59}, kFlagControl},
      {{62}, kFlagControl},
      {{0, 53, 63}, 0},  // A, Escape, and a code just past the modifiers
      {{55, 59, 0}, 0x140000},
      {{54, 55, 56, 57, 58, 59, 60, 61, 62}, 0x1F0000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(held_key_flags(c.held), c.flags) << ::testing::PrintToString(c.held);
  }
}

}  // namespace
}  // namespace kivo::input
