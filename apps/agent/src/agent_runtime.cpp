#include "agent_runtime.hpp"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent_state.hpp"
#include "bulk_reader.hpp"
#include "bulk_writer.hpp"
#include "capture_session.hpp"
#include "command_loop.hpp"
#include "document_sender.hpp"
#include "graphics_supervisor.hpp"
#include "kivo/core/log.hpp"
#include "kivo/core/quit.hpp"
#include "kivo/xpc/agent_connection.hpp"
#include "kivo/xpc/service_inbound.hpp"
#include "kivo/xpc/service_path.hpp"
#include "maintenance_loop.hpp"
#include "media_reader.hpp"
#include "media_writer.hpp"
#include "state_bulk_consumer.hpp"
#include "stop_signal.hpp"
#include "thread_names.hpp"
#include "x11_window_server_probe_adapter.hpp"

namespace kivo::agent {
namespace {

constexpr std::string_view kCommandLoopThread = "kivo-agent-xpc-runtime";
constexpr std::string_view kMaintenanceThread = "kivo-agent-clipboard-poll";
constexpr std::chrono::milliseconds kFinalFlush{1000};

using RuntimeResult = Expected<void, AgentFailure>;

class RuntimeBulkHooks final : public BulkReaderHooks {
 public:
  RuntimeBulkHooks(ShutdownChannel& shutdown, const std::atomic<bool>& quitting)
      : shutdown_(shutdown), quitting_(quitting) {}
  void bulk_send_failed() override {
    shutdown_.post(ShutdownRequest::xpc_terminated(quitting_.load(), "bulk_send_failed"));
  }
  // The status menu's connection list is not kept yet: nothing to end.
  void bulk_reader_ended() override {}

 private:
  ShutdownChannel& shutdown_;
  const std::atomic<bool>& quitting_;
};

// Everything the running agent owns. Members are declared in the order they
// may be destroyed in reverse: threads last, so they are joined (or known
// gone) before what they use disappears.
class AgentRuntime {
 public:
  explicit AgentRuntime(RuntimeEnvironment& environment)
      : environment_(environment),
        shutdown_(environment.shutdown),
        shared_(environment.make_features()),
        bulk_consumer_(shared_.state),
        bulk_hooks_(shutdown_, xpc::quitting_flag()) {}

  ~AgentRuntime() { stop_threads(); }

  RuntimeResult run() {
    auto gate = evaluate_startup_gate();
    if (!gate)
      return fail(AgentFailure(gate.error()).context("failed to evaluate agent startup gate"));
    if (gate->kind == StartupGate::Kind::kExit) {
      KIVO_INFO("kivo_agent", "startup gate requested clean agent exit");
      return {};
    }

    start_graphics_supervisor();

    auto signals = listen_for_shutdown_signals();
    if (!signals) return fail(signals.error());

    if (auto started = start(*gate); !started) return started;
    auto request = wait_for_shutdown(*signals);
    return clean_up(std::move(request));
  }

 private:
  // Never fails: a supervisor that cannot start its thread reports that
  // through the graphics health.
  void start_graphics_supervisor() {
    std::unique_ptr<WindowServerProbe> probe = environment_.make_window_server_probe
                                                   ? environment_.make_window_server_probe()
                                                   : make_x11_window_server_probe();
    graphics_ = std::make_shared<GraphicsSupervisor>(std::move(probe));
    graphics_->start();
    std::lock_guard lock(shared_.mutex);
    shared_.state.graphics_snapshot = [graphics = graphics_] { return graphics->snapshot(); };
  }

