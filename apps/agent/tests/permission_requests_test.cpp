#include "permission_requests.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "kivo/core/log.hpp"

namespace kivo::agent {
namespace {

class CapturingSender final : public DocumentSender {
 public:
  bool fail_sends = false;
  std::vector<protocol::agent_msg::Permission> events;
  Result<void> send(std::optional<std::uint64_t>, const protocol::AgentStamp&,
                    const protocol::AgentMessage& message) override {
    if (fail_sends) return fail(KivoError::not_connected());
    events.push_back(std::get<protocol::agent_msg::Permission>(message));
    return {};
  }
};

class PermissionRequestsTest : public ::testing::Test {
 protected:
  PermissionRequestsTest()
      : requests_(PermissionPorts{
            .screen_access = [this] { return screen_granted_; },
            .post_event_access = [] { return false; },
            .prompt = [this](PermissionKind kind) { prompts_.push_back(kind); },
            .post_to_main = [this](std::function<void()> job) { main_queue_.push_back(job); }}) {}

  void run_main_queue() {
    for (auto& job : main_queue_) job();
    main_queue_.clear();
  }

  bool screen_granted_ = false;
  std::vector<PermissionKind> prompts_;
  std::vector<std::function<void()>> main_queue_;
  std::shared_ptr<CapturingSender> sender_ = std::make_shared<CapturingSender>();
  PermissionRequests requests_;
};

TEST_F(PermissionRequestsTest, ASecondRequestWhileOneIsInFlightStartsNothing) {
  for (int i = 0; i < 2; ++i) {
    auto status = requests_.request(PermissionKind::kAccessibility, {}, sender_);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->accessibility.request_in_flight);
    EXPECT_FALSE(status->screen_recording.request_in_flight);
  }
  EXPECT_EQ(main_queue_.size(), 1u);
}

TEST_F(PermissionRequestsTest, TheJobClearsItsFlagAndSendsTheFreshStatus) {
  ASSERT_TRUE(requests_.request(PermissionKind::kScreenRecording, {1, 2}, sender_));
  screen_granted_ = true;  // the user said yes meanwhile
  run_main_queue();
  EXPECT_THAT(prompts_, ::testing::ElementsAre(PermissionKind::kScreenRecording));
  ASSERT_EQ(sender_->events.size(), 1u);
  EXPECT_EQ(sender_->events[0].status.screen_recording.state, protocol::PermissionAccess::kGranted);
  EXPECT_FALSE(sender_->events[0].status.screen_recording.request_in_flight);
  EXPECT_FALSE(requests_.status().screen_recording.request_in_flight);
}

TEST_F(PermissionRequestsTest, WithoutASenderNothingStartsAndTheFlagIsRestored) {
  auto refused = requests_.request(PermissionKind::kAccessibility, {}, nullptr);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), "invalid message: agent.permission-requester");
  EXPECT_FALSE(requests_.status().accessibility.request_in_flight);
  EXPECT_TRUE(main_queue_.empty());
}

TEST_F(PermissionRequestsTest, AFailedRefreshIsLoggedAndALaterRequestStartsAgain) {
  sender_->fail_sends = true;
  log::ScopedCapture capture;
  ASSERT_TRUE(requests_.request(PermissionKind::kAccessibility, {}, sender_));
  run_main_queue();
  ASSERT_EQ(capture.events().size(), 1u);
  EXPECT_EQ(capture.events()[0].message, "failed to send permission refresh after TCC request");
  ASSERT_TRUE(requests_.request(PermissionKind::kAccessibility, {}, sender_));
  EXPECT_EQ(main_queue_.size(), 1u);
}

}  // namespace
}  // namespace kivo::agent
