// Threads of the seam: start, identity, naming and join.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

namespace {

struct probe {
  std::atomic<std::uint32_t> seen_id{0};
  std::atomic<int> runs{0};
};

std::uint32_t record_identity(void* argument) {
  auto* p = static_cast<probe*>(argument);
  p->seen_id = platform::current_thread_id();
  ++p->runs;
  return 0;
}

TEST(seam_thread, runs_the_routine_once_with_its_argument_and_joins) {
  probe p;
  platform::thread t = platform::thread::start("seam_test_a", record_identity, &p);
  ASSERT_TRUE(t.valid());
  ASSERT_TRUE(t.join());
  EXPECT_EQ(p.runs.load(), 1);
  EXPECT_EQ(p.seen_id.load(), t.id()) << "id() must be the id the thread sees for itself";
  EXPECT_NE(t.id(), platform::current_thread_id());
}

TEST(seam_thread, null_routine_gives_an_invalid_thread) {
  platform::thread t = platform::thread::start("none", nullptr, nullptr);
  EXPECT_FALSE(t.valid());
  EXPECT_FALSE(t.join());
}

std::uint32_t wait_for_release(void* argument) {
  static_cast<platform::event*>(argument)->wait();
  return 0;
}

TEST(seam_thread, naming_a_running_thread_is_harmless_and_visible) {
  platform::event release = platform::event::create();
  platform::thread t = platform::thread::start("seam_namer", wait_for_release, &release);
  ASSERT_TRUE(t.valid());
  // On Windows this raises the debugger's naming exception; it must not end the process.
  platform::name_thread(t.id(), "renamed_worker_thread_with_a_long_name");
#if defined(__linux__)
  std::ifstream comm("/proc/self/task/" + std::to_string(t.id()) + "/comm");
  std::string name;
  std::getline(comm, name);
  EXPECT_EQ(name, "renamed_worker_");
#endif
  release.set();
  EXPECT_TRUE(t.join());
}

#if defined(__linux__)
std::string system_name_of(std::uint32_t id) {
  std::ifstream comm("/proc/self/task/" + std::to_string(id) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}
#endif

// Where the system keeps 15 bytes, a name that does not fit gives way to its short form; a name
// that fits is kept whole. On Windows the full name always stands.
TEST(seam_thread, short_form_replaces_a_name_the_system_cannot_keep) {
  platform::event release = platform::event::create();
  platform::thread t = platform::thread::start("seam_short", wait_for_release, &release);
  ASSERT_TRUE(t.valid());
  platform::name_thread(t.id(), "a_worker_name_longer_than_the_kernel_keeps", "worker short");
#if defined(__linux__)
  EXPECT_EQ(system_name_of(t.id()), "worker short");
#endif
  platform::name_thread(t.id(), "fits_in_fifteen", "unused short");
#if defined(__linux__)
  EXPECT_EQ(system_name_of(t.id()), "fits_in_fifteen");
#endif
  platform::name_thread(t.id(), "another_name_longer_than_the_kernel_keeps", nullptr);
#if defined(__linux__)
  EXPECT_EQ(system_name_of(t.id()), "another_name_lo");
#endif
  release.set();
  EXPECT_TRUE(t.join());
}

TEST(seam_thread, start_name_is_visible_to_the_system) {
  platform::event release = platform::event::create();
  platform::thread t = platform::thread::start("seam_start_nm", wait_for_release, &release);
  ASSERT_TRUE(t.valid());
#if defined(__linux__)
  std::ifstream comm("/proc/self/task/" + std::to_string(t.id()) + "/comm");
  std::string name;
  std::getline(comm, name);
  EXPECT_EQ(name, "seam_start_nm");
#endif
  release.set();
  EXPECT_TRUE(t.join());
}

} // namespace
