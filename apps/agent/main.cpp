// kivo-agent: the per-user session agent. The main thread keeps the place of
// the desktop's event loop (the status item lives there); the runtime thread
// runs the agent and stops the main loop when it is done.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "agent_failure.hpp"
#include "agent_runtime.hpp"
#include "desktop_features.hpp"
#include "kivo/core/config.hpp"
#include "kivo/core/log.hpp"
#include "kivo/core/logging.hpp"
#include "logind_session_claim.hpp"
#include "main_queue.hpp"
#include "session_claim.hpp"
#include "shutdown_channel.hpp"
#include "signal_watch.hpp"
#include "thread_names.hpp"

namespace {

using kivo::agent::AgentFailure;

constexpr std::string_view kRuntimeThread = "kivo-agent-runtime";

int exit_with(const AgentFailure& failure) {
  std::fputs(failure.report().c_str(), stderr);
  return 1;
}

int run_main() {
  // Before any thread exists, so that every thread inherits the mask.
  kivo::agent::block_shutdown_signals();

  auto log_dir = kivo::current_user_log_dir();
  if (!log_dir) return exit_with(AgentFailure(log_dir.error()));
  const std::filesystem::path log_path = *log_dir / "agent.log";
  auto logging = kivo::log::init_file_logging_with_options(log_path, kivo::log::LogFileOptions{});
  if (!logging) {
    return exit_with(
        AgentFailure(logging.error())
            .context(fmt::format("failed to initialize agent logging at {}", log_path.string())));
  }

  kivo::agent::LogindSessionClaimSource claim_source;
  const kivo::agent::SessionClaim claim =
      kivo::agent::sample_session_claim(claim_source, kivo::agent::Sleeper::system());

  kivo::agent::MainQueue main_queue;
  kivo::agent::ShutdownChannel shutdown;
  std::optional<kivo::Expected<void, AgentFailure>> result;
  auto runtime_thread = kivo::agent::spawn_named_thread(kRuntimeThread, [&] {
    kivo::agent::LogindSessionClaimSource lock_claim_source;
    auto ended = kivo::agent::run_agent_runtime(kivo::agent::RuntimeEnvironment{
        .claim = claim,
        .sample_claim =
            [&lock_claim_source] {
              return kivo::agent::sample_session_claim(lock_claim_source,
                                                       kivo::agent::Sleeper::system());
            },
        .make_features =
            [&main_queue] {
              const char* display = std::getenv("DISPLAY");
              return kivo::agent::DesktopFeatures::for_x11_display(
                  display ? display : "",
                  [&main_queue](std::function<void()> work) { main_queue.post(std::move(work)); });
            },
        .shutdown = shutdown});
    if (!ended) {
      KIVO_ERROR("kivo_agent", "agent runtime exited with error",
                 kivo::log::field("error", ended.error().message()));
    }
    result = std::move(ended);
    main_queue.post_stop();
  });
  if (!runtime_thread) {
    return exit_with(
        AgentFailure(runtime_thread.error()).context("failed to start the agent runtime thread"));
  }

  // The status item is shown only for a console session; it is not built
  // yet, so the main thread only runs its queue.
  main_queue.run();
  runtime_thread->join();

  int status = 0;
  if (!result) {
    status = exit_with(AgentFailure("agent runtime thread failed"));
  } else if (!*result) {
    status = exit_with(result->error());
  }
  // Logging is flushed and shut down last, by the guard going out of scope.
  return status;
}

}  // namespace

int main() {
  return run_main();
}