  RuntimeResult start(const StartupGate& gate) {
    auto connected = xpc::AgentConnection::connect_privileged(xpc::kAgentServiceName);
    if (!connected) {
      return fail(AgentFailure(connected.error())
                      .context("failed to connect to privileged Kivo service XPC Mach service"));
    }
    connection_ = std::move(*connected);

    inbound_ = std::make_shared<xpc::InboundQueue>(xpc::kInboundQueueCapacity);
    connection_->start(inbound_, xpc::quitting_flag());

    std::optional<std::string_view> resume_quit_id;
    if (gate.kind == StartupGate::Kind::kResume) resume_quit_id = gate.quit_id;
    auto hello = connection_->send_hello(environment_.claim.on_console,
                                         environment_.claim.login_done, resume_quit_id);
    if (!hello)
      return fail(AgentFailure(hello.error()).context("failed to complete agent XPC hello"));
    if (resume_quit_id) finish_resume_after_hello(*resume_quit_id);

    sender_ = std::make_shared<XpcDocumentSender>(connection_->sender());
    xpc::UniqueFd media_reader_fd;
    xpc::UniqueFd bulk_reader_fd;
    {
      std::lock_guard lock(shared_.mutex);
      AgentState& state = shared_.state;
      state.agent_generation = hello->agent_generation;
      state.sender = sender_;
      state.session_claim = environment_.sample_claim;

      auto media = install_media_socket(std::move(hello->media_fd));
      if (!media)
        return fail(AgentFailure(media.error()).context("failed to install agent media fd"));
      state.media_writer = std::move(media->writer);
      media_reader_fd = std::move(media->reader_fd);

      auto bulk =
          install_bulk_socket(std::move(hello->bulk_fd), stop_.flag(), MonotonicClock::system());
      if (!bulk) return fail(AgentFailure(bulk.error()).context("failed to install agent bulk fd"));
      state.bulk_writer = std::move(bulk->writer);
      bulk_reader_fd = std::move(bulk->reader_fd);
      threads_.push_back(std::move(bulk->writer_thread));
    }

    auto playback = start_media_playback_reader(std::move(media_reader_fd), stop_.flag(), nullptr);
    if (!playback) {
      return fail(
          AgentFailure(playback.error()).context("failed to start agent media playback reader"));
    }
    threads_.push_back(std::move(*playback));

    auto bulk_reader =
        start_bulk_reader(std::move(bulk_reader_fd), BulkReaderContext{.state_lock = shared_.mutex,
                                                                       .consumer = bulk_consumer_,
                                                                       .sender = *sender_,
                                                                       .hooks = bulk_hooks_,
                                                                       .stop = stop_.flag()});
    if (!bulk_reader) {
      return fail(AgentFailure(bulk_reader.error()).context("failed to start agent bulk reader"));
    }
    threads_.push_back(std::move(*bulk_reader));

    auto maintenance = spawn_named_thread(kMaintenanceThread, [this] {
      run_maintenance_loop(MaintenanceLoopContext{.shared = shared_,
                                                  .sender = *sender_,
                                                  .shutdown = shutdown_,
                                                  .quitting = xpc::quitting_flag(),
                                                  .stop = stop_});
    });
    if (!maintenance) {
      return fail(AgentFailure(maintenance.error()).context("failed to start clipboard poll loop"));
    }
    threads_.push_back(std::move(*maintenance));

    auto commands = spawn_named_thread(kCommandLoopThread, [this] {
      run_command_loop(CommandLoopContext{.inbound = *inbound_,
                                          .shared = shared_,
                                          .sender = *sender_,
                                          .shutdown = shutdown_,
                                          .quitting = xpc::quitting_flag()});
    });
    if (!commands) {
      return fail(AgentFailure(commands.error()).context("failed to start agent XPC message loop"));
    }
    command_loop_ = std::move(*commands);

    KIVO_INFO("kivo_agent", "agent started and connected to service control plane",
              log::field("mach_service", xpc::kAgentServiceName),
              log::field("agent_generation", hello->agent_generation));
    return {};
  }

