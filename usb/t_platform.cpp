// USB access layer, platform part: interface enumeration through the platform seam and the
// driver's device-descriptor read.
#include "usb/t_platform.h"

#include "platform/device_io.h"
#include "usb/driver.h"
#include "usb/log.h"

#include <cstring>
#include <string>

namespace usb {

namespace {

constexpr const char* source = "t_platform";

constexpr platform::interface_class_guid usb_interface_class_guids[] = {
    {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}},
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},
    {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}},
    {0xF9F3FF14, 0xAE21, 0x48A0, {0x8A, 0x25, 0x80, 0x11, 0xA7, 0xA9, 0x31, 0xD9}},
    {0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}},
    {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}},
    {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
};
constexpr std::uint32_t usb_interface_class_count = 7;

constexpr std::size_t descriptor_buffer_size = 4096;
constexpr std::uint16_t device_descriptor_length = 18;
constexpr std::uint32_t descriptor_read_timeout = 5;

struct descriptor_ids {
  std::uint16_t bcd_usb;
  std::uint16_t vendor_id;
  std::uint16_t product_id;
};

std::uint16_t read_u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// The standard device-descriptor read on an open file.
bool read_device_descriptor(platform::device_file& file, descriptor_ids& ids) {
  unsigned char buffer[descriptor_buffer_size] = {};
  t_usb_transfer_header_struct_packed header{};
  header.bmRequestType = 0x80;
  header.bRequest = 6;
  header.wValue = 0x0100;
  header.wIndex = 0;
  header.wLength = device_descriptor_length;
  header.timeout = descriptor_read_timeout;
  header.endpoint_address = 0;
  header.data_offset = transfer_header_size;
  header.data_length = device_descriptor_length;
  std::memcpy(buffer, &header, sizeof header);
  std::uint32_t returned = 0;
  if (file.request(DRIVER_REQUEST_CONTROL, buffer, transfer_header_size + device_descriptor_length,
                   &returned) != platform::error::success) {
    return false;
  }
  std::memcpy(&header, buffer, sizeof header);
  const std::uint32_t at = header.data_offset;
  if (at > descriptor_buffer_size - device_descriptor_length) {
    return false; // the driver pointed outside the buffer
  }
  const unsigned char* descriptor = buffer + at;
  ids.bcd_usb = read_u16(descriptor + 2);
  ids.vendor_id = read_u16(descriptor + 8);
  ids.product_id = read_u16(descriptor + 10);
  return true;
}

void copy_path(char (&target)[device_path_capacity], const char* path) {
  std::strncpy(target, path, device_path_capacity - 1);
  target[device_path_capacity - 1] = '\0';
}

} // namespace

std::uint32_t max_packet_size_from_bcd_usb(std::uint16_t bcd_usb) noexcept {
  switch (bcd_usb >> 8) {
  case 0x02:
    return 512;
  case 0x03:
    return 1024;
  default:
    return 64;
  }
}

std::vector<t_usb_device_data> t_dev_get_usb_tree(std::uint32_t mask) {
  std::vector<t_usb_device_data> found;
  for (std::uint32_t index = 0; index < usb_interface_class_count; ++index) {
    const std::uint32_t class_bit = 1u << index;
    if ((mask & class_bit) == 0) {
      continue;
    }
    const platform::interface_enumeration listing =
        platform::enumerate_device_interfaces(usb_interface_class_guids[index]);
    if (listing.list_error != 0) {
      T_LOG(source, "SetupDiGetClassDevs() failed - %s",
            platform::error_text(listing.list_error).c_str());
      continue;
    }
    for (const std::string& path : listing.paths) {
      if (class_bit != mask) {
        continue;
      }
      t_usb_device_data record;
      record.class_bit = class_bit;
      copy_path(record.path, path.c_str());
      std::uint32_t error = 0;
      platform::device_file file =
          platform::device_file::open(record.path, platform::share_mode::shared, &error);
      if (!file.valid()) {
        T_LOG(source, "%2d: CreateFile(%s) failed", static_cast<int>(index), record.path);
        continue;
      }
      descriptor_ids ids{};
      if (!read_device_descriptor(file, ids)) {
        continue;
      }
      record.vendor_id = ids.vendor_id;
      record.product_id = ids.product_id;
      T_LOG(source, "bcdUSB:0x%04x", ids.bcd_usb);
      record.bcd_usb = ids.bcd_usb;
      record.max_packet_size = max_packet_size_from_bcd_usb(ids.bcd_usb);
      T_LOG(source, "d->max_packet_size:%d", static_cast<int>(record.max_packet_size));
      found.push_back(record);
    }
    if (listing.ended_with_no_more_items) {
      T_LOG(source, "no more items!");
    }
  }
  return found;
}

bool get_device_data(const char* path, t_usb_device_data& out) {
  std::uint32_t error = 0;
  platform::device_file file =
      platform::device_file::open(path, platform::share_mode::shared, &error);
  if (!file.valid()) {
    T_LOG(source, "CreateFile(%s) failed", path);
    return false;
  }
  descriptor_ids ids{};
  if (!read_device_descriptor(file, ids)) {
    return false;
  }
  out = t_usb_device_data{};
  out.class_bit = 0;
  copy_path(out.path, path);
  out.vendor_id = ids.vendor_id;
  out.product_id = ids.product_id;
  T_LOG(source, "bcdUSB:0x%04x", ids.bcd_usb);
  out.bcd_usb = ids.bcd_usb;
  out.max_packet_size = max_packet_size_from_bcd_usb(ids.bcd_usb);
  T_LOG(source, "max_packet_size:%d", static_cast<int>(out.max_packet_size));
  return true;
}

} // namespace usb
