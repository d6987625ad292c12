#include "kivo/x11/x11_event_poster.hpp"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kivo/core/log.hpp"
#include "kivo/input/key_map.hpp"
#include "kivo/testing/temp_dir.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace kivo::x11 {
namespace {

using input::EventPoster;
using input::GlobalPoint;
using input::InputError;
using input::MouseEventType;
using kivo::testing::ScopedEnv;
using kivo::testing::XvfbServer;

constexpr int kEventTimeoutMs = 5'000;
constexpr xcb_keysym_t kKeysymA = 'a';
constexpr xcb_keysym_t kKeysymShiftL = 0xffe1;

// Every macOS key code a remote Windows key can become, with the Linux key
// at the same place.
const std::vector<std::pair<std::uint16_t, std::uint16_t>> kMacKeys = {
    {0, KEY_A},          {11, KEY_B},          {8, KEY_C},           {2, KEY_D},
    {14, KEY_E},         {3, KEY_F},           {5, KEY_G},           {4, KEY_H},
    {34, KEY_I},         {38, KEY_J},          {40, KEY_K},          {37, KEY_L},
    {46, KEY_M},         {45, KEY_N},          {31, KEY_O},          {35, KEY_P},
    {12, KEY_Q},         {15, KEY_R},          {1, KEY_S},           {17, KEY_T},
    {32, KEY_U},         {9, KEY_V},           {13, KEY_W},          {7, KEY_X},
    {16, KEY_Y},         {6, KEY_Z},           {29, KEY_0},          {18, KEY_1},
    {19, KEY_2},         {20, KEY_3},          {21, KEY_4},          {23, KEY_5},
    {22, KEY_6},         {26, KEY_7},          {28, KEY_8},          {25, KEY_9},
    {122, KEY_F1},       {120, KEY_F2},        {99, KEY_F3},         {118, KEY_F4},
    {96, KEY_F5},        {97, KEY_F6},         {98, KEY_F7},         {100, KEY_F8},
    {101, KEY_F9},       {109, KEY_F10},       {103, KEY_F11},       {111, KEY_F12},
    {105, KEY_F13},      {107, KEY_F14},       {113, KEY_F15},       {106, KEY_F16},
    {64, KEY_F17},       {79, KEY_F18},        {80, KEY_F19},        {90, KEY_F20},
    {123, KEY_LEFT},     {126, KEY_UP},        {124, KEY_RIGHT},     {125, KEY_DOWN},
    {82, KEY_KP0},       {83, KEY_KP1},        {84, KEY_KP2},        {85, KEY_KP3},
    {86, KEY_KP4},       {87, KEY_KP5},        {88, KEY_KP6},        {89, KEY_KP7},
    {91, KEY_KP8},       {92, KEY_KP9},        {67, KEY_KPASTERISK}, {69, KEY_KPPLUS},
    {65, KEY_KPDOT},     {78, KEY_KPMINUS},    {75, KEY_KPSLASH},    {71, KEY_NUMLOCK},
    {56, KEY_LEFTSHIFT}, {60, KEY_RIGHTSHIFT}, {59, KEY_LEFTCTRL},   {62, KEY_RIGHTCTRL},
    {58, KEY_LEFTALT},   {61, KEY_RIGHTALT},   {55, KEY_LEFTMETA},   {54, KEY_RIGHTMETA},
    {57, KEY_CAPSLOCK},  {36, KEY_ENTER},      {48, KEY_TAB},        {49, KEY_SPACE},
    {51, KEY_BACKSPACE}, {53, KEY_ESC},        {114, KEY_INSERT},    {117, KEY_DELETE},
    {115, KEY_HOME},     {119, KEY_END},       {116, KEY_PAGEUP},    {121, KEY_PAGEDOWN},
    {41, KEY_SEMICOLON}, {24, KEY_EQUAL},      {43, KEY_COMMA},      {27, KEY_MINUS},
    {47, KEY_DOT},       {44, KEY_SLASH},      {50, KEY_GRAVE},      {33, KEY_LEFTBRACE},
    {42, KEY_BACKSLASH}, {30, KEY_RIGHTBRACE}, {39, KEY_APOSTROPHE}, {10, KEY_102ND},
    {110, KEY_COMPOSE},
};

TEST(EvdevKeyCodeTest, TranslatesEveryKeyARemoteKeyboardCanSend) {
  for (const auto& [mac, linux_code] : kMacKeys) {
    EXPECT_EQ(evdev_key_code(mac), std::optional<std::uint16_t>(linux_code)) << "macOS key " << mac;
  }
}

TEST(EvdevKeyCodeTest, EveryRemoteKeyHasAKey) {
  int translated = 0;
  for (std::uint32_t vk = 0; vk <= 0xffff; ++vk) {
    const auto mac = input::vk_to_cg_keycode(static_cast<std::uint16_t>(vk));
    if (!mac) continue;
    ++translated;
    EXPECT_TRUE(evdev_key_code(*mac)) << "virtual key " << vk << ", macOS key " << *mac;
  }
  EXPECT_GE(translated, 100) << "the virtual-key table looks empty";
}

TEST(EvdevKeyCodeTest, HasNoKeyForCodesWithoutOne) {
  // 52 and 63 are unassigned or the fn key; 127 is the last 7-bit code.
  for (const std::uint16_t mac : std::initializer_list<std::uint16_t>{52, 63, 127, 128, 0xffff}) {
    EXPECT_EQ(evdev_key_code(mac), std::nullopt) << "macOS key " << mac;
  }
}

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeDeleter>;
using OwnedEvent = Owned<xcb_generic_event_t>;

// The test's own client: a window that takes the posted events, and reads of
// the pointer and the keyboard mapping.
class Observer {
 public:
  explicit Observer(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_.get())).data;
  }

  bool ok() const { return xcb_connection_has_error(c_.get()) == 0; }

  // An override-redirect window over the whole screen that has the input
  // focus and reports buttons and keys.
  void open_window() {
    window_ = xcb_generate_id(c_.get());
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                           XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                           XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c_.get(), XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0,
                      screen_->width_in_pixels, screen_->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_.get(), window_);
    xcb_flush(c_.get());
    while (OwnedEvent event = next_event()) {
      if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) break;
    }
    xcb_set_input_focus(c_.get(), XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    sync();
  }

  // The next button or key event, or null after the time-out.
  OwnedEvent next_input_event() {
    while (OwnedEvent event = next_event()) {
      switch (event->response_type & 0x7f) {
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE:
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE:
          return event;
        default:
          break;
      }
    }
    return nullptr;
  }

  // Where the pointer is once it has reached `expected`, or where it stays:
  // the server moves it a little after it has taken the request.
  std::pair<int, int> pointer_once_at(std::pair<int, int> expected) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventTimeoutMs);
    std::pair<int, int> now = pointer();
    while (now != expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      now = pointer();
    }
    return now;
  }

  std::pair<int, int> pointer() {
    Owned<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(c_.get(), xcb_query_pointer(c_.get(), screen_->root), nullptr));
    return reply ? std::pair<int, int>{reply->root_x, reply->root_y} : std::pair<int, int>{-1, -1};
  }

  xcb_keysym_t first_keysym(xcb_keycode_t keycode) {
    Owned<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        c_.get(), xcb_get_keyboard_mapping(c_.get(), keycode, 1), nullptr));
    if (!reply || xcb_get_keyboard_mapping_keysyms_length(reply.get()) == 0) return 0;
    return xcb_get_keyboard_mapping_keysyms(reply.get())[0];
  }

  // Gives key codes `first` ... new keysyms, one per key code.
  void remap(xcb_keycode_t first, const std::vector<xcb_keysym_t>& keysyms) {
    xcb_change_keyboard_mapping(c_.get(), static_cast<std::uint8_t>(keysyms.size()), first, 1,
                                keysyms.data());
    sync();
  }

  void sync() {
    std::free(xcb_get_input_focus_reply(c_.get(), xcb_get_input_focus(c_.get()), nullptr));
  }

 private:
  OwnedEvent next_event() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventTimeoutMs);
    for (;;) {
      if (xcb_generic_event_t* event = xcb_poll_for_event(c_.get())) return OwnedEvent(event);
      if (xcb_connection_has_error(c_.get()) != 0) return nullptr;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return nullptr;
      pollfd entry{xcb_get_file_descriptor(c_.get()), POLLIN, 0};
      ::poll(&entry, 1, static_cast<int>(left.count()));
    }
  }

  struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
  };
  std::unique_ptr<xcb_connection_t, Disconnect> c_;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = XCB_NONE;
};

