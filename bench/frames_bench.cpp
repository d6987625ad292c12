// Encoding and decoding of a 16 MiB video frame, the largest media frame.
//
// The decoder must copy the access unit once, straight into the decoded frame.
// Two things show it: the counter "alloc_per_payload" (bytes allocated by one
// decode divided by the payload size; 1.0 means the payload buffer and nothing
// else of that size), and the baseline BM_CopyIntoFreshBuffer, which is that
// one copy alone: a decode runs at about its speed.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kivo/protocol/frames.hpp"

namespace {

std::atomic<std::size_t> g_allocated_bytes{0};

}  // namespace

// Counts every allocation of the program, so that the bytes allocated by one
// call can be read off around it. gcc pairs the inlined new and delete of the
// registration code and takes malloc/free inside them for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  g_allocated_bytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using kivo::protocol::Bytes;
using kivo::protocol::MediaFrame;

constexpr std::size_t kVideoHeaderSize = 38;  // body bytes before the data
constexpr std::size_t kDataSize = kivo::protocol::kMaxMediaBodyLength - kVideoHeaderSize;

void set_bytes_processed(benchmark::State& state, std::size_t per_iteration) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(per_iteration));
}

MediaFrame largest_video_frame() {
  Bytes data(kDataSize);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31U);
  return {MediaFrame::Video{.agent_generation = 1,
                            .capture_epoch = 2,
                            .stream_epoch = 3,
                            .sequence = 4,
                            .keyframe = true,
                            .data = std::move(data)}};
}

void BM_DecodeVideoFrame16MiB(benchmark::State& state) {
  const Bytes frame = *kivo::protocol::encode_media_frame(largest_video_frame());
  std::size_t allocated = 0;
  for (auto _ : state) {
    const std::size_t before = g_allocated_bytes.load(std::memory_order_relaxed);
    auto decoded = kivo::protocol::decode_media_frame(frame);
    allocated += g_allocated_bytes.load(std::memory_order_relaxed) - before;
    if (!decoded) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
  set_bytes_processed(state, frame.size());
  state.counters["alloc_per_payload"] =
      static_cast<double>(allocated) /
      (static_cast<double>(state.iterations()) * static_cast<double>(kDataSize));
}
BENCHMARK(BM_DecodeVideoFrame16MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeVideoFrame16MiB(benchmark::State& state) {
  const MediaFrame frame = largest_video_frame();
  std::size_t allocated = 0;
  for (auto _ : state) {
    const std::size_t before = g_allocated_bytes.load(std::memory_order_relaxed);
    auto encoded = kivo::protocol::encode_media_frame(frame);
    allocated += g_allocated_bytes.load(std::memory_order_relaxed) - before;
    if (!encoded) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(encoded);
  }
  set_bytes_processed(state, kDataSize + kVideoHeaderSize + 4);
  state.counters["alloc_per_payload"] =
      static_cast<double>(allocated) /
      (static_cast<double>(state.iterations()) * static_cast<double>(kDataSize));
}
BENCHMARK(BM_EncodeVideoFrame16MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// One copy of the payload into a freshly allocated buffer: the floor for a
// decoder whose result owns its bytes.
void BM_CopyIntoFreshBuffer(benchmark::State& state) {
  const Bytes source(kDataSize, 0x5A);
  for (auto _ : state) {
    Bytes copy(source.begin(), source.end());
    benchmark::DoNotOptimize(copy.data());
  }
  set_bytes_processed(state, kDataSize);
}
BENCHMARK(BM_CopyIntoFreshBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
