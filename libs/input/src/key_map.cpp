#include "kivo/input/key_map.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace kivo::input {
namespace {

struct KeyMapping {
  std::uint16_t vk;
  std::uint16_t mac;
};

// Sorted by virtual-key code, so that a lookup is a binary search.
constexpr std::array<KeyMapping, 114> kKeyMap{{
    {0x08, 51},                                                      // Back -> Delete
    {0x09, 48},                                                      // Tab
    {0x0C, 71},                                                      // Clear -> Keypad Clear
    {0x0D, 36},                                                      // Return
    {0x10, 56},                                                      // Shift -> left Shift
    {0x11, 59},                                                      // Control -> left Control
    {0x12, 58},                                                      // Menu -> left Option
    {0x14, 57},                                                      // Caps Lock
    {0x1B, 53},                                                      // Escape
    {0x20, 49},                                                      // Space
    {0x21, 116},                                                     // Page Up
    {0x22, 121},                                                     // Page Down
    {0x23, 119},                                                     // End
    {0x24, 115},                                                     // Home
    {0x25, 123},                                                     // Left
    {0x26, 126},                                                     // Up
    {0x27, 124},                                                     // Right
    {0x28, 125},                                                     // Down
    {0x2D, 114},                                                     // Insert -> Help
    {0x2E, 117},                                                     // Delete -> Forward Delete
    {0x30, 29},  {0x31, 18},  {0x32, 19},  {0x33, 20},  {0x34, 21},  // digits 0..4
    {0x35, 23},  {0x36, 22},  {0x37, 26},  {0x38, 28},  {0x39, 25},  // digits 5..9
    {0x41, 0},   {0x42, 11},  {0x43, 8},   {0x44, 2},   {0x45, 14},  // A..E
    {0x46, 3},   {0x47, 5},   {0x48, 4},   {0x49, 34},  {0x4A, 38},  // F..J
    {0x4B, 40},  {0x4C, 37},  {0x4D, 46},  {0x4E, 45},  {0x4F, 31},  // K..O
    {0x50, 35},  {0x51, 12},  {0x52, 15},  {0x53, 1},   {0x54, 17},  // P..T
    {0x55, 32},  {0x56, 9},   {0x57, 13},  {0x58, 7},   {0x59, 16},  // U..Y
    {0x5A, 6},                                                       // Z
    {0x5B, 55},                                                      // left Windows -> Command
    {0x5C, 54},   // right Windows -> right Command
    {0x5D, 110},  // Apps -> Contextual Menu
    {0x60, 82},  {0x61, 83},  {0x62, 84},  {0x63, 85},  {0x64, 86},  // keypad 0..4
    {0x65, 87},  {0x66, 88},  {0x67, 89},  {0x68, 91},  {0x69, 92},  // keypad 5..9
    {0x6A, 67},                                                      // keypad *
    {0x6B, 69},                                                      // keypad +
    {0x6C, 65},  // separator -> keypad decimal point
    {0x6D, 78},  // keypad -
    {0x6E, 65},  // keypad decimal point
    {0x6F, 75},  // keypad /
    {0x70, 122}, {0x71, 120}, {0x72, 99},  {0x73, 118}, {0x74, 96},  {0x75, 97},   // F1..F6
    {0x76, 98},  {0x77, 100}, {0x78, 101}, {0x79, 109}, {0x7A, 103}, {0x7B, 111},  // F7..F12
    {0x7C, 105}, {0x7D, 107}, {0x7E, 113}, {0x7F, 106},                            // F13..F16
    {0x80, 64},  {0x81, 79},  {0x82, 80},  {0x83, 90},                             // F17..F20
    {0x90, 71},  // Num Lock -> Keypad Clear
    {0xA0, 56},  // left Shift
    {0xA1, 60},  // right Shift
    {0xA2, 59},  // left Control
    {0xA3, 62},  // right Control
    {0xA4, 58},  // left Option
    {0xA5, 61},  // right Option
    {0xBA, 41},  // ;
    {0xBB, 24},  // =
    {0xBC, 43},  // ,
    {0xBD, 27},  // -
    {0xBE, 47},  // .
    {0xBF, 44},  // /
    {0xC0, 50},  // `
    {0xDB, 33},  // [
    {0xDC, 42},  // backslash
    {0xDD, 30},  // ]
    {0xDE, 39},  // '
    {0xE2, 10},  // OEM 102 -> ISO Section
}};

constexpr bool sorted_without_duplicates() {
  for (std::size_t i = 1; i < kKeyMap.size(); ++i) {
    if (kKeyMap[i - 1].vk >= kKeyMap[i].vk) return false;
  }
  return true;
}
static_assert(sorted_without_duplicates(), "the key map must stay sorted for binary search");

}  // namespace

Expected<std::uint16_t, InputError> vk_to_cg_keycode(std::uint16_t vk_code) {
  const auto* found =
      std::lower_bound(kKeyMap.begin(), kKeyMap.end(), vk_code,
                       [](const KeyMapping& mapping, std::uint16_t vk) { return mapping.vk < vk; });
  if (found == kKeyMap.end() || found->vk != vk_code) {
    return fail(InputError::unsupported_virtual_key(vk_code));
  }
  return found->mac;
}

EventFlags modifier_flag(std::uint16_t mac_key_code) {
  switch (mac_key_code) {
    case 54:
    case 55:
      return kFlagCommand;
    case 56:
    case 60:
      return kFlagShift;
    case 57:
      return kFlagAlphaShift;
    case 58:
    case 61:
      return kFlagAlternate;
    case 59:
    case 62:
      return kFlagControl;
    default:
      return 0;
  }
}

}  // namespace kivo::input