class X11EventPosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(server_.start()) << server_.last_error();
    observer_ = std::make_unique<Observer>(server_.display_name());
    ASSERT_TRUE(observer_->ok());
  }

  std::unique_ptr<EventPoster> make_poster() {
    X11EventPosterFactory factory(server_.display_name());
    auto poster = factory.create();
    if (!poster) {
      ADD_FAILURE() << poster.error().text();
      return nullptr;
    }
    return std::move(poster).value();
  }

  struct Received {
    std::uint8_t type = 0;
    std::uint8_t detail = 0;
    int x = -1;
    int y = -1;
    std::uint16_t state = 0;
  };

  // The next button or key event that reached the window.
  Received next() {
    OwnedEvent event = observer_->next_input_event();
    if (!event) {
      ADD_FAILURE() << "no input event arrived";
      return {};
    }
    // Button and key events share their layout.
    const auto* input = reinterpret_cast<const xcb_button_press_event_t*>(event.get());
    return {static_cast<std::uint8_t>(event->response_type & 0x7f), input->detail, input->event_x,
            input->event_y, input->state};
  }

  // Posts a Space press: the next event to arrive must be that one, so
  // whatever was posted before it sent nothing.
  void expect_marker_next(EventPoster& poster) {
    ASSERT_TRUE(poster.post_key(49, true, 0));
    Received marker = next();
    EXPECT_EQ(marker.type, XCB_KEY_PRESS);
    EXPECT_EQ(marker.detail, KEY_SPACE + 8);
    ASSERT_TRUE(poster.post_key(49, false, 0));
  }

  XvfbServer server_;  // 1280 x 720
  std::unique_ptr<Observer> observer_;
};

