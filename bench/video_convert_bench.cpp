// The pixel work before encoding, on one 1920x1080 BGRA frame: sharpening and
// BGRA to NV12, each in its plain and its vectorised form, and both in a
// row as the encoder runs them. libyuv's ARGBToI420 and ARGBToNV12 on the
// same frame are the yardstick (they use the BT.601 limited-range matrix,
// the arithmetic cost is the same). libyuv is loaded at run time so that no
// library of the project needs to link it; it comes from Debian's libyuv0.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kivo/video/color_convert.hpp"
#include "kivo/video/image.hpp"

namespace {

using kivo::video::BgraView;
using kivo::video::MutableBgraView;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;

// A screen-like frame: flat areas, text-like high-contrast strokes and a
// noisy patch.
struct Frame {
  Frame() : stride(4 * std::size_t{kWidth}), bytes(stride * kHeight) {
    std::mt19937 random(42);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
      for (std::uint32_t x = 0; x < kWidth; ++x) {
        std::uint8_t* p = &bytes[y * stride + 4 * x];
        const bool stroke = (y % 16 < 10) && ((x * 7 + y * 3) % 11 < 3) && x < kWidth / 2;
        const bool noise = x > 1400 && y > 700;
        for (int c = 0; c < 3; ++c) {
          p[c] = noise ? static_cast<std::uint8_t>(random())
                       : (stroke ? 20 : static_cast<std::uint8_t>(200 + c * 20));
        }
        p[3] = 255;
      }
    }
  }
  BgraView view() const { return {bytes.data(), kWidth, kHeight, stride}; }

  std::size_t stride;
  std::vector<std::uint8_t> bytes;
};

const Frame& frame() {
  static const Frame instance;
  return instance;
}

void BM_Sharpen(benchmark::State& state) {
  kivo::video::PicturePool pool(2);
  auto out = pool.acquire_bgra(kWidth, kHeight);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kivo::video::sharpen_bgra(frame().view(), out.view()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Sharpen)->Unit(benchmark::kMillisecond);

void BM_SharpenReference(benchmark::State& state) {
  kivo::video::PicturePool pool(2);
  auto out = pool.acquire_bgra(kWidth, kHeight);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kivo::video::sharpen_bgra_reference(frame().view(), out.view()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SharpenReference)->Unit(benchmark::kMillisecond);

void BM_BgraToNv12(benchmark::State& state) {
  kivo::video::PicturePool pool(2);
  auto out = pool.acquire_nv12(kWidth, kHeight);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kivo::video::bgra_to_nv12(frame().view(), out.view()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BgraToNv12)->Unit(benchmark::kMillisecond);

void BM_BgraToNv12Reference(benchmark::State& state) {
  kivo::video::PicturePool pool(2);
  auto out = pool.acquire_nv12(kWidth, kHeight);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kivo::video::bgra_to_nv12_reference(frame().view(), out.view()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BgraToNv12Reference)->Unit(benchmark::kMillisecond);

// The encoder's per-frame path: pooled pictures, sharpen, convert.
void BM_SharpenThenConvert(benchmark::State& state) {
  kivo::video::PicturePool pool(2);
  for (auto _ : state) {
    auto sharpened = pool.acquire_bgra(kWidth, kHeight);
    auto nv12 = pool.acquire_nv12(kWidth, kHeight);
    benchmark::DoNotOptimize(kivo::video::sharpen_bgra(frame().view(), sharpened.view()));
    benchmark::DoNotOptimize(kivo::video::bgra_to_nv12(sharpened.view().view(), nv12.view()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SharpenThenConvert)->Unit(benchmark::kMillisecond);

// The same in one pass, as the encoder runs it.
void BM_SharpenToNv12OnePass(benchmark::State& state) {
  kivo::video::PicturePool pool(2);
  for (auto _ : state) {
    auto nv12 = pool.acquire_nv12(kWidth, kHeight);
    benchmark::DoNotOptimize(kivo::video::sharpen_bgra_to_nv12(frame().view(), nv12.view()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SharpenToNv12OnePass)->Unit(benchmark::kMillisecond);

template <class Function>
Function* libyuv_function(const char* name) {
  static void* library = ::dlopen("libyuv.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  return reinterpret_cast<Function*>(::dlsym(library, name));
}

void BM_LibyuvArgbToI420(benchmark::State& state) {
  auto* convert = libyuv_function<decltype(libyuv::ARGBToI420)>("ARGBToI420");
  if (convert == nullptr) {
    state.SkipWithError("libyuv.so.0 not found");
    return;
  }
  std::vector<std::uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
  const int w = kWidth, h = kHeight;
  for (auto _ : state) {
    benchmark::DoNotOptimize(convert(frame().bytes.data(), static_cast<int>(frame().stride),
                                     y.data(), w, u.data(), w / 2, v.data(), w / 2, w, h));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LibyuvArgbToI420)->Unit(benchmark::kMillisecond);

void BM_LibyuvArgbToNv12(benchmark::State& state) {
  auto* convert = libyuv_function<decltype(libyuv::ARGBToNV12)>("ARGBToNV12");
  if (convert == nullptr) {
    state.SkipWithError("libyuv.so.0 not found");
    return;
  }
  std::vector<std::uint8_t> y(kWidth * kHeight), uv(kWidth * kHeight / 2);
  const int w = kWidth, h = kHeight;
  for (auto _ : state) {
    benchmark::DoNotOptimize(convert(frame().bytes.data(), static_cast<int>(frame().stride),
                                     y.data(), w, uv.data(), w, w, h));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LibyuvArgbToNv12)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
