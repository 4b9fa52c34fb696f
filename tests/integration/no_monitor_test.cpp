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
}

} // namespace
