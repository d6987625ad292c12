#include "kivo/xpc/bounded_queue.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace kivo::xpc {
namespace {

TEST(BoundedQueueTest, FullQueueHoldsTheProducerUntilAnItemIsTaken) {
  constexpr int kCapacity = 64;
  BoundedQueue<int> queue(kCapacity);
  for (int i = 0; i < kCapacity; ++i) ASSERT_TRUE(queue.push(i));

  std::thread producer([&] { EXPECT_TRUE(queue.push(kCapacity)); });
  EXPECT_EQ(queue.pop(), 0);
  producer.join();

  // Nothing lost, nothing reordered.
  for (int i = 1; i <= kCapacity; ++i) EXPECT_EQ(queue.pop(), i);
  EXPECT_EQ(queue.try_pop(), std::nullopt);
}

TEST(BoundedQueueTest, ClosingReleasesABlockedProducerAndRefusesLaterPushes) {
  BoundedQueue<int> queue(1);
  ASSERT_TRUE(queue.push(1));
  std::thread producer([&] { EXPECT_FALSE(queue.push(2)); });
  queue.close();
  producer.join();

  EXPECT_FALSE(queue.push(3));
  EXPECT_TRUE(queue.is_closed());
}

TEST(BoundedQueueTest, ClosedQueueIsDrainedBeforeItReportsTheEnd) {
  BoundedQueue<int> queue(4);
  ASSERT_TRUE(queue.push(1));
  ASSERT_TRUE(queue.push(2));
  queue.close();
  EXPECT_EQ(queue.pop(), 1);
  EXPECT_EQ(queue.pop(), 2);
  EXPECT_EQ(queue.pop(), std::nullopt);
}

TEST(BoundedQueueTest, ClosingWakesAWaitingConsumer) {
  BoundedQueue<int> queue(4);
  std::thread consumer([&] { EXPECT_EQ(queue.pop(), std::nullopt); });
  queue.close();
  consumer.join();
}

TEST(BoundedQueueTest, ZeroCapacityActsAsOne) {
  BoundedQueue<int> queue(0);
  EXPECT_EQ(queue.capacity(), 1u);
  EXPECT_TRUE(queue.push(1));
}

}  // namespace
}  // namespace kivo::xpc
