#include "kivo/protocol/service_message.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::protocol {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

// A whole envelope around one command, with a fixed stamp and no request id.
std::string around(std::string_view message) {
  return R"({"stamp":{"agent_generation":1,"capture_epoch":2},"message":)" + std::string(message) +
         "}";
}

FileOperation full_file_operation() {
  FileOperation op;
  op.type = "rename";
  op.operation = "rename";
  op.target_path = "/a/b";
  op.new_name = "c";
  op.session_id = "s";
  op.target = "remote";
  op.file_name = "b";
  op.is_directory = true;
  op.dest_directory = "/d";
  op.client_local_path = "/l";
  return op;
}

struct CommandCase {
  // The command as the service writes it: "type" first, then the fields in
  // declared order, absent optionals left out. Encoding must give it back.
  std::string_view text;
  ServiceToAgent expected;
};

std::vector<CommandCase> every_command() {
  return {
      {R"({"type":"quit"})", Quit{}},
      {R"({"type":"lock_screen"})", LockScreen{}},
      {R"({"type":"start_capture","config":{"width":1920,"height":1080,"fps":60,)"
       R"("bitrate_kbps":8000,"display_id":4294967295}})",
       StartCapture{CaptureConfig{1920, 1080, 60, 8000, kU32Max, std::nullopt}}},
      {R"({"type":"stop_capture","capture_epoch":18446744073709551615})", StopCapture{kU64Max}},
      {R"({"type":"reconfigure","config":{"width":0,"height":0,"fps":30,"bitrate_kbps":1,)"
       R"("window_id":77}})",
       Reconfigure{CaptureConfig{0, 0, 30, 1, std::nullopt, 77u}}},
      {R"({"type":"switch_to_window_capture","window_id":4294967295})",
       SwitchToWindowCapture{kU32Max}},
      {R"({"type":"switch_to_monitor_capture"})", SwitchToMonitorCapture{}},
      {R"({"type":"request_keyframe"})", RequestKeyframe{}},
      {R"({"type":"set_audio_enabled","enabled":true})", SetAudioEnabled{true}},
      {R"({"type":"inject_input","event":{"Mouse":{"action":"Wheel","has_xy":false,)"
       R"("button":"X2","x":-2147483648,"y":2147483647,"wheel_delta":-32768}},)"
       R"("geometry_epoch":3,"input_epoch":4})",
       InjectInput{MouseEvent{MouseAction::kWheel, false, MouseButton::kX2,
                              std::numeric_limits<std::int32_t>::min(),
                              std::numeric_limits<std::int32_t>::max(), -32768},
                   3, 4}},
      {R"({"type":"reset_input","input_epoch":9})", ResetInput{9}},
      {R"({"type":"query_status"})", QueryStatus{}},
      {R"({"type":"query_geometry"})", QueryGeometry{}},
      {R"({"type":"list_displays"})", ListDisplays{}},
      {R"({"type":"capture_display_thumbnail","request_id":11,"display_id":1,"index":0})",
       CaptureDisplayThumbnail{11, 1, 0}},
      {R"({"type":"query_permission"})", QueryPermission{}},
      {R"({"type":"request_screen_recording"})", RequestScreenRecording{}},
      {R"({"type":"request_accessibility"})", RequestAccessibility{}},
      {R"({"type":"replace_routes","revision":5,"routes":[{"route_id":1,"peer_id":"p",)"
       R"("connection_generation":2,"role":"host","session_id":"s","attempt_id":"a",)"
       R"("clipboard_desired":true,"audio_desired":false},{"route_id":2,"peer_id":"q",)"
       R"("connection_generation":0,"role":"viewer","clipboard_desired":false,)"
       R"("audio_desired":true}]})",
       ReplaceRoutes{5,
                     {RouteWire{1, "p", 2, "host", "s", "a", true, false},
                      RouteWire{2, "q", 0, "viewer", std::nullopt, std::nullopt, false, true}}}},
      {R"({"type":"revoke_route","route_id":8})", RevokeRoute{8}},
      {R"({"type":"clipboard_command","route_id":1,"command":{"type":"set_enabled",)"
       R"("enabled":false}})",
       ClipboardCommand{1, ClipboardSetEnabledCommand{false}}},
      {R"({"type":"file_command","route_id":2,"command":{"type":"operation","operation":)"
       R"({"type":"rename","operation":"rename","targetPath":"/a/b","newName":"c",)"
       R"("sessionId":"s","target":"remote","fileName":"b","isDirectory":true,)"
       R"("destDirectory":"/d","clientLocalPath":"/l"}}})",
       FileCommand{2, FileOperationCommand{full_file_operation()}}},
      // The other shapes of the nested unions.
      {R"({"type":"inject_input","event":{"Keyboard":{"is_down":true,"is_repeat":true,)"
       R"("flags":255,"vk_code":65535}},"geometry_epoch":0,"input_epoch":0})",
       InjectInput{KeyboardEvent{true, true, 255, 65535}, 0, 0}},
      {R"({"type":"inject_input","event":"Reset","geometry_epoch":1,"input_epoch":2})",
       InjectInput{InputReset{}, 1, 2}},
      {R"({"type":"clipboard_command","route_id":1,"command":{"type":"send",)"
       R"("payload":"a\"b\n\u0001"}})",
       ClipboardCommand{1, ClipboardSendCommand{"a\"b\n\x01"}}},
      {R"({"type":"file_command","route_id":2,"command":{"type":"send","path":"/f",)"
       R"("session_id":"s","dest_directory":"/d","uiMode":"silent"}})",
       FileCommand{2, FileSendCommand{"/f", "s", "/d", "silent"}}},
      {R"({"type":"file_command","route_id":2,"command":{"type":"list","path":"/home"}})",
       FileCommand{2, FileListCommand{"/home", std::nullopt}}},
      {R"({"type":"file_command","route_id":2,"command":{"type":"control",)"
       R"("payload":{"kind":"CANCEL","ids":[1,-1,0.5],"none":null}}})",
       FileCommand{2,
                   FileControlCommand{
                       json::parse(R"({"kind":"CANCEL","ids":[1,-1,0.5],"none":null})").value()}}},
      {R"({"type":"audio_configure","route_id":3,"revision":4,"enabled":true})",
       AudioConfigure{3, 4, true}},
      {R"({"type":"list_alt_tab_windows","route_id":6})", ListAltTabWindows{6}},
      {R"({"type":"query_display_settings","route_id":7})", QueryDisplaySettings{7}},
      {R"({"type":"set_physical_display_mode","route_id":1,"width":2560,"height":1440,)"
       R"("expected_epoch":12})",
       SetPhysicalDisplayMode{1, 2560, 1440, 12}},
      {R"({"type":"set_target_bitrate","route_id":1,"bitrate_bps":4000000})",
       SetTargetBitrate{1, 4000000}},
      {R"({"type":"outbound_receipt","route_id":1,"packet_id":99,"accepted":false})",
       OutboundReceipt{1, 99, false}},
      {R"({"type":"recent_history_snapshot","service_epoch":1,"revision":2,"records":[)"
       R"({"short_id":"abc","nickname":"Desk","hostname":"h","os":"linux","screenshot":"x"},)"
       R"({"short_id":"def"}]})",
       RecentHistorySnapshot{
           1,
           2,
           {HistoryMenuEntry{"abc", "Desk", "h", "linux", "x"},
            HistoryMenuEntry{"def", std::nullopt, std::nullopt, std::nullopt, std::nullopt}}}},
  };
}

