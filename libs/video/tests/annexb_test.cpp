#include "kivo/video/annexb.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kivo::video {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(AvccToAnnexB, RewritesEveryLengthAsAStartCode) {
  struct Case {
    Bytes avcc;
    int length_size;
    Bytes annexb;
  };
  const Case cases[] = {
      {{0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x41}, 4, {0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41}},
      {{0, 3, 0x06, 0x05, 0x01}, 2, {0, 0, 0, 1, 0x06, 0x05, 0x01}},
      {{1, 0x09, 2, 0x41, 0x42}, 1, {0, 0, 0, 1, 0x09, 0, 0, 0, 1, 0x41, 0x42}},
      {{0, 0, 1, 0x67}, 3, {0, 0, 0, 1, 0x67}},
      {{}, 4, {}},
  };
  for (const Case& c : cases) {
    auto out = avcc_to_annexb(c.avcc, c.length_size);
    ASSERT_TRUE(out) << c.length_size;
    EXPECT_EQ(*out, c.annexb);
  }
}

TEST(AvccToAnnexB, RefusesBadLayouts) {
  struct Case {
    Bytes avcc;
    int length_size;
  };
  const Case cases[] = {
      {{0, 0, 0, 0}, 4},                    // a zero length
      {{0, 0, 0, 5, 0x65, 0x88}, 4},        // a length past the end
      {{0, 0, 0, 1, 0x65, 0, 0}, 4},        // a truncated length field
      {{0, 0, 0, 0, 1, 0x65}, 5},           // no such length size
      {{0x65}, 0},                          // nor this one
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x65}, 4},  // a length far past the end
  };
  for (const Case& c : cases) {
    auto out = avcc_to_annexb(c.avcc, c.length_size);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().display(), "invalid NAL layout");
  }
}

TEST(ScanAnnexB, FindsKeyFramesAndParameterSetsBehindEitherStartCode) {
  struct Case {
    Bytes annexb;
    NalSummary summary;
  };
  const Case cases[] = {
      {{0, 0, 0, 1, 0x65, 0x88}, {true, false, false}},
      {{0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x68, 0xEE, 0, 0, 0, 1, 0x25, 0x88}, {true, true, true}},
      {{0, 0, 0, 1, 0x41, 0x9A}, {false, false, false}},
      {{0, 0, 0, 1, 0x06, 0x05, 0, 0, 0, 1, 0x21}, {false, false, false}},
      {{0, 0, 1}, {false, false, false}},
      {{}, {false, false, false}},
  };
  for (const Case& c : cases) EXPECT_EQ(scan_annexb(c.annexb), c.summary);
}

TEST(ParameterSetPrefix, PutsEachNonEmptySetBehindAStartCodeUpToEight) {
  EXPECT_EQ(parameter_set_prefix(std::vector<Bytes>{{0x67, 1}, {}, {0x68, 2}}),
            (Bytes{0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2}));
  std::vector<Bytes> ten(10, Bytes{0x68});
  EXPECT_EQ(parameter_set_prefix(ten).size(), 8u * 5u);
  EXPECT_TRUE(parameter_set_prefix(std::vector<Bytes>{}).empty());
}

}  // namespace
}  // namespace kivo::video
