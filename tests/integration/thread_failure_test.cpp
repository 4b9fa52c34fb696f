// The module loaded as a host loads it, in a process where starting a thread can be made to
// fail (Linux; this executable's own pthread_create stands before the system's): a registry
// whose worker or event thread cannot start answers 3 and leaves nothing of itself running or
// registered, and the next initialisation works.
#include "host_module.h"
#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>

namespace {

std::atomic<bool> counting{false};
std::atomic<int> started{0}; // thread starts asked for while counting
std::atomic<int> refused{0}; // the start, counted from 1, that is refused; 0: none

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) {
  using system_create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto system = reinterpret_cast<system_create>(dlsym(RTLD_NEXT, "pthread_create"));
  if (counting.load() && ++started == refused.load()) {
    return EAGAIN;
  }
  return system(thread, attributes, routine, argument);
}

namespace {

using namespace host_test;

// Runs an initialisation while counting thread starts, refusing the `refuse`th one (0: none).
int initialise_counting(const host_module& m, int refuse) {
  started = 0;
  refused = refuse;
  counting = true;
  const int result = m.initialize(nullptr);
  counting = false;
  refused = 0;
  return result;
}

TEST(registry_threads, a_thread_that_cannot_start_gives_3_and_leaves_nothing_behind) {
  host_module m = host_module::load();
  ASSERT_NE(m.library, nullptr);
  ASSERT_EQ(m.initialize(nullptr), 0); // the monitor's own thread starts here
  ASSERT_EQ(initialise_counting(m, 0), 0);
  ASSERT_EQ(started.load(), 2) << "a registry starts its worker and its event thread";
  const int running = thread_count();
  ASSERT_GT(running, 0);
  const device_functions f = device_functions::from(m);
  ASSERT_TRUE(f.complete());
  for (int refuse : {1, 2}) {
    SCOPED_TRACE(refuse == 1 ? "the worker cannot start" : "the event thread cannot start");
    EXPECT_EQ(initialise_counting(m, refuse), 3);
    // The earlier registry was torn down, and nothing of the new one runs.
    EXPECT_EQ(settled_thread_count(running - 2), running - 2);
    // Nothing of it is registered either: plugs reach no callback of it.
    const int camera = qmx_sim_camera_add("NOTHREAD", 0x0300);
    ASSERT_GT(camera, 0);
    ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
    EXPECT_EQ(f.list(), std::make_pair(std::string(), std::string())) << "no USB context";
    ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
    ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
    qmx_sim_reset();
    ASSERT_EQ(m.initialize(nullptr), 0);
    EXPECT_EQ(settled_thread_count(running), running);
  }
  const int camera = qmx_sim_camera_add("THREADOK", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  char id[16];
  std::snprintf(id, sizeof id, "QMXSIM-%04d", camera);
  EXPECT_EQ(f.list().first, std::string(id) + ",");
  qmx_sim_reset();
}

} // namespace
