// USB access layer: the records behind the libusb-style handles, shared by the layer's source
// files. Callers outside usb/ see only the public header.
#pragma once

#include "include/qmx_libusb.h"
#include "include/qmx_thread_safety.h"
#include "platform/device_io.h"
#include "platform/platform.h"
#include "usb/driver.h"
#include "usb/t_platform.h"

#include <atomic>
#include <condition_variable>
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

namespace usb {
// The lock of every context's link to the monitor (t_libusb.cpp): built once, never destroyed.
qmx::mutex& subscription_mutex() noexcept;
} // namespace usb

// Lock order: `registration_mutex`, then the subscription lock, then `list_mutex`. Client
// callbacks run with none of them held.
struct libusb_context {
  // Made by libusb_init and never replaced; `libusb_handle_events` waits on it only once a
  // hotplug callback has been registered (`events_enabled`).
  platform::event event;
  std::atomic<bool> events_enabled{false};
  // Held while a registration checks for an existing one, links itself and looks the monitor up,
  // and while deregistration unlinks it; never while the monitor is called, and never by
  // notifications.
  qmx::mutex registration_mutex QMX_ACQUIRED_BEFORE(list_mutex);
  qmx::mutex list_mutex;
  libusb_device* first QMX_GUARDED_BY(list_mutex) = nullptr;
  libusb_device* last QMX_GUARDED_BY(list_mutex) = nullptr;
  std::uint64_t device_count QMX_GUARDED_BY(list_mutex) = 0;
  // Records of removed devices, linked through `next`: they leave the list at their removal but
  // stay valid until libusb_exit, because clients (the module's camera registry, its queue of
  // arrivals, an open in progress) may still hold their addresses.
  libusb_device* retired QMX_GUARDED_BY(list_mutex) = nullptr;
  hotplug_registration* registration QMX_GUARDED_BY(list_mutex) = nullptr;
  // The monitor's link to this context.
  hotplug_subscription* subscription QMX_GUARDED_BY(usb::subscription_mutex()) = nullptr;
  // Client hotplug callbacks running now, and the thread of the latest one: deregistration
  // waits until the count is 0 (1 when called from that callback itself).
  int callbacks_running QMX_GUARDED_BY(list_mutex) = 0;
  std::uint32_t callback_thread QMX_GUARDED_BY(list_mutex) = 0;
  std::condition_variable callbacks_idle; // notified when `callbacks_running` drops
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
  std::uint32_t received = 0; // data bytes the driver reported for the last completion
};

} // namespace usb

struct libusb_device_handle {
  platform::device_file file;
  usb::endpoint_threads endpoints[usb::endpoint_count];
  // Set when libusb_close begins; from then on submissions are refused.
  std::atomic<std::uint8_t> closing{0};
  // Submissions between their check of `closing` and their return. libusb_close sets `closing`
  // first and closes the file only once this has dropped to 0, so no submission can reach a
  // file that is being closed.
  std::atomic<std::uint32_t> submissions{0};
};
