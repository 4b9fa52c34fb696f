// A camera unplugged and plugged back in while a handle of its earlier plug is still open, as
// the camera logic meets it when a host keeps a camera open across a replug.
#include "sim/hotplug_monitor.h"
#include "usb_test_support.h"

namespace {

using namespace usb_test;

struct arrival_log {
  std::mutex mutex;
  std::vector<libusb_device*> arrived;
};

int LIBUSB_CALL on_arrival(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                           void* user_data) {
  auto* log = static_cast<arrival_log*>(user_data);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
    std::lock_guard lock(log->mutex);
    log->arrived.push_back(device);
  }
  return 0;
}

TEST_F(usb_layer, replug_with_a_handle_still_open) {
  arrival_log log;
  ASSERT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, -1, on_arrival, &log, nullptr),
      0);
  const int camera = qmx_sim_camera_add("REPLUG01", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  const auto devices = list_devices();
  ASSERT_EQ(devices.size(), 1u);
  libusb_device_handle* old_handle = nullptr;
  ASSERT_EQ(libusb_open(devices[0], &old_handle), 0);
  ASSERT_EQ(transact(old_handle, "sernum"), "REPLUG01");

  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  libusb_device* again = nullptr;
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.arrived.size(), 2u) << "the arrival's descriptor probe must succeed";
    again = log.arrived.back();
  }
  libusb_device_descriptor d{};
  ASSERT_EQ(libusb_get_device_descriptor(again, &d), 0);
  EXPECT_EQ(d.idProduct, product);
  libusb_device_handle* new_handle = nullptr;
  ASSERT_EQ(libusb_open(again, &new_handle), 0) << "a replugged camera opens at once";
  EXPECT_EQ(transact(new_handle, "sernum"), "REPLUG01");
  EXPECT_EQ(transact(old_handle, "sernum"), "<failed>") << "the old handle stays dead";
  EXPECT_EQ(transact(new_handle, "id").find("error"), std::string::npos);
  libusb_close(old_handle);
  EXPECT_EQ(transact(new_handle, "sernum"), "REPLUG01") << "closing the old handle left it alone";
  libusb_close(new_handle);
  libusb_hotplug_deregister_callback(ctx, 0);
}

} // namespace
