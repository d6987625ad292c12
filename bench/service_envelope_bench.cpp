// Cost of reading one command payload: the "inject_input" mouse move is the
// command the service sends most often, once per remote pointer event.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string_view>

#include "kivo/protocol/service_message.hpp"

namespace {

constexpr std::string_view kMouseMove =
    R"({"request_id":4711,"stamp":{"agent_generation":3,"capture_epoch":12},)"
    R"("message":{"type":"inject_input","event":{"Mouse":{"action":"Move","has_xy":true,)"
    R"("button":null,"x":1234,"y":567,"wheel_delta":0}},"geometry_epoch":12,"input_epoch":5}})";

void BM_DecodeInjectInputMouseMove(benchmark::State& state) {
  for (auto _ : state) {
    kivo::Result<kivo::protocol::ServiceEnvelope> envelope =
        kivo::protocol::decode_service_envelope(kMouseMove);
    if (!envelope) std::abort();
    benchmark::DoNotOptimize(envelope);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kMouseMove.size()));
}
BENCHMARK(BM_DecodeInjectInputMouseMove);

void BM_EncodeInjectInputMouseMove(benchmark::State& state) {
  kivo::Result<kivo::protocol::ServiceEnvelope> envelope =
      kivo::protocol::decode_service_envelope(kMouseMove);
  if (!envelope) std::abort();
  for (auto _ : state) {
    std::string text = kivo::protocol::encode_service_envelope(*envelope);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_EncodeInjectInputMouseMove);

}  // namespace

BENCHMARK_MAIN();