TEST(ServiceEnvelopeTest, DecodesAndReencodesEveryCommand) {
  std::set<std::size_t> covered;
  for (const CommandCase& c : every_command()) {
    Result<ServiceEnvelope> decoded = decode_service_envelope(around(c.text));
    ASSERT_TRUE(decoded) << c.text << "\n" << decoded.error().display();
    EXPECT_EQ(decoded->request_id, std::nullopt);
    EXPECT_EQ(decoded->stamp, (AgentStamp{1, 2}));
    EXPECT_EQ(decoded->message, c.expected) << c.text;
    EXPECT_EQ(json::encode_document(decoded->message), c.text);
    EXPECT_EQ(encode_service_envelope(*decoded), around(c.text));

    std::string_view name = command_name(decoded->message);
    EXPECT_THAT(std::string(c.text), ::testing::StartsWith(R"({"type":")" + std::string(name)));
    covered.insert(decoded->message.index());
  }
  EXPECT_EQ(covered.size(), std::variant_size_v<ServiceToAgent>);
}

TEST(ServiceEnvelopeTest, RequestIdIsOptionalAndNullMeansNone) {
  struct Case {
    std::string_view text;
    std::optional<std::uint64_t> request_id;
  };
  const Case cases[] = {
      {R"({"stamp":{"agent_generation":1,"capture_epoch":2},"message":{"type":"query_status"}})",
       std::nullopt},
      {R"({"request_id":null,"stamp":[1,2],"message":{"type":"query_status"}})", std::nullopt},
      {R"({"message":{"type":"query_status"},"stamp":[1,2],"request_id":18446744073709551615})",
       kU64Max},
      {R"([0,[1,2],{"type":"query_status"}])", 0u},
      {R"([null,{"capture_epoch":2,"agent_generation":1},{"type":"query_status"}])", std::nullopt},
  };
  for (const Case& c : cases) {
    Result<ServiceEnvelope> decoded = decode_service_envelope(c.text);
    ASSERT_TRUE(decoded) << c.text << "\n" << decoded.error().display();
    EXPECT_EQ(decoded->request_id, c.request_id) << c.text;
    EXPECT_EQ(decoded->stamp, (AgentStamp{1, 2})) << c.text;
    EXPECT_EQ(decoded->message, ServiceToAgent(QueryStatus{})) << c.text;
  }
  ServiceEnvelope none{std::nullopt, AgentStamp{1, 2}, QueryStatus{}};
  EXPECT_EQ(
      encode_service_envelope(none),
      R"({"stamp":{"agent_generation":1,"capture_epoch":2},"message":{"type":"query_status"}})");
}

// Each pair reads to the same envelope: unknown keys, key order, array forms,
// aliases and null-for-none change nothing.
TEST(ServiceEnvelopeTest, EquivalentShapesReadAlike) {
  struct Case {
    std::string left;
    std::string right;
  };
  const Case cases[] = {
      {around(R"({"type":"quit","extra":1})"), around(R"({"type":"quit"})")},
      {R"({"x":{"y":[1,{"z":null}]},"stamp":{"agent_generation":1,"capture_epoch":2,"w":true},)"
       R"("message":{"capture_epoch":7,"type":"stop_capture","v":"u"}} )"
       "\t\r\n",
       around(R"({"type":"stop_capture","capture_epoch":7})")},
      {R"([null,[1,2],{"type":"quit"}])", around(R"({"type":"quit"})")},
      {around(R"({"type":"start_capture","config":[1,2,3,4,null,5]})"),
       around(R"({"config":{"height":2,"width":1,"fps":3,"bitrate_kbps":4,"display_id":null,)"
              R"("window_id":5,"other":[]},"type":"start_capture"})")},
      {around(R"({"type":"replace_routes","revision":1,"routes":[[1,"p",2,"r",null,"a",true,)"
              R"(false]]})"),
       around(R"({"type":"replace_routes","revision":1,"routes":[{"route_id":1,"peer_id":"p",)"
              R"("connection_generation":2,"role":"r","attempt_id":"a","clipboard_desired":true,)"
              R"("audio_desired":false,"session_id":null,"extra":0}]})")},
      {around(R"({"type":"recent_history_snapshot","service_epoch":1,"revision":2,)"
              R"("records":[["id",null,"h",null,null]]})"),
       around(R"({"type":"recent_history_snapshot","service_epoch":1,"revision":2,)"
              R"("records":[{"hostname":"h","short_id":"id","nickname":null}]})")},
      // Mouse and keyboard events in array form, and a mouse event with no button.
      {around(R"({"type":"inject_input","event":{"Mouse":["Move",true,null,10,20,0]},)"
              R"("geometry_epoch":1,"input_epoch":1})"),
       around(R"({"type":"inject_input","event":{"Mouse":{"wheel_delta":0,"y":20,"x":10,)"
              R"("has_xy":true,"action":"Move","extra":"e"}},"geometry_epoch":1,)"
              R"("input_epoch":1})")},
      {around(R"({"type":"inject_input","event":{"Keyboard":[true,false,0,65]},)"
              R"("geometry_epoch":1,"input_epoch":1})"),
       around(R"({"type":"inject_input","event":{"Keyboard":{"is_down":true,)"
              R"("is_repeat":false,"flags":0,"vk_code":65}},"geometry_epoch":1,)"
              R"("input_epoch":1})")},
      // FileOperation: the snake_case and short spellings, and the array form.
      {around(R"({"type":"file_command","route_id":1,"command":{"type":"operation",)"
              R"("operation":{"type":"t","action":"delete","path":"/x"}}})"),
       around(R"({"type":"file_command","route_id":1,"command":{"type":"operation",)"
              R"("operation":{"type":"t","operation":"delete","targetPath":"/x",)"
              R"("isDirectory":false}}})")},
      {around(R"({"type":"file_command","route_id":1,"command":{"operation":{"type":"t",)"
              R"("operation":"o","target_path":"/p","new_name":"n","session_id":"s",)"
              R"("file_name":"f","is_directory":true,"dest_directory":"/d",)"
              R"("client_local_path":"/c"},"type":"operation"}})"),
       around(R"({"type":"file_command","route_id":1,"command":{"type":"operation",)"
              R"("operation":["t","o","/p","n","s",null,"f",true,"/d","/c"]}})")},
      {around(R"({"type":"file_command","route_id":1,"command":{"type":"send","path":"/f",)"
              R"("ui_mode":"silent"}})"),
       around(R"({"type":"file_command","route_id":1,"command":{"type":"send","path":"/f",)"
              R"("uiMode":"silent","session_id":null}})")},
      {around(R"({"type":"file_command","route_id":1,"command":{"type":"list"}})"),
       around(R"({"type":"file_command","route_id":1,"command":{"type":"list","path":null,)"
              R"("session_id":null}})")},
  };
  for (const Case& c : cases) {
    Result<ServiceEnvelope> left = decode_service_envelope(c.left);
    Result<ServiceEnvelope> right = decode_service_envelope(c.right);
    ASSERT_TRUE(left) << c.left << "\n" << left.error().display();
    ASSERT_TRUE(right) << c.right << "\n" << right.error().display();
    EXPECT_EQ(*left, *right) << c.left;
  }
}

TEST(ServiceEnvelopeTest, InputEventForms) {
  struct Case {
    std::string_view event;
    InputEvent expected;
  };
  const Case cases[] = {
      {R"("Reset")", InputReset{}},
      {R"({"Keyboard":{"is_down":true,"is_repeat":false,"flags":0,"vk_code":65}})",
       KeyboardEvent{true, false, 0, 65}},
      {R"({"Keyboard":{"is_down":false,"is_repeat":true,"flags":255,"vk_code":65535}})",
       KeyboardEvent{false, true, 255, 65535}},
      {R"({"Mouse":{"action":"DoubleClick","has_xy":true,"x":5,"y":6,"wheel_delta":0}})",
       MouseEvent{MouseAction::kDoubleClick, true, std::nullopt, 5, 6, 0}},
      {R"({"Mouse":{"action":"MoveRelative","has_xy":true,"button":null,"x":-5,"y":-6,)"
       R"("wheel_delta":32767}})",
       MouseEvent{MouseAction::kMoveRelative, true, std::nullopt, -5, -6, 32767}},
  };
  for (const Case& c : cases) {
    std::string text = around(R"({"type":"inject_input","event":)" + std::string(c.event) +
                              R"(,"geometry_epoch":1,"input_epoch":2})");
    Result<ServiceEnvelope> decoded = decode_service_envelope(text);
    ASSERT_TRUE(decoded) << text << "\n" << decoded.error().display();
    const auto* inject = std::get_if<InjectInput>(&decoded->message);
    ASSERT_NE(inject, nullptr);
    EXPECT_EQ(inject->event, c.expected) << c.event;
    Result<ServiceEnvelope> again = decode_service_envelope(encode_service_envelope(*decoded));
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *decoded);
  }
  EXPECT_EQ(json::encode_document(InputEvent(InputReset{})), R"("Reset")");
}