TEST_F(X11EventPosterTest, MovesLandThePointerOnTheNearestPixelInsideTheScreen) {
  std::unique_ptr<EventPoster> poster = make_poster();
  ASSERT_NE(poster, nullptr);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    MouseEventType type;
    GlobalPoint point;
    std::pair<int, int> expected;
  } cases[] = {
      {MouseEventType::kMouseMoved, {100.4, 200.6}, {100, 201}},
      {MouseEventType::kLeftMouseDragged, {640.5, 0.49}, {641, 0}},
      {MouseEventType::kRightMouseDragged, {-50, -3}, {0, 0}},
      {MouseEventType::kOtherMouseDragged, {5000, 1e12}, {1279, 719}},
      {MouseEventType::kMouseMoved, {nan, 10}, {0, 10}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(poster->post_mouse(c.type, 0, 1, 0, c.point));
    EXPECT_EQ(observer_->pointer_once_at(c.expected), c.expected) << c.point.x << ", " << c.point.y;
  }
}

TEST_F(X11EventPosterTest, PressesAndReleasesTheXButtonAtThePoint) {
  observer_->open_window();
  std::unique_ptr<EventPoster> poster = make_poster();
  ASSERT_NE(poster, nullptr);
  const struct {
    MouseEventType press;
    MouseEventType release;
    std::uint32_t button_number;
    std::uint8_t x_button;
  } cases[] = {
      {MouseEventType::kLeftMouseDown, MouseEventType::kLeftMouseUp, 0, 1},
      {MouseEventType::kRightMouseDown, MouseEventType::kRightMouseUp, 1, 3},
      {MouseEventType::kOtherMouseDown, MouseEventType::kOtherMouseUp, 2, 2},
      {MouseEventType::kOtherMouseDown, MouseEventType::kOtherMouseUp, 3, 8},
      {MouseEventType::kOtherMouseDown, MouseEventType::kOtherMouseUp, 4, 9},
  };
  int x = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "button number " << c.button_number);
    x += 50;
    // Click states and flags mean nothing to X and change nothing.
    ASSERT_TRUE(poster->post_mouse(c.press, c.button_number, 2, input::kFlagShift, {x + 0.2, 30}));
    Received press = next();
    EXPECT_EQ(press.type, XCB_BUTTON_PRESS);
    EXPECT_EQ(press.detail, c.x_button);
    EXPECT_EQ(std::pair(press.x, press.y), std::pair(x, 30));
    EXPECT_EQ(press.state & XCB_MOD_MASK_SHIFT, 0);

    ASSERT_TRUE(poster->post_mouse(c.release, c.button_number, 2, 0, {x + 5.0, 40}));
    Received release = next();
    EXPECT_EQ(release.type, XCB_BUTTON_RELEASE);
    EXPECT_EQ(release.detail, c.x_button);
    EXPECT_EQ(std::pair(release.x, release.y), std::pair(x + 5, 40));
  }
}

