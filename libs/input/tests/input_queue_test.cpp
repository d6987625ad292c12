#include "kivo/input/input_queue.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace kivo::input {
namespace {

const InputStamp kStamp{1, 1, 1};
const InputStamp kNewEpoch{1, 2, 1};
const command::Key kKeyA{0x41, 0, true, false};
const QueueItem kReset{std::nullopt, command::Reset{}};

QueueItem stamped(const InputStamp& stamp, WorkerCommand command) {
  return {stamp, std::move(command)};
}

command::MoveRelative relative(double dx, double dy) {
  return {{dx, dy}, {{0, 0}, {100, 100}}};
}

class InputQueueTest : public ::testing::Test {
 protected:
  void push(const InputStamp& stamp, WorkerCommand command) {
    ASSERT_TRUE(queue_.push(stamp, std::move(command)));
  }
  InputQueue queue_{16};
};

TEST_F(InputQueueTest, FirstStampedItemIsPrecededByReset) {
  push(kStamp, kKeyA);
  EXPECT_EQ(queue_.items(), (std::vector<QueueItem>{kReset, stamped(kStamp, kKeyA)}));
  EXPECT_EQ(queue_.current_stamp(), kStamp);
}

TEST_F(InputQueueTest, StampChangeDiscardsQueuedItems) {
  push(kStamp, kKeyA);
  push(kStamp, command::Move{{1, 1}});
  push(kNewEpoch, command::Move{{2, 2}});
  EXPECT_EQ(queue_.items(),
            (std::vector<QueueItem>{kReset, stamped(kNewEpoch, command::Move{{2, 2}})}));
  EXPECT_EQ(queue_.current_stamp(), kNewEpoch);
}

TEST_F(InputQueueTest, MergesConsecutiveMovesOfOneStamp) {
  push(kStamp, command::Move{{1, 1}});
  push(kStamp, command::Move{{5, 6}});
  push(kStamp, relative(1, 2));
  push(kStamp, relative(-4, 10));
  push(kStamp, command::Move{{7, 7}});
  push(kStamp, kKeyA);
  push(kStamp, command::Move{{8, 8}});
  EXPECT_EQ(queue_.items(), (std::vector<QueueItem>{
                                kReset,
                                stamped(kStamp, command::Move{{5, 6}}),
                                stamped(kStamp, relative(-3, 12)),
                                stamped(kStamp, command::Move{{7, 7}}),
                                stamped(kStamp, kKeyA),
                                stamped(kStamp, command::Move{{8, 8}}),
                            }));
}

TEST_F(InputQueueTest, BurstOfMovesTakesOneSlot) {
  for (int i = 0; i < 10'000; ++i) push(kStamp, command::Move{{double(i), 0}});
  EXPECT_EQ(queue_.items(),
            (std::vector<QueueItem>{kReset, stamped(kStamp, command::Move{{9999, 0}})}));
}

TEST(InputQueueCapacityTest, OverflowLeavesSingleResetAndForgetsStamp) {
  InputQueue queue(0);
  EXPECT_EQ(queue.capacity(), 2u);
  ASSERT_TRUE(queue.push(kStamp, kKeyA));  // Reset + Key: full
  auto overflow = queue.push(kStamp, command::Key{0x42, 11, true, false});
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error(), InputError::queue_overflow());
  EXPECT_EQ(queue.items(), std::vector<QueueItem>{kReset});
  EXPECT_EQ(queue.current_stamp(), std::nullopt);
  // The next stamped item starts afresh, behind a new Reset.
  ASSERT_TRUE(queue.push(kStamp, kKeyA));
  EXPECT_EQ(queue.items(), (std::vector<QueueItem>{kReset, stamped(kStamp, kKeyA)}));
}

TEST_F(InputQueueTest, FlushKeepsStampAndQueuesReset) {
  push(kStamp, kKeyA);
  queue_.flush_with_reset();
  EXPECT_EQ(queue_.items(), std::vector<QueueItem>{kReset});
  EXPECT_EQ(queue_.current_stamp(), kStamp);
  push(kStamp, kKeyA);  // same stamp: no second Reset
  EXPECT_EQ(queue_.items(), (std::vector<QueueItem>{kReset, stamped(kStamp, kKeyA)}));
}

TEST_F(InputQueueTest, ClosedQueueRefusesAndStaysEmpty) {
  push(kStamp, kKeyA);
  queue_.close();
  EXPECT_TRUE(queue_.items().empty());
  auto refused = queue_.push(kStamp, kKeyA);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), InputError::worker_stopped());
  queue_.flush_with_reset();
  EXPECT_TRUE(queue_.items().empty());
  EXPECT_EQ(queue_.take(), std::nullopt);
}

TEST_F(InputQueueTest, TakeReturnsInOrderAndWakesOnClose) {
  push(kStamp, kKeyA);
  EXPECT_EQ(queue_.take(), WorkerCommand(command::Reset{}));
  EXPECT_EQ(queue_.take(), WorkerCommand(kKeyA));
  std::optional<WorkerCommand> taken = command::Reset{};
  std::thread worker([&] { taken = queue_.take(); });
  queue_.close();
  worker.join();
  EXPECT_EQ(taken, std::nullopt);
}

TEST_F(InputQueueTest, WrapsAroundTheRing) {
  InputQueue queue(3);
  ASSERT_TRUE(queue.push(kStamp, kKeyA));
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(queue.take());
    ASSERT_TRUE(queue.push(kStamp, command::Key{std::uint16_t(i), 0, true, false}));
  }
  EXPECT_EQ(queue.items(),
            (std::vector<QueueItem>{stamped(kStamp, command::Key{8, 0, true, false}),
                                    stamped(kStamp, command::Key{9, 0, true, false})}));
}

}  // namespace
}  // namespace kivo::input
