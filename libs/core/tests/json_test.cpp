#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kivo/core/json_codec.hpp"

namespace kivo::json {

// A record shaped like the documents the agent reads: required and optional
// fields, an alias, a defaulted flag, a nested record and a generic value.
struct Inner {
  std::uint32_t width = 0;
  std::optional<std::uint32_t> display_id;
  friend bool operator==(const Inner&, const Inner&) = default;
};

struct Sample {
  std::uint32_t version = 0;
  std::string quit_id;
  std::optional<std::string> target_path;
  bool is_directory = false;
  std::int16_t delta = 0;
  Inner inner;
  Value payload;
  friend bool operator==(const Sample&, const Sample&) = default;
};

template <>
struct Record<Inner> {
  static constexpr std::string_view name = "Inner";
  static constexpr auto fields =
      std::make_tuple(field("width", &Inner::width), field("display_id", &Inner::display_id));
};

template <>
struct Record<Sample> {
  static constexpr std::string_view name = "Sample";
  static constexpr auto fields = std::make_tuple(
      field("version", &Sample::version), field("quit_id", &Sample::quit_id),
      field("targetPath", &Sample::target_path).alias("path").alias("target_path"),
      field("isDirectory", &Sample::is_directory).or_default(), field("delta", &Sample::delta),
      field("inner", &Sample::inner), field("payload", &Sample::payload));
};

struct Quit {};
struct Stop {
  std::uint64_t capture_epoch = 0;
};
using Command = std::variant<Quit, Stop>;

template <>
struct Record<Quit> {
  static constexpr std::string_view name = "Quit";
  static constexpr std::string_view tag = "quit";
  static constexpr auto fields = std::tuple<>();
};
template <>
struct Record<Stop> {
  static constexpr std::string_view name = "Stop";
  static constexpr std::string_view tag = "stop_capture";
  static constexpr auto fields = std::make_tuple(field("capture_epoch", &Stop::capture_epoch));
};
template <>
struct TaggedUnion<Command> {
  static constexpr std::string_view name = "Command";
  static constexpr std::string_view tag_key = "type";
};

namespace {

std::string error_of(std::string_view text) {
  Result<Value> parsed = parse(text);
  return parsed ? std::string("<ok>") : parsed.error().display();
}

TEST(JsonParseTest, SyntaxErrorsNameTheFaultAndPlace) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {"", "json error: EOF while parsing a value at line 1 column 0"},
      {"   \n  ", "json error: EOF while parsing a value at line 2 column 2"},
      {R"({"language":"fr"} x)", "json error: trailing characters at line 1 column 19"},
      {"1 2", "json error: trailing characters at line 1 column 3"},
      {R"({"a":)", "json error: EOF while parsing a value at line 1 column 5"},
      {R"({"a":1)", "json error: EOF while parsing an object at line 1 column 6"},
      {"[1,2", "json error: EOF while parsing a list at line 1 column 4"},
      {R"("abc)", "json error: EOF while parsing a string at line 1 column 4"},
      {"{1:2}", "json error: key must be a string at line 1 column 2"},
      {"[1 2]", "json error: expected `,` or `]` at line 1 column 4"},
      {"tru", "json error: expected ident at line 1 column 3"},
      {"[1e400]", "json error: number out of range at line 1 column 6"},
      {"\xEF\xBB\xBF{}", "json error: expected value at line 1 column 1"},
      {"\"\x01\"",
       "json error: control character (\\u0000-\\u001F) found while parsing a string "
       "at line 1 column 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.error) << c.text;
}

TEST(JsonParseTest, AcceptsOneValueWithTrailingWhiteSpace) {
  for (std::string_view text : {"{}\n", " [1, -2, 3.5, \"x\", null, true] \t\r\n", "0"}) {
    EXPECT_TRUE(parse(text).has_value()) << text;
  }
}

TEST(JsonParseTest, KeepsRepeatedKeysAndNumberClasses) {
  Result<Value> v = parse(R"({"a":1,"a":-2,"b":1.0,"c":18446744073709551615})");
  ASSERT_TRUE(v);
  const Object& members = v->as_object();
  ASSERT_EQ(members.size(), 4u);
  EXPECT_TRUE(members[0].value.is_unsigned());
  EXPECT_TRUE(members[1].value.is_signed());
  EXPECT_TRUE(members[2].value.is_double());
  EXPECT_EQ(members[3].value.as_unsigned(), std::numeric_limits<std::uint64_t>::max());
}

TEST(JsonParseTest, RefusesDeepNestingWithoutExhaustingTheStack) {
  std::string deep(100000, '[');
  EXPECT_EQ(error_of(deep), "json error: recursion limit exceeded at line 1 column 129");
  std::string fine = std::string(128, '[') + std::string(128, ']');
  EXPECT_TRUE(parse(fine).has_value());
}

constexpr std::string_view kFullSample =
    R"({"version":1,"quit_id":"q","path":"/a","delta":-3,"inner":{"width":5},"payload":[1]})";

TEST(JsonCodecTest, ReadsRecordsWithAliasesDefaultsAndUnknownKeys) {
  Result<Sample> sample = decode_document<Sample>(
      R"({"extra":{"deep":[1]},"payload":{"k":null},"inner":[7,null],"delta":-32768,)"
      R"("target_path":"/t","quit_id":"q","version":4294967295})");
  ASSERT_TRUE(sample) << sample.error().display();
  EXPECT_EQ(sample->version, 4294967295u);
  EXPECT_EQ(sample->target_path, "/t");
  EXPECT_FALSE(sample->is_directory);
  EXPECT_EQ(sample->delta, -32768);
  EXPECT_EQ(sample->inner, (Inner{7, std::nullopt}));
  EXPECT_EQ(to_string(sample->payload), R"({"k":null})");
}

TEST(JsonCodecTest, ReadErrorsFollowOneStyle) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {R"({"version":1,"version":2,"quit_id":"q"})", "duplicate field `version`"},
      {R"({"version":1,"quit_id":"q","path":"/a","targetPath":"/b"})",
       "duplicate field `targetPath`"},
      {R"({"version":1,"delta":0,"inner":{"width":1},"payload":1})", "missing field `quit_id`"},
      {R"({"version":-1})", "invalid value: integer `-1`, expected u32"},
      {R"({"version":4294967296})", "invalid value: integer `4294967296`, expected u32"},
      {R"({"version":1.0})", "invalid type: floating point `1.0`, expected u32"},
      {R"({"version":"1"})", "invalid type: string \"1\", expected u32"},
      {R"({"delta":32768})", "invalid value: integer `32768`, expected i16"},
      {R"({"delta":-32769})", "invalid value: integer `-32769`, expected i16"},
      {R"({"quit_id":null})", "invalid type: null, expected a string"},
      {R"({"isDirectory":1})", "invalid type: integer `1`, expected a boolean"},
      {R"({"inner":[1]})", "invalid length 1, expected struct Inner with 2 elements"},
      {R"({"inner":[1,2,3]})", "invalid length 3, expected struct Inner with 2 elements"},
      {R"({"inner":true})", "invalid type: boolean `true`, expected struct Inner"},
      {"[1,\"q\",null]", "invalid length 3, expected struct Sample with 7 elements"},
      {"\"x\"", "invalid type: string \"x\", expected struct Sample"},
  };
  for (const Case& c : cases) {
    Result<Sample> sample = decode_document<Sample>(c.text);
    ASSERT_FALSE(sample) << c.text;
    EXPECT_EQ(sample.error().kind(), KivoError::Kind::kJson);
    EXPECT_EQ(sample.error().text(), c.error) << c.text;
  }
}

