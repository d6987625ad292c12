// The encoding stage on a fixed corpus of screen-like frames, for
// video_encode_vs_ffmpeg.sh. The corpus is generated, the same on every run:
// a text editor whose text scrolls, a window dragged across the desktop, and
// a video-like patch of moving gradients and noise.
//
//   bench_video_encode corpus  --out raw.nv12 [size options]
//       writes the frames as plain NV12 (no sharpening), the reference for
//       PSNR and the input ffmpeg encodes;
//   bench_video_encode encode --out stream.h264 [--preset P] [--crf C]
//                             [--no-sharpen] [--kbps K] [size options]
//       runs sharpening, conversion, x264 and Annex B on every frame and
//       prints "frames= seconds= cpu_seconds= fps= bytes= keyframes=".
// Size options: --width W --height H --frames N --fps F.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/video/color_convert.hpp"
#include "kivo/video/video_emitter.hpp"
#include "kivo/video/video_encoder.hpp"
#include "kivo/x264/x264_encoder.hpp"

namespace {

struct Options {
  std::string mode;
  std::string out;
  std::uint32_t width = 1920;
  std::uint32_t height = 1080;
  std::uint32_t frames = 150;
  std::uint32_t fps = 30;
  std::uint32_t kbps = 8000;
  std::string preset = kivo::x264::kPreset;
  double crf = kivo::x264::kQualityCrf;
  bool sharpen = true;
};

// Renders frame n of the corpus into a BGRA buffer.
class Corpus {
 public:
  Corpus(std::uint32_t width, std::uint32_t height)
      : width_(width), height_(height), stride_(4 * std::size_t{width}), pixels_(stride_ * height) {
    // One pseudo-glyph bitmap (6x10 inside an 8x14 cell) per character.
    std::mt19937 random(7);
    for (auto& glyph : glyphs_) {
      for (auto& row : glyph) row = static_cast<std::uint8_t>(random() & 0x3F);
    }
    for (auto& c : text_) c = static_cast<std::uint8_t>(random() % 96);
  }

  kivo::video::BgraView render(std::uint32_t n) {
    desktop();
    editor(n);
    dragged_window(n);
    video_patch(n);
    return {pixels_.data(), width_, height_, stride_};
  }

 private:
  static constexpr int kCellW = 8, kCellH = 14;

  void fill(std::int64_t x0, std::int64_t y0, std::int64_t w, std::int64_t h, std::uint32_t bgr) {
    const std::int64_t x1 = std::min<std::int64_t>(x0 + w, width_);
    const std::int64_t y1 = std::min<std::int64_t>(y0 + h, height_);
    for (std::int64_t y = std::max<std::int64_t>(y0, 0); y < y1; ++y) {
      for (std::int64_t x = std::max<std::int64_t>(x0, 0); x < x1; ++x) put(x, y, bgr);
    }
  }

  void put(std::int64_t x, std::int64_t y, std::uint32_t bgr) {
    std::uint8_t* p =
        &pixels_[static_cast<std::size_t>(y) * stride_ + 4 * static_cast<std::size_t>(x)];
    p[0] = static_cast<std::uint8_t>(bgr >> 16);
    p[1] = static_cast<std::uint8_t>(bgr >> 8);
    p[2] = static_cast<std::uint8_t>(bgr);
    p[3] = 255;
  }

  // Text from the corpus text, `line` being the first text line shown; drawn
  // with a pixel offset for smooth scrolling, clipped to the box.
  void text(std::int64_t x0, std::int64_t y0, std::int64_t w, std::int64_t h, std::uint32_t line,
            std::int64_t offset, std::uint32_t ink) {
    const std::int64_t columns = w / kCellW;
    for (std::int64_t row = 0; row * kCellH - offset < h; ++row) {
      const std::size_t text_line = (line + static_cast<std::uint32_t>(row)) * 131u;
      const std::int64_t length =
          static_cast<std::int64_t>((text_line * 7) % static_cast<std::size_t>(columns));
      for (std::int64_t col = 0; col < length; ++col) {
        const auto& glyph =
            glyphs_[text_[(text_line + static_cast<std::size_t>(col)) % text_.size()]];
        for (int gy = 0; gy < 10; ++gy) {
          const std::int64_t y = y0 + row * kCellH - offset + 2 + gy;
          if (y < y0 || y >= y0 + h || y >= height_ || y < 0) continue;
          for (int gx = 0; gx < 6; ++gx) {
            const std::int64_t x = x0 + col * kCellW + 1 + gx;
            if (x >= width_ || x < 0) continue;
            if ((glyph[static_cast<std::size_t>(gy)] >> gx) & 1) put(x, y, ink);
          }
        }
      }
    }
  }

