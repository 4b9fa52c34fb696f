// Completion queue behaviour, pinned to what an I/O completion port bound to no file does.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using platform::completion_queue;

TEST(completion_queue_order, entries_come_out_in_posting_order) {
  completion_queue q = completion_queue::create();
  ASSERT_TRUE(q.valid());
  for (std::uintptr_t key = 1; key <= 100; ++key) {
    ASSERT_TRUE(q.post(key * 16));
  }
  for (std::uintptr_t key = 1; key <= 100; ++key) {
    std::uintptr_t taken = 0;
    ASSERT_TRUE(q.take(taken));
    EXPECT_EQ(taken, key * 16);
  }
}

TEST(completion_queue_order, key_zero_is_delivered_as_a_wake_entry_in_order) {
  completion_queue q = completion_queue::create();
  ASSERT_TRUE(q.post(5));
  ASSERT_TRUE(q.post(0));
  ASSERT_TRUE(q.post(6));
  std::uintptr_t key = 99;
  ASSERT_TRUE(q.take(key));
  EXPECT_EQ(key, 5u);
  ASSERT_TRUE(q.take(key));
  EXPECT_EQ(key, 0u);
  ASSERT_TRUE(q.take(key));
  EXPECT_EQ(key, 6u);
}

TEST(completion_queue_blocking, take_waits_for_a_post_from_another_thread) {
  completion_queue q = completion_queue::create();
  std::atomic<bool> taken{false};
  std::uintptr_t key = 0;
  std::thread taker([&] {
    EXPECT_TRUE(q.take(key));
    taken = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(taken.load());
  ASSERT_TRUE(q.post(0));
  taker.join();
  EXPECT_EQ(key, 0u) << "a wake entry alone must release a blocked taker";
}

TEST(completion_queue_blocking, many_producers_each_entry_taken_once) {
  completion_queue q = completion_queue::create();
  constexpr int producers = 4;
  constexpr int per_producer = 5000;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&q, p] {
      for (int i = 0; i < per_producer; ++i) {
        q.post(static_cast<std::uintptr_t>(p * per_producer + i + 1));
      }
    });
  }
  std::vector<int> seen(producers * per_producer + 1, 0);
  std::vector<int> last_of_producer(producers, 0);
  for (int n = 0; n < producers * per_producer; ++n) {
    std::uintptr_t key = 0;
    ASSERT_TRUE(q.take(key));
    ASSERT_GE(key, 1u);
    ASSERT_LE(key, seen.size() - 1);
    ++seen[key];
    const int producer = static_cast<int>((key - 1) / per_producer);
    const int index = static_cast<int>((key - 1) % per_producer) + 1;
    EXPECT_GT(index, last_of_producer[producer]) << "one producer's entries must stay in order";
    last_of_producer[producer] = index;
  }
  for (auto& t : threads) {
    t.join();
  }
  for (std::size_t key = 1; key < seen.size(); ++key) {
    ASSERT_EQ(seen[key], 1) << "key " << key;
  }
}

TEST(completion_queue_ownership, moved_from_queue_refuses_use) {
  completion_queue a = completion_queue::create();
  completion_queue b = std::move(a);
  std::uintptr_t key = 0;
  EXPECT_FALSE(a.post(1)); // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_FALSE(a.take(key));
  EXPECT_TRUE(b.post(3));
  EXPECT_TRUE(b.take(key));
  EXPECT_EQ(key, 3u);
}

} // namespace