TEST(ServiceEnvelopeTest, FileControlPayloadPassesThroughAndNullIsPresent) {
  for (std::string_view payload :
       {R"({"kind":"CANCEL","taskId":"t","n":[1,-2,0.5]})", "null", "[]", R"("text")"}) {
    std::string text = around(R"({"type":"file_command","route_id":4,"command":{"type":"control",)"
                              R"("payload":)" +
                              std::string(payload) + "}}");
    Result<ServiceEnvelope> decoded = decode_service_envelope(text);
    ASSERT_TRUE(decoded) << text << "\n" << decoded.error().display();
    const auto& command = std::get<FileCommand>(decoded->message);
    EXPECT_EQ(json::to_string(std::get<FileControlCommand>(command.command).payload), payload);
    EXPECT_EQ(encode_service_envelope(*decoded), text);
  }
}

TEST(ServiceEnvelopeTest, EmptyPayloadIsMissing) {
  Result<ServiceEnvelope> empty = decode_service_envelope(std::span<const std::uint8_t>());
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind(), KivoError::Kind::kInvalidMessage);
  EXPECT_EQ(empty.error().text(), "missing XPC payload");

  const std::string quit = around(R"({"type":"quit"})");
  std::vector<std::uint8_t> bytes(quit.begin(), quit.end());
  Result<ServiceEnvelope> decoded = decode_service_envelope(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->message, ServiceToAgent(Quit{}));
}

