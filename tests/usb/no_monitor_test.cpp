// Without the hotplug monitor library in the process, registration is refused and there is no
// event for the event thread to wait on.
#include "usb_test_support.h"

namespace {

using namespace usb_test;

int LIBUSB_CALL ignore(libusb_context*, libusb_device*, libusb_hotplug_event, void*) {
  return 0;
}

TEST_F(usb_layer, registration_without_the_monitor_is_refused) {
  EXPECT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, ignore, nullptr, nullptr),
      LIBUSB_ERROR_OTHER);
  EXPECT_EQ(libusb_handle_events(ctx), LIBUSB_ERROR_OTHER);
  EXPECT_EQ(
      libusb_hotplug_register_callback(nullptr, 3, 0, vendor, product, 0, ignore, nullptr, nullptr),
      LIBUSB_ERROR_OTHER);
}

} // namespace
