// Round trip of one command and its reply between the stand-in service and an
// agent: the stand-in sends "query_status", a responder on the agent's side
// takes it off the inbound queue and answers "status" through
// AgentMessageSender, and the stand-in has the decoded reply in hand.
//
// The floor, BM_SocketPairPingPong, is the same bytes bounced between two
// threads over a bare socket pair: two wake-ups and two copies through the
// kernel. BM_XpcLinkPingPong is the same exchange over two link connections
// (the messages the round trip carries, answered in the peer's event handler):
// what the link costs on both sides, the hand-off from the service's reader to
// the waiting thread included. The stand-in path adds the agent's inbound
// queue and responder thread (the agent's command loop), the stand-in's books,
// and JSON both ways; it saves that last hand-off, since the stand-in's
// waiting thread reads the link itself (EventPump).
//
// Each iteration is timed on its own; the counters p50_us and p99_us are the
// percentiles of those times.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "kivo/protocol/agent_message.hpp"
#include "kivo/standin/standin_service.hpp"
#include "kivo/xpc/agent_connection.hpp"
#include "kivo/xpc/connection.hpp"
#include "kivo/xpc/message_kind.hpp"
#include "kivo/xpc/service_inbound.hpp"
#include "kivo/xpc/service_path.hpp"
#include "kivo/xpc/wire.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kivo::protocol::AgentMessage;
using kivo::protocol::AgentStamp;

