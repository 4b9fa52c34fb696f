// Auto-reset event behaviour, pinned to what Win32 events do.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using platform::event;
using platform::wait_result;
using steady = std::chrono::steady_clock;

event make_event() {
  event e = event::create();
  EXPECT_TRUE(e.valid());
  return e;
}

TEST(event_signal, starts_unsignalled) {
  event e = make_event();
  EXPECT_FALSE(e.wait_for(0));
}

TEST(event_signal, set_with_nobody_waiting_is_kept_for_one_wait) {
  event e = make_event();
  ASSERT_TRUE(e.set());
  EXPECT_TRUE(e.wait_for(0));
  EXPECT_FALSE(e.wait_for(0)) << "an auto-reset event must reset after releasing one wait";
}

TEST(event_signal, two_sets_before_a_wait_count_as_one) {
  event e = make_event();
  ASSERT_TRUE(e.set());
  ASSERT_TRUE(e.set());
  EXPECT_TRUE(e.wait_for(0));
  EXPECT_FALSE(e.wait_for(0));
}

TEST(event_signal, reset_drops_a_kept_signal_only) {
  event e = make_event();
  ASSERT_TRUE(e.set());
  ASSERT_TRUE(e.reset());
  EXPECT_FALSE(e.wait_for(0)) << "the kept signal must be gone";
  ASSERT_TRUE(e.reset()) << "resetting an unsignalled event is harmless";
  ASSERT_TRUE(e.set());
  EXPECT_TRUE(e.wait_for(0)) << "a set after the reset is kept as usual";
  event empty;
  EXPECT_FALSE(empty.reset());
}

TEST(event_signal, set_releases_a_blocked_waiter) {
  event e = make_event();
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    EXPECT_TRUE(e.wait());
    released = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(released.load());
  ASSERT_TRUE(e.set());
  waiter.join();
  EXPECT_TRUE(released.load());
  EXPECT_FALSE(e.wait_for(0)) << "the signal that released the waiter must be consumed";
}

TEST(event_signal, one_set_releases_exactly_one_of_two_waiters) {
  event e = make_event();
  std::atomic<int> released{0};
  auto wait_once = [&] {
    if (e.wait_for(5000)) {
      ++released;
    }
  };
  std::thread first(wait_once);
  std::thread second(wait_once);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(e.set());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(released.load(), 1);
  ASSERT_TRUE(e.set());
  first.join();
  second.join();
  EXPECT_EQ(released.load(), 2);
}

TEST(event_timing, timed_wait_gives_up_after_its_limit) {
  event e = make_event();
  const auto start = steady::now();
  EXPECT_FALSE(e.wait_for(60));
  const auto waited = steady::now() - start;
  // Windows timers may round down by up to a tick.
  EXPECT_GE(waited, std::chrono::milliseconds(45));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

TEST(event_timing, signal_after_a_timed_out_wait_is_kept) {
  event e = make_event();
  EXPECT_FALSE(e.wait_for(10));
  ASSERT_TRUE(e.set());
  EXPECT_TRUE(e.wait_for(0));
}

TEST(event_timing, ping_pong_loses_no_wake_up) {
  event ping = make_event();
  event pong = make_event();
  constexpr int rounds = 20000;
  std::thread echo([&] {
    for (int i = 0; i < rounds; ++i) {
      ASSERT_TRUE(ping.wait_for(10000));
      pong.set();
    }
  });
  for (int i = 0; i < rounds; ++i) {
    ping.set();
    ASSERT_TRUE(pong.wait_for(10000)) << "round " << i;
  }
  echo.join();
}

TEST(event_wait_any, reports_which_event_fired) {
  event a = make_event();
  event b = make_event();
  b.set();
  EXPECT_EQ(event::wait_any(a, b, 0), wait_result::second);
  a.set();
  EXPECT_EQ(event::wait_any(a, b, 0), wait_result::first);
  EXPECT_EQ(event::wait_any(a, b, 0), wait_result::timeout);
}

TEST(event_wait_any, both_signalled_takes_the_first_and_keeps_the_second) {
  event a = make_event();
  event b = make_event();
  a.set();
  b.set();
  EXPECT_EQ(event::wait_any(a, b, 0), wait_result::first);
  EXPECT_TRUE(b.wait_for(0)) << "the second event's signal must survive";
  EXPECT_FALSE(a.wait_for(0));
}

TEST(event_wait_any, times_out_and_leaves_later_signals_alone) {
  event a = make_event();
  event b = make_event();
  const auto start = steady::now();
  EXPECT_EQ(event::wait_any(a, b, 40), wait_result::timeout);
  EXPECT_GE(steady::now() - start, std::chrono::milliseconds(30));
  a.set();
  EXPECT_TRUE(a.wait_for(0));
}

TEST(event_wait_any, wakes_on_a_set_from_another_thread) {
  event a = make_event();
  event b = make_event();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    b.set();
  });
  EXPECT_EQ(event::wait_any(a, b, platform::infinite_wait), wait_result::second);
  setter.join();
  EXPECT_FALSE(b.wait_for(0));
  EXPECT_FALSE(a.wait_for(0));
}

TEST(event_wait_any, concurrent_sets_are_each_consumed_once) {
  // Two setters race one waiter that always waits for either event; every set must be seen by
  // exactly one wait (possibly merged with an earlier unconsumed set of the same event).
  event a = make_event();
  event b = make_event();
  event a_done = make_event();
  event b_done = make_event();
  constexpr int rounds = 5000;
  std::thread set_a([&] {
    for (int i = 0; i < rounds; ++i) {
      a.set();
      ASSERT_TRUE(a_done.wait_for(10000));
    }
  });
  std::thread set_b([&] {
    for (int i = 0; i < rounds; ++i) {
      b.set();
      ASSERT_TRUE(b_done.wait_for(10000));
    }
  });
  int seen_a = 0;
  int seen_b = 0;
  while (seen_a < rounds || seen_b < rounds) {
    const wait_result r = event::wait_any(a, b, 10000);
    ASSERT_NE(r, wait_result::timeout) << "lost a wake-up after " << seen_a << "/" << seen_b;
    if (r == wait_result::first) {
      ++seen_a;
      a_done.set();
    } else {
      ++seen_b;
      b_done.set();
    }
  }
  set_a.join();
  set_b.join();
  EXPECT_EQ(seen_a, rounds);
  EXPECT_EQ(seen_b, rounds);
}

TEST(event_ownership, moved_from_event_is_invalid_and_refuses_use) {
  event a = make_event();
  event b = std::move(a);
  EXPECT_FALSE(a.valid()); // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_FALSE(a.set());
  EXPECT_FALSE(a.wait_for(0));
  EXPECT_TRUE(b.set());
  EXPECT_TRUE(b.wait_for(0));
  event empty;
  EXPECT_EQ(event::wait_any(empty, b, 0), wait_result::failed);
}

} // namespace
