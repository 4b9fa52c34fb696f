// USB access layer: the records behind the libusb-style handles, shared by the layer's source
// files. Callers outside usb/ see only the public header.
#pragma once

#include "include/qmx_libusb.h"
#include "platform/device_io.h"
#include "platform/platform.h"
#include "usb/driver.h"
#include "usb/t_platform.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

struct hotplug_registration {
  std::uint32_t events;
  std::uint32_t flags;
  std::uint32_t vendor_id;
  std::uint32_t product_id;
  libusb_hotplug_callback_fn callback;
  void* user_data;
};

struct libusb_device {
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  char path[usb::device_path_capacity];
  std::uint32_t num_endpoints;
  std::uint32_t max_packet_size;
  libusb_device_descriptor descriptor;
  libusb_device* previous;
  libusb_device* next;
};

struct hotplug_subscription;

// Lock order: `list_mutex` alone; the subscription lock (t_libusb.cpp) before `list_mutex`.
struct libusb_context {
  platform::event event; // invalid until a hotplug callback is registered
  std::mutex list_mutex; // guards the device list, the count and the registration
  libusb_device* first = nullptr;
  libusb_device* last = nullptr;
  std::uint64_t device_count = 0;
  hotplug_registration* registration = nullptr;
  hotplug_subscription* subscription = nullptr; // the monitor's link to this context
};

namespace usb {

struct endpoint_threads;

// One worker thread of an endpoint, fed through its own completion queue.
struct transfer_thread {
  platform::thread thread;
  std::uint32_t thread_id = 0;
  std::atomic<std::uint8_t> running{0};
  platform::completion_queue queue_in;
  platform::event started;
  platform::event stopped;
  platform::event stop_request;
};

struct endpoint_threads {
  std::atomic<std::uint8_t> endpoint_address{0};
  transfer_thread* wait_thread = nullptr;
  transfer_thread* callback_thread = nullptr;
};

constexpr int endpoint_count = 4;

// The layer's part of a transfer: driver buffer (header + data area) and completion record.
struct t_usb_transfer {
  platform::completion_record completion;
  t_usb_transfer_header_struct_packed* header = nullptr;
  std::unique_ptr<std::uint8_t[]> driver_buffer;
  std::uint32_t capacity = 0; // bytes of the data area
};

} // namespace usb

struct libusb_device_handle {
  platform::device_file file;
  usb::endpoint_threads endpoints[usb::endpoint_count];
  std::atomic<std::uint8_t> closing{0};
};