TEST_F(X11EventPosterTest, RefusesButtonsAndTypesWithoutAnXCounterpart) {
  observer_->open_window();
  std::unique_ptr<EventPoster> poster = make_poster();
  ASSERT_NE(poster, nullptr);
  EXPECT_EQ(poster->post_mouse(MouseEventType::kOtherMouseDown, 5, 1, 0, {1, 1}).error(),
            InputError::event_creation_failed("mouse"));
  EXPECT_EQ(poster->post_mouse(static_cast<MouseEventType>(99), 0, 1, 0, {1, 1}).error(),
            InputError::event_creation_failed("mouse"));
  expect_marker_next(*poster);
}

TEST_F(X11EventPosterTest, EachWheelLineIsOneClickOfButtonFourOrFive) {
  observer_->open_window();
  std::unique_ptr<EventPoster> poster = make_poster();
  ASSERT_NE(poster, nullptr);
  const struct {
    std::int32_t lines;
    std::uint8_t button;
    int clicks;
  } cases[] = {{2, 4, 2}, {-1, 5, 1}, {-3, 5, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.lines << " lines");
    ASSERT_TRUE(poster->post_scroll(c.lines, 0));
    for (int i = 0; i < c.clicks; ++i) {
      Received press = next();
      EXPECT_EQ(press.type, XCB_BUTTON_PRESS);
      EXPECT_EQ(press.detail, c.button);
      Received release = next();
      EXPECT_EQ(release.type, XCB_BUTTON_RELEASE);
      EXPECT_EQ(release.detail, c.button);
    }
  }
  ASSERT_TRUE(poster->post_scroll(0, 0));
  expect_marker_next(*poster);
}

TEST_F(X11EventPosterTest, KeysArriveByPositionWithTheModifiersActuallyHeld) {
  observer_->open_window();
  std::unique_ptr<EventPoster> poster = make_poster();
  ASSERT_NE(poster, nullptr);

  // Shift (56), then A (0) while it is held, then both released.
  ASSERT_TRUE(poster->post_key(56, true, input::kFlagShift));
  Received shift = next();
  EXPECT_EQ(shift.type, XCB_KEY_PRESS);
  EXPECT_EQ(observer_->first_keysym(shift.detail), kKeysymShiftL);

  ASSERT_TRUE(poster->post_key(0, true, 0));
  Received a = next();
  EXPECT_EQ(a.type, XCB_KEY_PRESS);
  EXPECT_EQ(a.detail, KEY_A + 8);
  EXPECT_EQ(observer_->first_keysym(a.detail), kKeysymA);
  EXPECT_NE(a.state & XCB_MOD_MASK_SHIFT, 0);

  ASSERT_TRUE(poster->post_key(0, false, input::kFlagShift));
  EXPECT_EQ(next().type, XCB_KEY_RELEASE);
  ASSERT_TRUE(poster->post_key(56, false, 0));
  Received shift_up = next();
  EXPECT_EQ(shift_up.type, XCB_KEY_RELEASE);
  EXPECT_EQ(shift_up.detail, KEY_LEFTSHIFT + 8);

  // A code without a key posts nothing.
  EXPECT_EQ(poster->post_key(52, true, 0).error(), InputError::event_creation_failed("keyboard"));
  expect_marker_next(*poster);
}

TEST_F(X11EventPosterTest, EveryTranslatedKeyReachesTheServer) {
  observer_->open_window();
  std::unique_ptr<EventPoster> poster = make_poster();
  ASSERT_NE(poster, nullptr);
  for (const auto& [mac, linux_code] : kMacKeys) {
    SCOPED_TRACE(::testing::Message() << "macOS key " << mac);
    ASSERT_TRUE(poster->post_key(mac, true, 0));
    ASSERT_TRUE(poster->post_key(mac, false, 0));
    Received press = next();
    Received release = next();
    EXPECT_EQ(press.type, XCB_KEY_PRESS);
    EXPECT_EQ(press.detail, linux_code + 8);
    EXPECT_EQ(release.type, XCB_KEY_RELEASE);
    EXPECT_EQ(release.detail, linux_code + 8);
  }
}

