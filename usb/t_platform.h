// USB access layer, platform part: finds the driver's device interfaces and reads each device's
// descriptor into a small record (vendor, product, interface path, speed class).
#pragma once

#include <cstdint>
#include <vector>

namespace usb {

constexpr std::size_t device_path_capacity = 256;

struct t_usb_device_data {
  std::uint32_t class_bit = 0; // 1 << index of the class it was found under; 0 from a path
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t bcd_usb = 0;            // the USB version the device descriptor reports
  std::uint32_t max_packet_size = 0;    // speed class: 64, 512 or 1024
  char path[device_path_capacity] = {}; // always terminated; longer paths are cut
};

// The driver's interface class is index 4 of the known interface classes.
constexpr std::uint32_t driver_interface_class_mask = 1u << 4;

// Lists the devices of the classes selected by `mask` (bit i: class index i). Only a record
// found under a class whose bit equals the whole mask is kept. Failures drop devices, never
// reach the caller.
std::vector<t_usb_device_data> t_dev_get_usb_tree(std::uint32_t mask);

// Reads one device by interface path; false when it cannot be opened or read.
bool get_device_data(const char* path, t_usb_device_data& out);

// Speed class from a device descriptor's bcdUSB: its high byte alone decides.
std::uint32_t max_packet_size_from_bcd_usb(std::uint16_t bcd_usb) noexcept;

} // namespace usb