struct ErrorCase {
  std::string text;
  std::string error;
};

TEST(ServiceEnvelopeTest, ReadErrorsNameTheFault) {
  const std::string inject_prefix = R"({"type":"inject_input","geometry_epoch":1,"input_epoch":1,)";
  const std::string file_prefix = R"({"type":"file_command","route_id":1,"command":)";
  const ErrorCase cases[] = {
      // Document level.
      {" \n", "EOF while parsing a value at line 2 column 0"},
      {around(R"({"type":"quit"})") + " x", "trailing characters at line 1 column 78"},
      {around(R"({"type":"quit"})") + around(R"({"type":"quit"})"),
       "trailing characters at line 1 column 77"},
      {"\xEF\xBB\xBF" + around(R"({"type":"quit"})"), "expected value at line 1 column 1"},
      // Envelope and stamp.
      {R"({"stamp":[1,2]})", "missing field `message`"},
      {R"({"message":{"type":"quit"}})", "missing field `stamp`"},
      {R"({"stamp":{"agent_generation":1},"message":{"type":"quit"}})",
       "missing field `capture_epoch`"},
      {R"({"stamp":[1],"message":{"type":"quit"}})",
       "invalid length 1, expected struct AgentStamp with 2 elements"},
      {R"([1,[1,2]])", "invalid length 2, expected struct ServiceEnvelope with 3 elements"},
      {R"({"request_id":1,"request_id":2,"stamp":[1,2],"message":{"type":"quit"}})",
       "duplicate field `request_id`"},
      {R"({"request_id":-1,"stamp":[1,2],"message":{"type":"quit"}})",
       "invalid value: integer `-1`, expected u64"},
      {R"({"request_id":1.0,"stamp":[1,2],"message":{"type":"quit"}})",
       "invalid type: floating point `1.0`, expected u64"},
      {R"({"request_id":"1","stamp":[1,2],"message":{"type":"quit"}})",
       "invalid type: string \"1\", expected u64"},
      {R"("quit")", "invalid type: string \"quit\", expected struct ServiceEnvelope"},
      // Command names and fields.
      {around(R"({"capture_epoch":1})"), "missing field `type`"},
      {around(R"({"type":"quit","type":"quit"})"), "duplicate field `type`"},
      {around(R"({"type":"stop_capture"})"), "missing field `capture_epoch`"},
      {around(R"({"type":"stop_capture","capture_epoch":1,"capture_epoch":1})"),
       "duplicate field `capture_epoch`"},
      {around(R"({"type":"switch_to_window_capture","window_id":4294967296})"),
       "invalid value: integer `4294967296`, expected u32"},
      {around(R"({"type":"set_audio_enabled","enabled":1})"),
       "invalid type: integer `1`, expected a boolean"},
      {around(R"({"type":"capture_display_thumbnail","display_id":1,"index":0})"),
       "missing field `request_id`"},
      {around(R"({"type":"start_capture","config":{"width":1,"height":1,"fps":1}})"),
       "missing field `bitrate_kbps`"},
      {around(R"({"type":"start_capture","config":[1,2,3,4,5]})"),
       "invalid length 5, expected struct CaptureConfig with 6 elements"},
      {around(R"({"type":"replace_routes","revision":1,"routes":{}})"),
       "invalid type: map, expected a sequence"},
      {around(R"({"type":"replace_routes","revision":1,"routes":[{"route_id":1}]})"),
       "missing field `peer_id`"},
      {around(R"({"type":"recent_history_snapshot","service_epoch":1,"revision":1,)"
              R"("records":[{"nickname":"n"}]})"),
       "missing field `short_id`"},
      // Input events.
      {around(inject_prefix + R"("event":{"Mouse":{"action":"Move","has_xy":true,"x":1,"y":2}}})"),
       "missing field `wheel_delta`"},
      {around(inject_prefix + R"("event":"Foo"})"),
       "unknown variant `Foo`, expected one of `Mouse`, `Keyboard`, `Reset`"},
      {around(inject_prefix + R"("event":"reset"})"),
       "unknown variant `reset`, expected one of `Mouse`, `Keyboard`, `Reset`"},
      {around(inject_prefix + R"("event":{"keyboard":[true,false,0,65]}})"),
       "unknown variant `keyboard`, expected one of `Mouse`, `Keyboard`, `Reset`"},
      {around(inject_prefix + R"("event":"Mouse"})"),
       "invalid type: unit variant, expected newtype variant"},
      {around(inject_prefix + R"("event":{"Reset":null}})"),
       "invalid type: newtype variant, expected unit variant"},
      {around(inject_prefix + R"("event":{}})"),
       "invalid value: map, expected map with a single key"},
      {around(inject_prefix +
              R"("event":{"Keyboard":[true,false,0,65],"Mouse":["Move",true,null,0,0,0]}})"),
       "invalid value: map, expected map with a single key"},
      {around(inject_prefix + R"("event":7})"),
       "invalid type: integer `7`, expected enum InputEvent"},
      {around(inject_prefix + R"("event":{"Mouse":["move",true,null,0,0,0]}})"),
       "unknown variant `move`, expected one of `Move`, `Down`, `Up`, `Wheel`, `MoveRelative`, "
       "`DoubleClick`"},
      {around(inject_prefix + R"("event":{"Mouse":["Down",true,"left",0,0,0]}})"),
       "unknown variant `left`, expected one of `Left`, `Middle`, `Right`, `X1`, `X2`"},
      {around(inject_prefix + R"("event":{"Mouse":["Down",true,1,0,0,0]}})"),
       "invalid type: integer `1`, expected variant identifier"},
      {around(inject_prefix + R"("event":{"Mouse":["Move",true,null,2147483648,0,0]}})"),
       "invalid value: integer `2147483648`, expected i32"},
      {around(inject_prefix + R"("event":{"Mouse":["Move",true,null,0,-2147483649,0]}})"),
       "invalid value: integer `-2147483649`, expected i32"},
      {around(inject_prefix + R"("event":{"Mouse":["Wheel",false,null,0,0,-32769]}})"),
       "invalid value: integer `-32769`, expected i16"},
      {around(inject_prefix + R"("event":{"Keyboard":[true,false,256,65]}})"),
       "invalid value: integer `256`, expected u8"},
      {around(inject_prefix + R"("event":{"Keyboard":[true,false,0,65536]}})"),
       "invalid value: integer `65536`, expected u16"},
      {around(inject_prefix + R"("event":{"Keyboard":[true,false,0,-1]}})"),
       "invalid value: integer `-1`, expected u16"},
      // Clipboard and file commands.
      {around(R"({"type":"clipboard_command","route_id":1,"command":{"type":"Send"}})"),
       "unknown variant `Send`, expected `set_enabled` or `send`"},
      {around(R"({"type":"clipboard_command","route_id":1,"command":{"type":"send"}})"),
       "missing field `payload`"},
      {around(file_prefix + R"({"type":"delete"}})"),
       "unknown variant `delete`, expected one of `send`, `operation`, `list`, `control`"},
      {around(file_prefix + R"({"type":"control"}})"), "missing field `payload`"},
      {around(file_prefix + R"({"type":"send","session_id":"s"}})"), "missing field `path`"},
      {around(file_prefix + R"({"type":"send","path":"/f","uiMode":"a","ui_mode":"b"}})"),
       "duplicate field `uiMode`"},
      {around(file_prefix + R"({"type":"list","path":7}})"),
       "invalid type: integer `7`, expected a string"},
      {around(file_prefix +
              R"({"type":"operation","operation":{"type":"t","operation":"a","action":"b"}}})"),
       "duplicate field `operation`"},
      {around(file_prefix +
              R"({"type":"operation","operation":{"type":"t","action":"a","path":"/a",)"
              R"("targetPath":"/b"}}})"),
       "duplicate field `targetPath`"},
      {around(file_prefix +
              R"({"type":"operation","operation":{"type":"t","action":"a","is_directory":true,)"
              R"("isDirectory":true}}})"),
       "duplicate field `isDirectory`"},
      {around(file_prefix + R"({"type":"operation","operation":{"type":"t","path":"/a"}}})"),
       "missing field `operation`"},
      {around(file_prefix + R"({"type":"operation","operation":{"action":"a"}}})"),
       "missing field `type`"},
      {around(file_prefix +
              R"({"type":"operation","operation":{"type":"t","action":"a","isDirectory":null}}})"),
       "invalid type: null, expected a boolean"},
  };
  for (const ErrorCase& c : cases) {
    Result<ServiceEnvelope> decoded = decode_service_envelope(c.text);
    ASSERT_FALSE(decoded) << c.text;
    EXPECT_EQ(decoded.error().kind(), KivoError::Kind::kJson) << c.text;
    EXPECT_EQ(decoded.error().text(), c.error) << c.text;
  }
}

TEST(ServiceEnvelopeTest, CommandNamesAreCaseSensitive) {
  for (std::string_view name : {"Quit", "QUIT", "Query_Status", "start-capture", ""}) {
    Result<ServiceEnvelope> decoded =
        decode_service_envelope(around(R"({"type":")" + std::string(name) + R"("})"));
    ASSERT_FALSE(decoded) << name;
    EXPECT_THAT(decoded.error().text(),
                ::testing::StartsWith("unknown variant `" + std::string(name) +
                                      "`, expected one of `quit`, `lock_screen`, "));
    EXPECT_THAT(decoded.error().text(), ::testing::EndsWith(", `recent_history_snapshot`"));
  }
}

}  // namespace
}  // namespace kivo::protocol