TEST(JsonCodecTest, ArrayFormReadsLikeTheObjectForm) {
  Result<Sample> from_array = decode_document<Sample>(R"([1,"q","/a",false,-3,{"width":5},[1]])");
  Result<Sample> from_object = decode_document<Sample>(kFullSample);
  ASSERT_TRUE(from_array) << from_array.error().display();
  ASSERT_TRUE(from_object) << from_object.error().display();
  EXPECT_EQ(*from_array, *from_object);
}

TEST(JsonCodecTest, WritesDeclaredOrderAndOmitsEmptyOptionals) {
  Sample sample;
  sample.version = 2;
  sample.quit_id = "a\"b\\c\n\x01é";
  sample.inner.width = 3;
  EXPECT_EQ(encode_document(sample),
            R"({"version":2,"quit_id":"a\"b\\c\n\u0001é","isDirectory":false,"delta":0,)"
            R"("inner":{"width":3},"payload":null})");
  Result<Sample> again = decode_document<Sample>(encode_document(sample));
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, sample);
}

TEST(JsonCodecTest, TaggedUnionsFindTheTagAnywhere) {
  Result<Command> stop = decode_document<Command>(R"({"capture_epoch":9,"type":"stop_capture"})");
  ASSERT_TRUE(stop);
  EXPECT_EQ(std::get<Stop>(*stop).capture_epoch, 9u);
  EXPECT_TRUE(decode_document<Command>(R"({"type":"quit","extra":1})").has_value());
  EXPECT_EQ(encode_document(*stop), R"({"type":"stop_capture","capture_epoch":9})");

  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {R"({"type":"Quit"})", "unknown variant `Quit`, expected `quit` or `stop_capture`"},
      {R"({"capture_epoch":1})", "missing field `type`"},
      {R"({"type":"quit","type":"quit"})", "duplicate field `type`"},
      {R"({"type":"stop_capture"})", "missing field `capture_epoch`"},
      {R"({"type":1})", "invalid type: integer `1`, expected variant identifier"},
      {R"(["quit"])", "invalid type: sequence, expected internally tagged enum Command"},
  };
  for (const Case& c : cases) {
    Result<Command> command = decode_document<Command>(c.text);
    ASSERT_FALSE(command) << c.text;
    EXPECT_EQ(command.error().text(), c.error) << c.text;
  }
}

TEST(JsonWriteTest, FloatsKeepAFractionOrExponent) {
  struct Case {
    double value;
    std::string_view text;
  };
  const Case cases[] = {
      {1920.0, "1920.0"},
      {0.5, "0.5"},
      {-2.0, "-2.0"},
      {1e20, "1e20"},
      {1.5e-7, "1.5e-7"},
      {0.1, "0.1"},
      {1e300, "1e300"},
      {-0.0, "-0.0"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
  };
  for (const Case& c : cases) {
    Writer w;
    w.floating(c.value);
    EXPECT_EQ(w.text(), c.text) << c.value;
    if (std::isfinite(c.value)) {
      Result<double> back = decode_document<double>(w.text());
      ASSERT_TRUE(back);
      EXPECT_EQ(*back, c.value);
    }
  }
}

TEST(JsonWriteTest, FloatsInErrorsAreSpelledOut) {
  EXPECT_EQ(float_for_display(1.0), "1.0");
  EXPECT_EQ(float_for_display(1e20), "100000000000000000000.0");
  EXPECT_EQ(float_for_display(1.5e-7), "0.00000015");
  EXPECT_EQ(float_for_display(-12.25), "-12.25");
}

}  // namespace
}  // namespace kivo::json
