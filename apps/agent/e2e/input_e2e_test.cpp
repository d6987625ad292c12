// Remote input through the real kivo-agent into a private X server: an
// "inject_input" move lands the X pointer at the mapped point, a key press
// reaches a window of ours as the key at that position, stale epochs and
// positions outside the frame are refused with their errors, and
// "reset_input" leaves no key or button held.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "agent_session.hpp"
#include "kivo/testing/xvfb_server.hpp"

namespace kivo::agent::e2e {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr auto kWait = kAgentPatience;
// evdev KEY_A (30) plus the X server's offset of 8.
constexpr xcb_keycode_t kXKeyA = 38;

template <class T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// Our own client of the X server: a focused window that collects key
// presses, and the pointer and keyboard state as the server sees them.
class XClient {
 public:
  explicit XClient(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    window_ = xcb_generate_id(connection_);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0, 1280, 720, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(connection_, window_);
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  ~XClient() { xcb_disconnect(connection_); }
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  bool ok() const { return xcb_connection_has_error(connection_) == 0; }

  struct Pointer {
    int x = -1;
    int y = -1;
    std::uint16_t buttons = 0;  // the button bits of the pointer's mask
  };
  Pointer pointer() {
    XcbReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, screen_->root),
                                nullptr),
        &std::free);
    if (!reply) return {};
    return {reply->root_x, reply->root_y,
            static_cast<std::uint16_t>(reply->mask &
                                       (XCB_KEY_BUT_MASK_BUTTON_1 | XCB_KEY_BUT_MASK_BUTTON_2 |
                                        XCB_KEY_BUT_MASK_BUTTON_3))};
  }

  // Waits until the pointer satisfies `wanted`.
  template <class Predicate>
  bool await_pointer(Predicate wanted) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (wanted(pointer())) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  // The key code of the next key press that reaches our window.
  std::optional<xcb_keycode_t> await_key_press() {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const std::uint8_t type = event->response_type & 0x7F;
        std::optional<xcb_keycode_t> key;
        if (type == XCB_KEY_PRESS) key = reinterpret_cast<xcb_key_press_event_t*>(event)->detail;
        std::free(event);
        if (key) return key;
      }
      std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
  }

  // Whether the server holds any key down.
  bool any_key_down() {
    XcbReply<xcb_query_keymap_reply_t> reply(
        xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr), &std::free);
    if (!reply) return true;
    for (std::uint8_t byte : reply->keys) {
      if (byte != 0) return true;
    }
    return false;
  }

 private:
  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
};

class InputE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kivo::testing::XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(xvfb_.start()) << xvfb_.last_error();
    client_ = std::make_unique<XClient>(xvfb_.display_name());
    ASSERT_TRUE(client_->ok());
    ASSERT_EQ(session_.start({.display = xvfb_.display_name(),
                              .environment = {},
                              .on_media_frame = {},
                              .on_document = {}}),
              "");

    protocol::CaptureConfig config;
    config.width = 1280;
    config.height = 720;
    config.fps = 30;
    config.bitrate_kbps = 2000;
    auto started = command(protocol::StartCapture{config});
    ASSERT_TRUE(started && started->type() == "status") << (started ? started->raw : "no reply");
    const auto ready = session_.await_input_ready();
    ASSERT_TRUE(ready) << session_.agent().standard_error();
    input_epoch_ = ready->input_epoch;
    geometry_epoch_ = ready->geometry->epoch;
  }

  void TearDown() override {
    if (session_.running()) {
      EXPECT_EQ(session_.quit(), 0) << session_.agent().standard_error();
      EXPECT_TRUE(session_.service().violations().empty());
    }
  }

  std::optional<standin::AgentDocument> command(protocol::ServiceToAgent message) {
    return session_.command(std::move(message));
  }

  std::optional<standin::AgentDocument> inject(protocol::InputEvent event) {
    return command(protocol::InjectInput{
        .event = std::move(event), .geometry_epoch = geometry_epoch_, .input_epoch = input_epoch_});
  }

  static protocol::MouseEvent mouse(protocol::MouseAction action, std::int32_t x, std::int32_t y,
                                    std::optional<protocol::MouseButton> button = std::nullopt) {
    return {.action = action, .has_xy = true, .button = button, .x = x, .y = y};
  }

  static protocol::KeyboardEvent key(std::uint16_t vk_code, bool down) {
    protocol::KeyboardEvent event;
    event.is_down = down;
    event.vk_code = vk_code;
    return event;
  }

  kivo::testing::XvfbServer xvfb_;
  std::unique_ptr<XClient> client_;
  AgentSession session_;
  std::uint64_t input_epoch_ = 0;
  std::uint64_t geometry_epoch_ = 0;
};

TEST_F(InputE2eTest, AMoveLandsThePointerAndAKeyReachesTheFocusedWindow) {
  auto moved = inject(mouse(protocol::MouseAction::kMove, 321, 123));
  ASSERT_TRUE(moved);
  EXPECT_THAT(moved->raw, HasSubstr(R"("type":"input_accepted")"));
  EXPECT_TRUE(client_->await_pointer([](XClient::Pointer p) { return p.x == 321 && p.y == 123; }))
      << client_->pointer().x << "," << client_->pointer().y;

  ASSERT_TRUE(inject(key(0x41, true)));
  ASSERT_TRUE(inject(key(0x41, false)));
  EXPECT_EQ(client_->await_key_press(), kXKeyA);
}

TEST_F(InputE2eTest, StaleEpochsAndPositionsOutsideTheFrameAreRefused) {
  struct Case {
    protocol::InjectInput command;
    std::string error_key;
  };
  const Case cases[] = {
      {{mouse(protocol::MouseAction::kMove, 10, 10), geometry_epoch_, input_epoch_ + 1},
       "agent.stale_input_epoch"},
      {{mouse(protocol::MouseAction::kMove, 10, 10), geometry_epoch_ + 1, input_epoch_},
       "agent.stale_geometry_epoch"},
      {{mouse(protocol::MouseAction::kMove, 1280, 10), geometry_epoch_, input_epoch_},
       "agent.input_out_of_bounds"},
  };
  for (const Case& c : cases) {
    auto reply = command(c.command);
    ASSERT_TRUE(reply);
    EXPECT_THAT(reply->raw, HasSubstr(R"("type":"error")")) << c.error_key;
    EXPECT_THAT(reply->raw, HasSubstr(c.error_key));
  }
}

TEST_F(InputE2eTest, ResetLeavesNoKeyOrButtonHeld) {
  ASSERT_TRUE(inject(mouse(protocol::MouseAction::kDown, 400, 300, protocol::MouseButton::kLeft)));
  ASSERT_TRUE(inject(key(0x10, true)));  // Shift
  ASSERT_TRUE(inject(key(0x41, true)));
  ASSERT_TRUE(client_->await_pointer([](XClient::Pointer p) { return p.buttons != 0; }));

  auto reset = command(protocol::ResetInput{.input_epoch = input_epoch_});
  ASSERT_TRUE(reset);
  EXPECT_THAT(reset->raw, HasSubstr(R"("type":"input_accepted")"));
  EXPECT_TRUE(client_->await_pointer([](XClient::Pointer p) { return p.buttons == 0; }));
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (client_->any_key_down() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(client_->any_key_down());
}

}  // namespace
}  // namespace kivo::agent::e2e
