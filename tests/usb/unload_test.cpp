// A host unloads the module after it has subscribed to the hotplug monitor. The monitor keeps
// the module's notification function for ever, so the module must stay mapped: a later
// arrival calls into it. The libraries are loaded at run time, as a host loads them.
#include "include/qmx_libusb.h"
#include "tests/support/loaded_library.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

namespace {

using init_fn = int(LIBUSB_CALL*)(libusb_context**);
using exit_fn = void(LIBUSB_CALL*)(libusb_context*);
using capability_fn = int(LIBUSB_CALL*)(std::uint32_t);
using register_fn = int(LIBUSB_CALL*)(libusb_context*, int, int, int, int, int,
                                      libusb_hotplug_callback_fn, void*,
                                      libusb_hotplug_callback_handle*);
using deregister_fn = void(LIBUSB_CALL*)(libusb_context*, libusb_hotplug_callback_handle);
using camera_add_fn = int (*)(const char*, std::uint16_t);
using reset_fn = void (*)();
using wait_idle_fn = int (*)(std::uint32_t);

int LIBUSB_CALL count_arrival(libusb_context*, libusb_device*, libusb_hotplug_event,
                              void* user_data) {
  ++*static_cast<std::atomic<int>*>(user_data);
  return 0;
}

TEST(module_unload, a_subscribed_module_stays_mapped_after_the_host_unloads_it) {
  // The simulator and the monitor first, as the host does when it runs on simulated cameras.
  void* sim = loaded_library::load(QMX_TEST_SIM_LIBRARY);
  ASSERT_NE(sim, nullptr);
  void* monitor = loaded_library::load(QMX_TEST_MONITOR_LIBRARY);
  ASSERT_NE(monitor, nullptr);
  void* module = loaded_library::load(QMX_TEST_MODULE_LIBRARY);
  ASSERT_NE(module, nullptr);

  auto camera_add = loaded_library::symbol<camera_add_fn>(sim, "qmx_sim_camera_add");
  auto sim_reset = loaded_library::symbol<reset_fn>(sim, "qmx_sim_reset");
  auto wait_idle = loaded_library::symbol<wait_idle_fn>(monitor, "hotplug_monitor_wait_idle");
  auto init = loaded_library::symbol<init_fn>(module, "libusb_init");
  auto exit = loaded_library::symbol<exit_fn>(module, "libusb_exit");
  auto has_capability = loaded_library::symbol<capability_fn>(module, "libusb_has_capability");
  auto register_callback =
      loaded_library::symbol<register_fn>(module, "libusb_hotplug_register_callback");
  auto deregister_callback =
      loaded_library::symbol<deregister_fn>(module, "libusb_hotplug_deregister_callback");
  ASSERT_TRUE(camera_add && sim_reset && wait_idle && init && exit && has_capability &&
              register_callback && deregister_callback);
  sim_reset();

  libusb_context* ctx = nullptr;
  ASSERT_EQ(init(&ctx), 0);
  std::atomic<int> arrivals{0};
  ASSERT_EQ(register_callback(ctx, 3, 0, 0x2F4E, 0x4002, 0, count_arrival, &arrivals, nullptr), 0);
  ASSERT_GT(camera_add("UNLOAD01", 0x0300), 0);
  ASSERT_EQ(wait_idle(5000), 1);
  EXPECT_EQ(arrivals.load(), 1);
  deregister_callback(ctx, 0);
  exit(ctx);

  EXPECT_TRUE(loaded_library::unload(module));
  ASSERT_TRUE(loaded_library::is_mapped(QMX_TEST_MODULE_LIBRARY))
      << "the module was unmapped while the monitor still holds its notification function";
  EXPECT_EQ(has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1) << "the module's code is still there";
  // The monitor calls the module's notification function for this arrival.
  ASSERT_GT(camera_add("UNLOAD02", 0x0300), 0);
  ASSERT_EQ(wait_idle(5000), 1);
  EXPECT_EQ(arrivals.load(), 1) << "the released context must not be notified";
  sim_reset();
}

} // namespace