  void desktop() {
    for (std::uint32_t y = 0; y < height_; ++y) {
      const auto shade = static_cast<std::uint32_t>(60 + 40 * y / height_);
      for (std::uint32_t x = 0; x < width_; ++x) put(x, y, (shade << 16) | (shade / 2 << 8) | 30);
    }
    fill(0, height_ - 40, width_, 40, 0x202020);  // a task bar
  }

  void editor(std::uint32_t n) {
    const std::int64_t x0 = width_ / 20, y0 = height_ / 12;
    const std::int64_t w = width_ / 2, h = height_ * 3 / 4;
    fill(x0, y0, w, 28, 0x505050);
    fill(x0, y0 + 28, w, h - 28, 0xF8F8F8);
    // Scrolls 3 pixels a frame.
    const std::uint32_t scrolled = n * 3;
    text(x0 + 6, y0 + 28, w - 12, h - 28, scrolled / kCellH, scrolled % kCellH, 0x202020);
  }

  void dragged_window(std::uint32_t n) {
    const std::int64_t w = width_ / 4, h = height_ / 3;
    const std::int64_t x0 = width_ / 3 + std::int64_t{n} * 5 % (width_ / 2);
    const std::int64_t y0 = height_ / 3 + std::int64_t{n} * 2 % (height_ / 3);
    fill(x0 + 8, y0 + 8, w, h, 0x101010);  // shadow
    fill(x0, y0, w, 24, 0x8A4A1E);
    fill(x0, y0 + 24, w, h - 24, 0xE8E0D8);
    text(x0 + 4, y0 + 30, w - 8, h - 36, 40, 0, 0x4B1E00);
  }

  void video_patch(std::uint32_t n) {
    const std::int64_t w = width_ / 5, h = height_ / 5;
    const std::int64_t x0 = width_ - w - width_ / 20, y0 = height_ / 10;
    std::mt19937 random(n);
    for (std::int64_t y = 0; y < h; ++y) {
      for (std::int64_t x = 0; x < w; ++x) {
        const auto noise = static_cast<std::uint32_t>(random() % 24);
        const auto r = static_cast<std::uint32_t>((x * 255 / w + n * 4) % 256);
        const auto g = static_cast<std::uint32_t>((y * 255 / h + n * 2) % 256);
        const auto b = static_cast<std::uint32_t>((x + y + n * 6) % 256);
        put(x0 + x, y0 + y,
            (std::min(b + noise, 255u) << 16) | (std::min(g + noise, 255u) << 8) |
                std::min(r + noise, 255u));
      }
    }
  }

  std::uint32_t width_, height_;
  std::size_t stride_;
  std::vector<std::uint8_t> pixels_;
  std::array<std::array<std::uint8_t, 10>, 96> glyphs_{};
  std::array<std::uint8_t, 4096> text_{};
};

bool parse(int argc, char** argv, Options& options) {
  if (argc < 2) return false;
  options.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--out") {
      options.out = next();
    } else if (arg == "--width") {
      options.width = static_cast<std::uint32_t>(std::stoul(next()));
    } else if (arg == "--height") {
      options.height = static_cast<std::uint32_t>(std::stoul(next()));
    } else if (arg == "--frames") {
      options.frames = static_cast<std::uint32_t>(std::stoul(next()));
    } else if (arg == "--fps") {
      options.fps = static_cast<std::uint32_t>(std::stoul(next()));
    } else if (arg == "--kbps") {
      options.kbps = static_cast<std::uint32_t>(std::stoul(next()));
    } else if (arg == "--preset") {
      options.preset = next();
    } else if (arg == "--crf") {
      options.crf = std::stod(next());
    } else if (arg == "--no-sharpen") {
      options.sharpen = false;
    } else {
      return false;
    }
  }
  return !options.out.empty() && options.width % 2 == 0 && options.height % 2 == 0;
}

