// Context, device list, descriptors and the answer-only entry points.
#include "usb_test_support.h"

namespace {

using namespace usb_test;

TEST_F(usb_layer, empty_world_lists_nothing) {
  EXPECT_TRUE(list_devices().empty());
  libusb_device** list = nullptr;
  EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(libusb_init(nullptr), LIBUSB_ERROR_INVALID_PARAM);
}

TEST_F(usb_layer, repeated_listing_returns_the_same_device_records) {
  ASSERT_GT(qmx_sim_camera_add("LIST0001", 0x0300), 0);
  ASSERT_GT(qmx_sim_camera_add("LIST0002", 0x0200), 0);
  const auto first = list_devices();
  ASSERT_EQ(first.size(), 2u);
  const auto second = list_devices();
  EXPECT_EQ(first, second);
  libusb_device_descriptor d{};
  ASSERT_EQ(libusb_get_device_descriptor(first[0], &d), 0);
  EXPECT_EQ(d.bLength, 18);
  EXPECT_EQ(d.idVendor, vendor);
  EXPECT_EQ(d.idProduct, product);
  EXPECT_EQ(d.bcdUSB, 0x0300);
  EXPECT_EQ(d.bNumConfigurations, 1);
  EXPECT_EQ(libusb_get_device_speed(first[0]), LIBUSB_SPEED_SUPER);
  ASSERT_EQ(libusb_get_device_descriptor(first[1], &d), 0);
  EXPECT_EQ(d.bcdUSB, 0x0200);
  EXPECT_EQ(libusb_get_device_speed(first[1]), LIBUSB_SPEED_HIGH);
}

// The major USB version alone gives the speed class; the descriptor shows the version the
// device reported.
// The speed class follows the device's major USB version; the descriptor's bcdUSB then names the
// class, whatever minor version the device reported.
TEST_F(usb_layer, speed_class_follows_the_major_usb_version_and_fixes_bcd_usb) {
  struct case_row {
    std::uint16_t bcd_usb;
    int speed;
    std::uint16_t reported;
  };
  const case_row rows[] = {
      {0x0100, LIBUSB_SPEED_FULL, 0x0110},  {0x0110, LIBUSB_SPEED_FULL, 0x0110},
      {0x0200, LIBUSB_SPEED_HIGH, 0x0200},  {0x0210, LIBUSB_SPEED_HIGH, 0x0200},
      {0x0300, LIBUSB_SPEED_SUPER, 0x0300}, {0x0320, LIBUSB_SPEED_SUPER, 0x0300}};
  for (const case_row& row : rows) {
    qmx_sim_reset();
    // A serial of its own: a path the context has seen before keeps its first record.
    const std::string serial = "SPEED" + std::to_string(row.bcd_usb);
    ASSERT_GT(qmx_sim_camera_add(serial.c_str(), row.bcd_usb), 0);
    const auto devices = list_devices();
    ASSERT_EQ(devices.size(), 1u);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(devices[0], &d), 0);
    EXPECT_EQ(d.bcdUSB, row.reported) << std::hex << row.bcd_usb;
    EXPECT_EQ(libusb_get_device_speed(devices[0]), row.speed) << std::hex << row.bcd_usb;
  }
}

TEST_F(usb_layer, unplugged_device_leaves_the_list_but_keeps_its_record) {
  const int a = qmx_sim_camera_add("LIST0003", 0x0110);
  ASSERT_GT(qmx_sim_camera_add("LIST0004", 0x0300), 0);
  const auto before = list_devices();
  ASSERT_EQ(before.size(), 2u);
  EXPECT_EQ(libusb_get_device_speed(before[0]), LIBUSB_SPEED_FULL);
  ASSERT_EQ(qmx_sim_camera_unplug(a), 0);
  const auto after = list_devices();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0], before[1]);
  ASSERT_EQ(qmx_sim_camera_replug(a, 0), 0);
  const auto again = list_devices();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0], before[0]) << "a returning path finds its old record";
}

TEST_F(usb_layer, configuration_tree_has_the_four_endpoints_and_can_be_freed) {
  ASSERT_GT(qmx_sim_camera_add("LIST0005", 0x0300), 0);
  const auto devices = list_devices();
  ASSERT_EQ(devices.size(), 1u);
  libusb_config_descriptor* config = nullptr;
  EXPECT_EQ(libusb_get_config_descriptor(devices[0], 0, nullptr), LIBUSB_ERROR_INVALID_PARAM);
  ASSERT_EQ(libusb_get_config_descriptor(devices[0], 0, &config), 0);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(std::size_t{config->bLength}, sizeof(libusb_config_descriptor));
  EXPECT_EQ(config->bNumInterfaces, 1);
  ASSERT_NE(config->interface, nullptr);
  ASSERT_EQ(config->interface->num_altsetting, 1);
  const libusb_interface_descriptor& alt = config->interface->altsetting[0];
  EXPECT_EQ(std::size_t{alt.bLength}, sizeof(libusb_interface_descriptor));
  ASSERT_EQ(alt.bNumEndpoints, 4);
  const unsigned char expected[] = {0x02, 0x82, 0x81, 0x83};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(std::size_t{alt.endpoint[i].bLength}, sizeof(libusb_endpoint_descriptor));
    EXPECT_EQ(alt.endpoint[i].bEndpointAddress, expected[i]);
    EXPECT_EQ(alt.endpoint[i].bDescriptorType, 5);
    EXPECT_EQ(alt.endpoint[i].wMaxPacketSize, 1024);
  }
  // Each call gives a tree of its own.
  libusb_config_descriptor* second = nullptr;
  ASSERT_EQ(libusb_get_config_descriptor(devices[0], 0, &second), 0);
  EXPECT_NE(second, config);
  EXPECT_EQ(second->interface->altsetting[0].endpoint[3].bEndpointAddress, 0x83);
  libusb_free_config_descriptor(config);
  libusb_free_config_descriptor(second);
}

TEST_F(usb_layer, answer_only_entry_points) {
  EXPECT_EQ(libusb_has_capability(0), 0);
  EXPECT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
  EXPECT_EQ(libusb_event_handler_active(ctx), 1);
  EXPECT_EQ(libusb_get_device(nullptr), nullptr);
  EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, vendor, product), nullptr);
  EXPECT_EQ(libusb_get_device_speed(nullptr), LIBUSB_ERROR_INVALID_PARAM);
  libusb_device_descriptor d{};
  EXPECT_EQ(libusb_get_device_descriptor(nullptr, &d), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(libusb_handle_events(nullptr), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(libusb_handle_events(ctx), LIBUSB_ERROR_OTHER) << "no registration, no event";
}

} // namespace
