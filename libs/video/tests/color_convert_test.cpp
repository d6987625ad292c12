#include "kivo/video/color_convert.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace kivo::video {
namespace {

// A BGRA picture with `padding` spare bytes at the end of every row, filled
// with a value the operations must never read into their results.
struct TestBgra {
  TestBgra(std::uint32_t w, std::uint32_t h, std::size_t padding)
      : width(w), height(h), stride(4 * std::size_t{w} + padding), bytes(stride * h, 0xEE) {}

  BgraView view() const { return {bytes.data(), width, height, stride}; }
  MutableBgraView mutable_view() { return {bytes.data(), width, height, stride}; }
  std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) { return &bytes[y * stride + 4 * x]; }

  std::uint32_t width, height;
  std::size_t stride;
  std::vector<std::uint8_t> bytes;
};

struct TestNv12 {
  TestNv12(std::uint32_t w, std::uint32_t h, std::size_t padding)
      : y_stride(w + padding),
        uv_stride(2 * std::size_t{(w + 1) / 2} + padding),
        y(y_stride * h, 0),
        uv(uv_stride * ((h + 1) / 2), 0),
        width(w),
        height(h) {}

  Nv12View view() { return {y.data(), y_stride, uv.data(), uv_stride, width, height}; }

  std::size_t y_stride, uv_stride;
  std::vector<std::uint8_t> y, uv;
  std::uint32_t width, height;
};

enum class Content { kRandom, kBlack, kWhite, kExtremes, kAlternating };

void fill(TestBgra& image, Content content, std::uint32_t seed) {
  std::mt19937 random(seed);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      std::uint8_t* p = image.pixel(x, y);
      for (int c = 0; c < 4; ++c) {
        switch (content) {
          case Content::kRandom:
            p[c] = static_cast<std::uint8_t>(random());
            break;
          case Content::kBlack:
            p[c] = 0;
            break;
          case Content::kWhite:
            p[c] = 255;
            break;
          case Content::kExtremes:
            p[c] = (random() & 1) != 0 ? 255 : 0;
            break;
          case Content::kAlternating:
            p[c] = ((x + y) % 2 == 0) == (c % 2 == 0) ? 255 : 0;
            break;
        }
      }
    }
  }
}

struct Shape {
  std::uint32_t width;
  std::uint32_t height;
  std::size_t padding;
  Content content;
};

class PixelOperationsAgree : public ::testing::TestWithParam<Shape> {};

TEST_P(PixelOperationsAgree, FastConversionMatchesReference) {
  const Shape shape = GetParam();
  TestBgra source(shape.width, shape.height, shape.padding);
  fill(source, shape.content, shape.width * 131 + shape.height);
  TestNv12 fast(shape.width, shape.height, shape.padding), plain(shape.width, shape.height, 0);
  ASSERT_TRUE(bgra_to_nv12(source.view(), fast.view()));
  ASSERT_TRUE(bgra_to_nv12_reference(source.view(), plain.view()));
  for (std::uint32_t y = 0; y < shape.height; ++y) {
    for (std::uint32_t x = 0; x < shape.width; ++x) {
      ASSERT_EQ(fast.y[y * fast.y_stride + x], plain.y[y * plain.y_stride + x])
          << "luma at " << x << "," << y;
    }
  }
  for (std::uint32_t y = 0; y < (shape.height + 1) / 2; ++y) {
    for (std::uint32_t x = 0; x < 2 * ((shape.width + 1) / 2); ++x) {
      ASSERT_EQ(fast.uv[y * fast.uv_stride + x], plain.uv[y * plain.uv_stride + x])
          << "chroma byte " << x << " of row " << y;
    }
  }
}

TEST_P(PixelOperationsAgree, FastSharpeningMatchesReference) {
  const Shape shape = GetParam();
  TestBgra source(shape.width, shape.height, shape.padding);
  fill(source, shape.content, shape.height * 977 + shape.width);
  TestBgra fast(shape.width, shape.height, shape.padding), plain(shape.width, shape.height, 0);
  ASSERT_TRUE(sharpen_bgra(source.view(), fast.mutable_view()));
  ASSERT_TRUE(sharpen_bgra_reference(source.view(), plain.mutable_view()));
  for (std::uint32_t y = 0; y < shape.height; ++y) {
    for (std::uint32_t x = 0; x < 4 * shape.width; ++x) {
      ASSERT_EQ(fast.bytes[y * fast.stride + x], plain.bytes[y * plain.stride + x])
          << "byte " << x << " of row " << y;
    }
    // Row padding is left alone.
    for (std::size_t x = 4 * std::size_t{shape.width}; x < fast.stride; ++x) {
      ASSERT_EQ(fast.bytes[y * fast.stride + x], 0xEE);
    }
  }
}