int write_corpus(const Options& options) {
  Corpus corpus(options.width, options.height);
  kivo::video::PicturePool pool(2);
  std::ofstream out(options.out, std::ios::binary);
  for (std::uint32_t n = 0; n < options.frames; ++n) {
    auto picture = pool.acquire_nv12(options.width, options.height);
    if (!kivo::video::bgra_to_nv12(corpus.render(n), picture.view())) return 1;
    const kivo::video::Nv12View v = picture.view();
    for (std::uint32_t y = 0; y < v.height; ++y) {
      out.write(reinterpret_cast<const char*>(v.y + y * v.y_stride), v.width);
    }
    for (std::uint32_t y = 0; y < v.chroma_height(); ++y) {
      out.write(reinterpret_cast<const char*>(v.uv + y * v.uv_stride), 2 * v.chroma_width());
    }
  }
  return out ? 0 : 1;
}

int encode(const Options& options) {
  kivo::protocol::CaptureConfig config;
  config.width = options.width;
  config.height = options.height;
  config.fps = options.fps;
  config.bitrate_kbps = options.kbps;
  kivo::x264::X264EncoderFactory factory({options.preset, options.crf, 0});
  auto context = std::make_shared<kivo::video::EncoderOutputContext>();
  auto encoder =
      kivo::video::VideoEncoder::create(factory, config, context, {.sharpen = options.sharpen});
  if (!encoder) {
    std::fprintf(stderr, "%s\n", encoder.error().display().c_str());
    return 1;
  }
  kivo::video::VideoEmitter emitter(context);
  std::ofstream out(options.out, std::ios::binary);
  std::uint64_t bytes = 0, key_frames = 0, frames = 0;
  const auto sink = [&](kivo::video::EncodedVideoFrame frame) {
    out.write(reinterpret_cast<const char*>(frame.data.data()),
              static_cast<std::streamsize>(frame.data.size()));
    bytes += frame.data.size();
    key_frames += frame.key_frame ? 1 : 0;
    ++frames;
    return true;
  };
  Corpus corpus(options.width, options.height);
  std::chrono::steady_clock::duration busy{};
  double cpu_seconds = 0.0;
  const auto cpu_now = [] {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  };
  for (std::uint32_t n = 0; n < options.frames; ++n) {
    const kivo::video::BgraView image = corpus.render(n);
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_now();
    const kivo::video::RawFrame frame{kivo::video::kPixelFormatBgra, image,
                                      std::int64_t{n} * 1000000 / options.fps};
    auto submitted = (*encoder)->encode_frame(frame, context->flags.request.exchange(false));
    if (!submitted || !emitter.drain(0, sink)) return 1;
    busy += std::chrono::steady_clock::now() - start;
    cpu_seconds += cpu_now() - cpu_start;
  }
  (*encoder)->tear_down();
  if (!emitter.drain(0, sink)) return 1;
  const double seconds = std::chrono::duration<double>(busy).count();
  std::printf("frames=%llu seconds=%.3f cpu_seconds=%.3f fps=%.1f bytes=%llu keyframes=%llu\n",
              static_cast<unsigned long long>(frames), seconds, cpu_seconds,
              static_cast<double>(options.frames) / seconds, static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(key_frames));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s corpus|encode --out FILE [--width W --height H --frames N --fps F]\n"
                 "       [--kbps K --preset P --crf C --no-sharpen]\n",
                 argv[0]);
    return 2;
  }
  if (options.mode == "corpus") return write_corpus(options);
  if (options.mode == "encode") return encode(options);
  return 2;
}
