// The camera module loaded by a host that has not loaded the hotplug monitor: initialisation
// fails with 3 and hands out no device functions.
#include "host_module.h"

namespace {

using namespace host_test;

TEST(module_without_monitor, initialisation_fails_and_the_table_stays_empty) {
  host_module m = host_module::load();
  ASSERT_NE(m.library, nullptr);
  EXPECT_STREQ(m.get_name(), "ORBANITE_QMX_PAVIK_CAMERA_DEVICE");
  EXPECT_EQ(m.get_function("create"), nullptr) << "nothing before initialisation";
  EXPECT_EQ(m.initialize(nullptr), 3);
  EXPECT_EQ(m.get_function("create"), nullptr);
  EXPECT_EQ(m.get_function_name(0), nullptr);
  EXPECT_EQ(m.get_num_attributes(), 0);
  EXPECT_EQ(m.initialize(nullptr), 3) << "a later initialisation replaces the failed registry";
  m.unload();
}

// Without a subscription the module does not keep itself loaded: unloading it tears the
// registry down, and its event and worker threads end with it.
TEST(module_without_monitor, unload_ends_the_registry_threads) {
  const int before = thread_count();
  host_module m = host_module::load();
  ASSERT_NE(m.library, nullptr);
  EXPECT_EQ(m.initialize(nullptr), 3);
  if (before < 0) {
    m.unload();
    GTEST_SKIP() << "no thread count on this system";
  }
  EXPECT_EQ(thread_count(), before + 2) << "the registry runs an event and a worker thread";
  m.unload();
  EXPECT_EQ(settled_thread_count(before), before);
}

} // namespace
