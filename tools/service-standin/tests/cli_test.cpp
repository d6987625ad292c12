// The program end to end: a script, a real agent link, the output and the
// exit status.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "kivo/protocol/frames.hpp"
#include "kivo/testing/temp_dir.hpp"
#include "test_agent.hpp"

extern char** environ;

namespace kivo::standin {
namespace {

using namespace std::chrono_literals;
using kivo::testing::ScopedEnv;
using kivo::testing::TempDir;
using ::testing::Contains;
using ::testing::HasSubstr;
using testing::kPatience;
using testing::TestAgent;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The program running with its output going to files in `dir`.
class StandinProcess {
 public:
  StandinProcess(const std::filesystem::path& dir, std::vector<std::string> args)
      : out_(dir / "stdout.txt"), err_(dir / "stderr.txt") {
    args.insert(args.begin(), KIVO_STANDIN_BINARY);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    spawned_ = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~StandinProcess() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      wait_for_exit();
    }
  }

  bool spawned() const { return spawned_; }
  bool running() {
    if (!spawned_ || status_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return !status_;
  }
  // The exit status, or -1 when it did not exit in time.
  int wait_for_exit(std::chrono::milliseconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    if (!status_ || !WIFEXITED(*status_)) return -1;
    return WEXITSTATUS(*status_);
  }
  std::string out() const { return read_file(out_); }
  std::string err() const { return read_file(err_); }

 private:
  std::filesystem::path out_;
  std::filesystem::path err_;
  pid_t pid_ = -1;
  bool spawned_ = false;
  std::optional<int> status_;
};

// Connects once the program listens (it binds, then listens: a connect may
// be refused for a moment after the socket file appears).
bool connect_when_listening(TestAgent& agent, StandinProcess& standin) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (standin.running() && std::chrono::steady_clock::now() < deadline) {
    if (agent.connect()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(StandinCliTest, PlaysTheServiceForAScript) {
  TempDir dir;
  const std::filesystem::path root = dir.path() / "root";
  ScopedEnv root_env("KIVO_SYSTEM_ROOT", root.c_str());
  const auto script = dir.write("script.jsonl",
                                "# ask once, then let the agent go\n"
                                "{\"type\":\"query_status\"}\n"
                                "{\"await\":\"status\",\"timeout_ms\":10000}\n"
                                "{\"type\":\"quit\"}\n");
  StandinProcess standin(dir.path(),
                         {"--root", root.string(), "--until-quit", "--seconds", "60", "--frames",
                          "--video-out", (dir.path() / "out.h264").string(), script.string()});
  ASSERT_TRUE(standin.spawned());
  TestAgent agent;
  ASSERT_TRUE(connect_when_listening(agent, standin)) << standin.err();
  ASSERT_TRUE(agent.hello()) << agent.hello().error().display();
  EXPECT_EQ(agent.hello()->agent_generation, 1u);
  const protocol::MediaFrame video{
      protocol::MediaFrame::Video{1, 0, 0, 0, true, protocol::Bytes{0, 0, 0, 1, 0x65, 0x88}}};
  const protocol::Bytes frame = *protocol::encode_media_frame(video);
  ASSERT_EQ(::send(agent.hello()->media_fd.get(), frame.data(), frame.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(frame.size()));

  auto query = agent.next_command();
  ASSERT_TRUE(query);
  EXPECT_EQ(query->request_id, 1u);
  EXPECT_EQ(query->stamp, (protocol::AgentStamp{1, 0}));
  ASSERT_TRUE(agent.send(query->request_id, query->stamp, testing::stopped_status()));
  auto quit = agent.next_command();
  ASSERT_TRUE(quit);
  EXPECT_TRUE(std::holds_alternative<protocol::Quit>(quit->message));
  agent.close();

  EXPECT_EQ(standin.wait_for_exit(), 0) << standin.err();
  const std::vector<std::string> lines = lines_of(standin.out());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(
      lines[0],
      R"({"session":{"on_console":true,"login_done":true},"capabilities":)"
      R"(["recent_history_snapshot_v1","open_ui_connect_intent_v1","display_thumbnail_bulk_v1"]})");
  EXPECT_THAT(lines,
              Contains(protocol::encode_agent_envelope(1, {1, 0}, testing::stopped_status())));
  EXPECT_THAT(lines,
              Contains(R"({"frame":"video","bytes":6,"agent_generation":1,"capture_epoch":0,)"
                       R"("stream_epoch":0,"sequence":0,"keyframe":true})"));
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_EQ(read_file(dir.path() / "out.h264"), std::string("\0\0\0\1\x65\x88", 6));
  EXPECT_EQ(standin.err(), "");
}

TEST(StandinCliTest, ABadScriptLineEndsTheRunBeforeItStarts) {
  TempDir dir;
  const std::filesystem::path root = dir.path() / "root";
  const auto script =
      dir.write("script.jsonl", "{\"type\":\"query_status\"}\n{\"wait_ms\":true}\n");
  StandinProcess standin(dir.path(), {"--root", root.string(), script.string()});
  ASSERT_TRUE(standin.spawned());
  EXPECT_EQ(standin.wait_for_exit(), 2);
  EXPECT_EQ(standin.err(), "line 2: \"wait_ms\" must be a whole number of milliseconds\n");
  EXPECT_FALSE(std::filesystem::exists(root)) << "nothing is set up for a bad script";
}

TEST(StandinCliTest, AMisbehavingAgentGivesExitStatusOne) {
  TempDir dir;
  const std::filesystem::path root = dir.path() / "root";
  ScopedEnv root_env("KIVO_SYSTEM_ROOT", root.c_str());
  const auto script = dir.write("script.jsonl", "{\"type\":\"query_status\"}\n");
  StandinProcess standin(dir.path(), {"--root", root.string(), script.string()});
  ASSERT_TRUE(standin.spawned());
  TestAgent agent;
  ASSERT_TRUE(connect_when_listening(agent, standin)) << standin.err();
  ASSERT_TRUE(agent.hello());
  auto query = agent.next_command();
  ASSERT_TRUE(query);
  // Answers with another stamp; the stand-in ends the link once it has it.
  ASSERT_TRUE(agent.send(query->request_id, {1, 9}, testing::stopped_status()));
  auto end = agent.next_inbound();
  ASSERT_TRUE(end);
  EXPECT_TRUE(std::holds_alternative<xpc::InboundTerminated>(*end));
  EXPECT_EQ(standin.wait_for_exit(), 1);
  EXPECT_THAT(standin.err(), HasSubstr("kivo-service-standin: the reply to request 1 "));
}

}  // namespace
}  // namespace kivo::standin