  // Waits for a signal or a request that ends the wait. Ready sources are
  // looked at in a random order, so that none can starve the others.
  Expected<ShutdownRequest, AgentFailure> wait_for_shutdown(const ShutdownSignals& signals) {
    std::minstd_rand order_source(std::random_device{}());
    bool quit_all_sent = false;
    while (true) {
      std::array<pollfd, 3> sources{pollfd{signals.terminate.get(), POLLIN, 0},
                                    pollfd{signals.interrupt.get(), POLLIN, 0},
                                    pollfd{shutdown_.wait_fd(), POLLIN, 0}};
      if (::poll(sources.data(), sources.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return fail(AgentFailure(KivoError::io_errno(errno)).context("agent shutdown wait failed"));
      }
      std::array<std::size_t, 3> order{0, 1, 2};
      std::shuffle(order.begin(), order.end(), order_source);
      for (std::size_t index : order) {
        if ((sources[index].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
        if (index < 2) {
          consume_signal(sources[index].fd);
          return ShutdownRequest::os_signal();
        }
        std::optional<ShutdownRequest> request = shutdown_.try_take();
        if (!request) continue;
        if (request->kind != ShutdownRequest::Kind::kMenuQuit) return std::move(*request);
        if (quit_all_sent) continue;
        quit_all_sent = true;
        if (auto sent = send_quit_all_request(); !sent) return fail(sent.error());
      }
    }
  }

  RuntimeResult send_quit_all_request() {
    protocol::AgentStamp stamp;
    {
      std::lock_guard lock(shared_.mutex);
      stamp = shared_.state.stamp();
    }
    auto sent = sender_->send(std::nullopt, stamp, protocol::agent_msg::QuitAllRequest{});
    if (!sent) {
      return fail(AgentFailure(sent.error()).context("failed to send quit-all request to service"));
    }
    return {};
  }

  RuntimeResult clean_up(Expected<ShutdownRequest, AgentFailure> ended) {
    shutdown_.close();
    const std::string reason(ended ? shutdown_reason(*ended) : "shutdown_error");
    KIVO_INFO("kivo_agent", "agent runtime cleanup started", log::field("reason", reason));
    {
      std::lock_guard lock(shared_.mutex);
      AgentState& state = shared_.state;
      state.shutting_down = true;
      state.routes.revoke_all(*state.features);
      if (auto stopped = stop_capture_session(state, /*advance_input_epoch=*/true); !stopped) {
        KIVO_WARN("kivo_agent", "failed to stop capture during agent shutdown",
                  log::field("error", stopped.error()), log::field("reason", reason));
      }
      state.features->flush_input_queue(state);
      state.features->stop_input_worker(state);
      state.features->restore_physical_display_mode(reason);
      state.features->shut_down_engines(state);
      if (state.bulk_writer) state.bulk_writer->shutdown_socket();
      if (state.media_writer) state.media_writer->shutdown_socket();
      state.sender.reset();
      KIVO_INFO("kivo_agent", "agent runtime cleanup finished", log::field("reason", reason));
    }
    stop_threads();

    if (!ended) return fail(ended.error());
    if (ended->kind == ShutdownRequest::Kind::kXpcTerminated && !ended->quitting) {
      return fail(AgentFailure("agent XPC connection terminated: " + ended->detail));
    }
    return {};
  }

  // Ends every loop and joins its thread: the stop flag for the maintenance
  // loop and the socket threads, the end of the connection for the command
  // loop. The inbound queue is closed first: cancelling waits for the
  // connection's handler, which may be blocked on a full queue.
  void stop_threads() {
    stop_.set();
    if (inbound_) inbound_->close();
    if (connection_) {
      // The replies already sent (the last status, say) leave before the
      // link goes, within a bound: a service that stopped reading must not
      // hold the agent's exit.
      (void)connection_->flush(kFinalFlush);
      connection_->close();
    }
    {
      std::lock_guard lock(shared_.mutex);
      if (shared_.state.bulk_writer) shared_.state.bulk_writer->shutdown_socket();
      if (shared_.state.media_writer) shared_.state.media_writer->shutdown_socket();
    }
    if (command_loop_.joinable()) command_loop_.join();
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    if (graphics_) graphics_->stop();
  }

  RuntimeEnvironment& environment_;
  ShutdownChannel& shutdown_;
  SharedAgentState shared_;
  StateBulkConsumer bulk_consumer_;
  RuntimeBulkHooks bulk_hooks_;
  StopSignal stop_;
  std::optional<xpc::AgentConnection> connection_;
  std::shared_ptr<xpc::InboundQueue> inbound_;
  std::shared_ptr<DocumentSender> sender_;
  std::shared_ptr<GraphicsSupervisor> graphics_;
  std::thread command_loop_;
  std::vector<std::thread> threads_;
};

}  // namespace

Expected<void, AgentFailure> run_agent_runtime(RuntimeEnvironment environment) {
  AgentRuntime runtime(environment);
  return runtime.run();
}

}  // namespace kivo::agent
