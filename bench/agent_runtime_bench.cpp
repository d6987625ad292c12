// The whole agent under load: "query_status" commands from the stand-in
// service through the agent's runtime (link, inbound queue, command loop,
// dispatcher under the AgentState lock, status report, reply) and back.
//
// BM_QueryStatusRoundTrip sends one command at a time and waits for its reply;
// BM_QueryStatusPipelined keeps 32 commands in flight. Both report commands
// per second (items_per_second). BM_MaintenanceTickLockHeld is the time the
// AgentState lock is held for one maintenance tick with the engines built so
// far.
//
// The runtime runs in this process on its own thread, exactly as the
// kivo-agent binary runs it, against a private system root and home.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "agent_runtime.hpp"
#include "agent_state.hpp"
#include "kivo/standin/standin_service.hpp"
#include "maintenance_loop.hpp"
#include "unbuilt_features.hpp"

namespace {

using namespace std::chrono_literals;
using kivo::agent::ShutdownChannel;

// A running agent and the stand-in it talks to.
class AgentUnderTest {
 public:
  AgentUnderTest() {
    root_ = std::filesystem::temp_directory_path() / ("kivo-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root_ / "home");
    ::setenv("KIVO_SYSTEM_ROOT", root_.c_str(), 1);
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    auto service = kivo::standin::StandinService::listen({.root = root_});
    if (!service) std::abort();
    service_ = std::move(*service);
    runtime_ = std::thread([this] {
      auto ended = kivo::agent::run_agent_runtime(kivo::agent::RuntimeEnvironment{
          .claim = {},
          .sample_claim = [] { return kivo::agent::SessionClaim{}; },
          .make_features = [] { return std::make_unique<kivo::agent::UnbuiltFeatures>(); },
          .shutdown = shutdown_});
      (void)ended;
    });
    if (!service_->accept_agent(10s) || !service_->await_hello(10s) || !service_->accept_hello()) {
      std::abort();
    }
  }

  ~AgentUnderTest() {
    (void)service_->send_command(kivo::protocol::Quit{}, std::nullopt);
    runtime_.join();
    service_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  kivo::standin::StandinService& service() { return *service_; }

 private:
  std::filesystem::path root_;
  ShutdownChannel shutdown_;
  std::unique_ptr<kivo::standin::StandinService> service_;
  std::thread runtime_;
};

void BM_QueryStatusRoundTrip(benchmark::State& state) {
  AgentUnderTest agent;
  for (auto _ : state) {
    auto id = agent.service().send_numbered(kivo::protocol::QueryStatus{});
    if (!id || !agent.service().await_reply(*id, 10s)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryStatusRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_QueryStatusPipelined(benchmark::State& state) {
  constexpr std::size_t kInFlight = 32;
  AgentUnderTest agent;
  std::deque<std::uint64_t> in_flight;
  for (auto _ : state) {
    auto id = agent.service().send_numbered(kivo::protocol::QueryStatus{});
    if (!id) {
      state.SkipWithError("send failed");
      break;
    }
    in_flight.push_back(*id);
    if (in_flight.size() >= kInFlight) {
      if (!agent.service().await_reply(in_flight.front(), 10s)) {
        state.SkipWithError("no reply");
        break;
      }
      in_flight.pop_front();
    }
  }
  for (std::uint64_t id : in_flight) (void)agent.service().await_reply(id, 10s);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryStatusPipelined)->UseRealTime()->MinTime(2.0);

void BM_MaintenanceTickLockHeld(benchmark::State& state) {
  kivo::agent::SharedAgentState shared(std::make_unique<kivo::agent::UnbuiltFeatures>());
  for (auto _ : state) {
    std::lock_guard lock(shared.mutex);
    auto documents = shared.state.features->maintenance_tick(shared.state);
    benchmark::DoNotOptimize(documents);
  }
}
BENCHMARK(BM_MaintenanceTickLockHeld);

}  // namespace

BENCHMARK_MAIN();