TEST_F(X11EventPosterTest, EveryCallFailsOnceTheServerIsGone) {
  std::unique_ptr<EventPoster> poster = make_poster();
  ASSERT_NE(poster, nullptr);
  ASSERT_TRUE(poster->post_mouse(MouseEventType::kMouseMoved, 0, 1, 0, {5, 5}));
  server_.kill();
  log::ScopedCapture logs;
  EXPECT_EQ(poster->post_mouse(MouseEventType::kMouseMoved, 0, 1, 0, {6, 6}).error(),
            InputError::event_creation_failed("mouse"));
  EXPECT_EQ(poster->post_scroll(1, 0).error(), InputError::event_creation_failed("scroll"));
  EXPECT_EQ(poster->post_key(0, true, 0).error(), InputError::event_creation_failed("keyboard"));

  int warnings = 0;
  for (const log::CapturedEvent& event : logs.events()) {
    if (event.message != "X connection for synthetic input lost") continue;
    ++warnings;
    EXPECT_EQ(event.level, log::Level::kWarn);
    EXPECT_EQ(event.field("error"), "socket, pipe or stream error");
  }
  EXPECT_EQ(warnings, 1);
}

TEST_F(X11EventPosterTest, EachCreateHasAConnectionOfItsOwn) {
  X11EventPosterFactory factory(server_.display_name());
  auto first = factory.create();
  ASSERT_TRUE(first);
  auto second = factory.create();
  ASSERT_TRUE(second);
  first->reset();
  ASSERT_TRUE((*second)->post_mouse(MouseEventType::kMouseMoved, 0, 1, 0, {7, 8}));
  EXPECT_EQ(observer_->pointer_once_at({7, 8}), std::pair(7, 8));
}

TEST_F(X11EventPosterTest, RefusesAServerWithOtherKeyCodes) {
  // The older XFree86 numbering puts Print and the right Alt key where evdev
  // has Up and Left.
  observer_->remap(KEY_UP + 8, {0xff61 /* Print */, 0, 0xffea /* Alt_R */});
  X11EventPosterFactory factory(server_.display_name());
  auto poster = factory.create();
  ASSERT_FALSE(poster);
  EXPECT_EQ(poster.error().text(),
            "input event source unavailable: X server on " + server_.display_name() +
                " does not use evdev key codes (key codes 111 and 113 are not Up and Left)");
}

TEST_F(X11EventPosterTest, TakesTheDisplayFromTheEnvironment) {
  {
    ScopedEnv display("DISPLAY", nullptr);
    auto poster = X11EventPosterFactory().create();
    ASSERT_FALSE(poster);
    EXPECT_EQ(poster.error().text(),
              "input event source unavailable: no X display: DISPLAY is not set");
  }
  ScopedEnv display("DISPLAY", server_.display_name().c_str());
  auto poster = X11EventPosterFactory().create();
  ASSERT_TRUE(poster) << poster.error().text();
  ASSERT_TRUE((*poster)->post_mouse(MouseEventType::kMouseMoved, 0, 1, 0, {3, 4}));
  EXPECT_EQ(observer_->pointer_once_at({3, 4}), std::pair(3, 4));
}

TEST(X11EventPosterFactoryTest, NamesTheDisplayItCannotUse) {
  if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
  XvfbServer::Options options;
  options.extra_arguments = {"-extension", "XTEST"};
  XvfbServer server(options);
  ASSERT_TRUE(server.start()) << server.last_error();
  auto poster = X11EventPosterFactory(server.display_name()).create();
  ASSERT_FALSE(poster);
  EXPECT_EQ(poster.error(), InputError::event_source_unavailable("XTEST extension missing on " +
                                                                 server.display_name()));

  server.stop();
  poster = X11EventPosterFactory(server.display_name()).create();
  ASSERT_FALSE(poster);
  EXPECT_EQ(poster.error().text(), "input event source unavailable: cannot connect to X display " +
                                       server.display_name() + ": socket, pipe or stream error");
}

}  // namespace
}  // namespace kivo::x11
