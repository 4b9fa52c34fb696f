// The hotplug bridge with the monitor stand-in loaded: registration, arrival and removal
// callbacks with the filter, and deregistration waking the event thread.
#include "usb_test_support.h"

#include <atomic>
#include <thread>

extern "C" int hotplug_monitor_wait_idle(std::uint32_t timeout_ms);

namespace {

using namespace usb_test;

struct hotplug_log {
  std::mutex mutex;
  std::vector<std::pair<libusb_device*, int>> events;
  std::vector<std::uint16_t> products;
};

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                           void* user_data) {
  auto* log = static_cast<hotplug_log*>(user_data);
  libusb_device_descriptor d{};
  libusb_get_device_descriptor(device, &d);
  std::lock_guard lock(log->mutex);
  log->events.emplace_back(device, event);
  log->products.push_back(d.idProduct);
  return 0;
}

// The monitor names devices in upper case and the interface listing in lower case: the listing
// and the removal must both find the record that the arrival added.
TEST_F(usb_layer, arrival_and_removal_reach_the_callback_and_the_list) {
  hotplug_log log;
  ASSERT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, on_hotplug, &log, nullptr), 0);
  EXPECT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, vendor, 0x1234, 0, on_hotplug, &log, nullptr), 0)
      << "a second registration changes nothing";
  const int camera = qmx_sim_camera_add("HOT0001", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].second, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(log.products[0], product);
  }
  const auto listed = list_devices();
  ASSERT_EQ(listed.size(), 1u);
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(listed[0], log.events[0].first) << "the listing finds the record the arrival added";
  }
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[1].second, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(log.events[1].first, listed[0]) << "the first record of the path leaves";
  }
  libusb_hotplug_deregister_callback(ctx, 0);
}

TEST_F(usb_layer, arrivals_outside_the_filter_are_dropped) {
  hotplug_log log;
  ASSERT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, vendor, 0x1234, 0, on_hotplug, &log, nullptr), 0);
  qmx_sim_camera_add("HOT0002", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  std::lock_guard lock(log.mutex);
  EXPECT_TRUE(log.events.empty());
}

TEST_F(usb_layer, deregistration_wakes_the_event_thread_and_stops_callbacks) {
  hotplug_log log;
  ASSERT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, on_hotplug, &log, nullptr), 0);
  std::atomic<int> result{1};
  std::thread events([&] { result = libusb_handle_events(ctx); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), 1) << "handle_events must block while registered";
  libusb_hotplug_deregister_callback(ctx, 0);
  events.join();
  EXPECT_EQ(result.load(), 0);
  qmx_sim_camera_add("HOT0003", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  std::lock_guard lock(log.mutex);
  EXPECT_TRUE(log.events.empty());
}

TEST(usb_hotplug_lifetime, notifications_after_exit_reach_no_context) {
  qmx_sim_reset();
  for (int round = 0; round < 20; ++round) {
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    hotplug_log log;
    ASSERT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, 0x2F4E, 0x4002, 0, on_hotplug, &log, nullptr), 0);
    // Arrivals race the release of the context; none may touch it afterwards.
    const std::string serial = "LIFE" + std::to_string(round);
    std::thread plug([&] { qmx_sim_camera_add(serial.c_str(), 0x0300); });
    libusb_exit(ctx);
    plug.join();
  }
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  qmx_sim_reset();
}

} // namespace