// The one-pass path against the two reference steps, also for a destination
// one pixel smaller than the source (an odd frame encoded at its even size).
TEST_P(PixelOperationsAgree, OnePassMatchesSharpeningThenConversion) {
  const Shape shape = GetParam();
  TestBgra source(shape.width, shape.height, shape.padding);
  fill(source, shape.content, shape.width * 7 + shape.height * 3);
  TestBgra sharpened(shape.width, shape.height, 0);
  ASSERT_TRUE(sharpen_bgra_reference(source.view(), sharpened.mutable_view()));
  for (const std::uint32_t trim : {0u, 1u}) {
    const std::uint32_t width = shape.width > trim ? shape.width - trim : shape.width;
    const std::uint32_t height = shape.height > trim ? shape.height - trim : shape.height;
    TestNv12 fast(width, height, shape.padding), plain(width, height, 0);
    ASSERT_TRUE(sharpen_bgra_to_nv12(source.view(), fast.view()));
    ASSERT_TRUE(bgra_to_nv12_reference(sharpened.view(), plain.view()));
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        ASSERT_EQ(fast.y[y * fast.y_stride + x], plain.y[y * plain.y_stride + x])
            << "luma at " << x << "," << y << " trim " << trim;
      }
    }
    for (std::uint32_t y = 0; y < (height + 1) / 2; ++y) {
      for (std::uint32_t x = 0; x < 2 * ((width + 1) / 2); ++x) {
        ASSERT_EQ(fast.uv[y * fast.uv_stride + x], plain.uv[y * plain.uv_stride + x])
            << "chroma byte " << x << " of row " << y << " trim " << trim;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PixelOperationsAgree,
    ::testing::Values(Shape{1, 1, 0, Content::kRandom}, Shape{1, 7, 4, Content::kRandom},
                      Shape{7, 1, 0, Content::kRandom}, Shape{2, 2, 0, Content::kExtremes},
                      Shape{3, 5, 12, Content::kRandom}, Shape{17, 9, 1, Content::kRandom},
                      Shape{33, 31, 60, Content::kExtremes}, Shape{64, 16, 0, Content::kRandom},
                      Shape{101, 67, 28, Content::kRandom}, Shape{101, 67, 28, Content::kExtremes},
                      Shape{240, 3, 0, Content::kAlternating}, Shape{19, 19, 3, Content::kWhite},
                      Shape{19, 19, 3, Content::kBlack}));

TEST(Conversion, KnownColoursMapToBt709FullRange) {
  struct Case {
    std::uint8_t b, g, r;
    std::uint8_t y, cb, cr;
  };
  // Black keeps the luma floor of 1; white, grey and the primaries follow the
  // BT.709 weights (0.2126, 0.7152, 0.0722) at full range.
  const Case cases[] = {
      {0, 0, 0, 1, 128, 128},   {255, 255, 255, 255, 128, 128}, {128, 128, 128, 128, 128, 128},
      {0, 0, 255, 54, 99, 255}, {0, 255, 0, 182, 29, 12},       {255, 0, 0, 19, 255, 116},
  };
  for (const Case& c : cases) {
    TestBgra source(2, 2, 0);
    for (std::uint32_t i = 0; i < 4; ++i) {
      std::uint8_t* p = source.pixel(i % 2, i / 2);
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      p[3] = 255;
    }
    TestNv12 out(2, 2, 0);
    ASSERT_TRUE(bgra_to_nv12(source.view(), out.view()));
    EXPECT_EQ(out.y[0], c.y) << int{c.b} << "," << int{c.g} << "," << int{c.r};
    EXPECT_EQ(out.uv[0], c.cb) << int{c.b} << "," << int{c.g} << "," << int{c.r};
    EXPECT_EQ(out.uv[1], c.cr) << int{c.b} << "," << int{c.g} << "," << int{c.r};
  }
}

TEST(Conversion, ConvertsTheTopLeftOfALargerSource) {
  TestBgra source(5, 3, 0);
  fill(source, Content::kRandom, 7);
  TestNv12 whole(5, 3, 0), part(4, 2, 0), expected(4, 2, 0);
  TestBgra cropped(4, 2, 0);
  for (std::uint32_t y = 0; y < 2; ++y) {
    for (std::uint32_t x = 0; x < 4; ++x) {
      for (int c = 0; c < 4; ++c) cropped.pixel(x, y)[c] = source.pixel(x, y)[c];
    }
  }
  ASSERT_TRUE(bgra_to_nv12(source.view(), part.view()));
  ASSERT_TRUE(bgra_to_nv12_reference(cropped.view(), expected.view()));
  EXPECT_EQ(part.y, expected.y);
  EXPECT_EQ(part.uv, expected.uv);
}

TEST(Conversion, RefusesADestinationThatDoesNotFit) {
  TestBgra source(4, 4, 0);
  TestNv12 larger(6, 4, 0), empty(0, 0, 0);
  EXPECT_FALSE(bgra_to_nv12(source.view(), larger.view()));
  EXPECT_FALSE(bgra_to_nv12_reference(source.view(), larger.view()));
  EXPECT_FALSE(bgra_to_nv12(source.view(), empty.view()));
}

TEST(Sharpening, FlatAreasStayFlatAndEdgesGainContrast) {
  TestBgra source(6, 1, 0);
  for (std::uint32_t x = 0; x < 6; ++x) {
    for (int c = 0; c < 4; ++c) source.pixel(x, 0)[c] = x < 3 ? 60 : 200;
  }
  TestBgra out(6, 1, 0);
  ASSERT_TRUE(sharpen_bgra(source.view(), out.mutable_view()));
  // Far from the step the kernel's gain of 1 leaves the value alone; beside
  // it the dark side darkens and the light side lightens.
  EXPECT_EQ(out.pixel(0, 0)[0], 60);
  EXPECT_EQ(out.pixel(1, 0)[0], 60);
  EXPECT_EQ(out.pixel(2, 0)[0], 13);   // (7*60 - 60 - 200 - 60 - 60 + 1) / 3
  EXPECT_EQ(out.pixel(3, 0)[0], 247);  // (7*200 - 60 - 200 - 200 - 200 + 1) / 3
  EXPECT_EQ(out.pixel(5, 0)[0], 200);
}

TEST(Sharpening, RefusesDifferentSizes) {
  TestBgra source(4, 4, 0), out(4, 3, 0);
  EXPECT_FALSE(sharpen_bgra(source.view(), out.mutable_view()));
  EXPECT_FALSE(sharpen_bgra_reference(source.view(), out.mutable_view()));
}

}  // namespace
}  // namespace kivo::video