constexpr std::chrono::milliseconds kPatience{10'000};

AgentMessage stopped_status() {
  kivo::protocol::agent_msg::Status status;
  status.status = {false, "agent.sck-vt", "capture.stopped"};
  return status;
}

// Collects one duration per iteration and reports the percentiles.
class Percentiles {
 public:
  explicit Percentiles(benchmark::State& state) : state_(state) { samples_.reserve(1 << 20); }
  void add(Clock::duration elapsed) {
    samples_.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
  }
  ~Percentiles() {
    if (samples_.empty()) return;
    std::sort(samples_.begin(), samples_.end());
    const auto at = [&](double q) {
      return samples_[static_cast<std::size_t>(q * static_cast<double>(samples_.size() - 1))];
    };
    state_.counters["p50_us"] = at(0.50);
    state_.counters["p99_us"] = at(0.99);
  }

 private:
  benchmark::State& state_;
  std::vector<double> samples_;
};

// A fresh system root for the stand-in's socket.
class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kivo-bench-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    ::setenv("KIVO_SYSTEM_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    ::unsetenv("KIVO_SYSTEM_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void BM_StandinRoundTrip(benchmark::State& state) {
  TempRoot root;
  auto service = kivo::standin::StandinService::listen({.root = root.path()});
  if (!service) return state.SkipWithError(service.error().display().c_str());
  auto agent = kivo::xpc::AgentConnection::connect_privileged(kivo::xpc::kAgentServiceName);
  if (!agent || !(*service)->accept_agent(kPatience)) return state.SkipWithError("no link");
  auto inbound = std::make_shared<kivo::xpc::InboundQueue>(kivo::xpc::kInboundQueueCapacity);
  std::atomic<bool> quitting{false};
  agent->start(inbound, quitting);
  std::thread hello_thread([&] {
    if ((*service)->await_hello(kPatience)) (void)(*service)->accept_hello();
  });
  auto hello = agent->send_hello(true, true, std::nullopt);
  hello_thread.join();
  if (!hello) return state.SkipWithError(hello.error().display().c_str());

  // Answers every command until the link ends.
  const kivo::xpc::AgentMessageSender sender = agent->sender();
  std::thread responder([&] {
    const AgentMessage reply = stopped_status();
    while (auto item = inbound->pop()) {
      const auto* command = std::get_if<kivo::xpc::InboundEnvelope>(&*item);
      if (command == nullptr) break;
      if (!sender.send(command->envelope.request_id, command->envelope.stamp, reply)) break;
    }
  });

  {
    Percentiles percentiles(state);
    for (auto _ : state) {
      const auto start = Clock::now();
      auto id = (*service)->send_numbered(kivo::protocol::QueryStatus{});
      auto answer = id ? (*service)->await_reply(*id, kPatience) : std::nullopt;
      percentiles.add(Clock::now() - start);
      if (!answer) {
        state.SkipWithError("no reply");
        break;
      }
      benchmark::DoNotOptimize(answer);
    }
  }
  agent->close();
  responder.join();
  (*service)->close();
}
BENCHMARK(BM_StandinRoundTrip)->UseRealTime()->MinTime(2.0);

// The encoded size of the messages the round trip above carries.
std::size_t wire_size(std::uint64_t kind, const std::string& payload) {
  kivo::xpc::Message message;
  message.set_uint64(std::string(kivo::xpc::kKindKey), kind);
  message.set_data(std::string(kivo::xpc::kPayloadKey), payload);
  auto encoded = kivo::xpc::encode_message(1, 0, message);
  return encoded ? encoded->bytes.size() : 0;
}

bool write_all(int fd, const std::vector<char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool read_all(int fd, std::vector<char>& bytes) {
  return ::recv(fd, bytes.data(), bytes.size(), MSG_WAITALL) == static_cast<ssize_t>(bytes.size());
}

void BM_SocketPairPingPong(benchmark::State& state) {
  const AgentStamp stamp{1, 0};
  const kivo::protocol::ServiceEnvelope envelope{123, stamp, kivo::protocol::QueryStatus{}};
  std::vector<char> command(
      wire_size(kivo::xpc::kKindCommand, kivo::protocol::encode_service_envelope(envelope)), 'c');
  std::vector<char> reply(
      wire_size(kivo::xpc::kKindAgentDocument,
                kivo::protocol::encode_agent_envelope(123, stamp, stopped_status())),
      'r');
  state.counters["command_bytes"] = static_cast<double>(command.size());
  state.counters["reply_bytes"] = static_cast<double>(reply.size());

  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return state.SkipWithError("socketpair failed");
  }
  std::thread echo([&, fd = fds[1]] {
    std::vector<char> in(command.size());
    while (read_all(fd, in) && write_all(fd, reply)) {
    }
  });
  {
    Percentiles percentiles(state);
    std::vector<char> in(reply.size());
    for (auto _ : state) {
      const auto start = Clock::now();
      if (!write_all(fds[0], command) || !read_all(fds[0], in)) {
        state.SkipWithError("socket failed");
        break;
      }
      percentiles.add(Clock::now() - start);
    }
  }
  ::shutdown(fds[0], SHUT_RDWR);
  echo.join();
  ::close(fds[0]);
  ::close(fds[1]);
}
BENCHMARK(BM_SocketPairPingPong)->UseRealTime()->MinTime(2.0);

kivo::xpc::Message link_message(std::uint64_t kind, const std::string& payload) {
  kivo::xpc::Message message;
  message.set_uint64(std::string(kivo::xpc::kKindKey), kind);
  message.set_data(std::string(kivo::xpc::kPayloadKey), payload);
  return message;
}

void BM_XpcLinkPingPong(benchmark::State& state) {
  const AgentStamp stamp{1, 0};
  const std::string command = kivo::protocol::encode_service_envelope(
      kivo::protocol::ServiceEnvelope{123, stamp, kivo::protocol::QueryStatus{}});
  const std::string reply = kivo::protocol::encode_agent_envelope(123, stamp, stopped_status());

  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return state.SkipWithError("socketpair failed");
  }
  auto service = kivo::xpc::Connection::adopt(kivo::xpc::UniqueFd(fds[0]));
  auto agent = kivo::xpc::Connection::adopt(kivo::xpc::UniqueFd(fds[1]));
  std::mutex mutex;
  std::condition_variable answered;
  std::uint64_t replies = 0;
  service.set_event_handler([&](kivo::xpc::Event event) {
    if (!std::holds_alternative<kivo::xpc::WireMessage>(event)) return;
    {
      std::lock_guard lock(mutex);
      ++replies;
    }
    answered.notify_all();
  });
  agent.set_event_handler([&, sender = agent.sender()](kivo::xpc::Event event) {
    if (!std::holds_alternative<kivo::xpc::WireMessage>(event)) return;
    (void)sender.send(link_message(kivo::xpc::kKindAgentDocument, reply));
  });
  service.resume();
  agent.resume();
  {
    Percentiles percentiles(state);
    std::uint64_t sent = 0;
    for (auto _ : state) {
      const auto start = Clock::now();
      (void)service.send(link_message(kivo::xpc::kKindCommand, command));
      ++sent;
      std::unique_lock lock(mutex);
      if (!answered.wait_for(lock, kPatience, [&] { return replies == sent; })) {
        state.SkipWithError("no reply");
        break;
      }
      lock.unlock();
      percentiles.add(Clock::now() - start);
    }
  }
  agent.cancel();
  service.cancel();
}
BENCHMARK(BM_XpcLinkPingPong)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
