// Camera data path, USB transport: the camera's only contact with the USB layer. One device
// handle, a standing pool of image transfers that resubmit themselves while streaming, the
// command and reply transfers of the serial channel, and the thin context calls and device
// search that the registry uses.
#pragma once

#include "include/qmx_libusb.h"
#include "include/qmx_thread_safety.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qmx {

// Handed to the image handler, on the USB layer's callback thread of the image endpoint; valid
// only during the call.
struct image_completion {
  void* context;              // the pool's context (the camera)
  unsigned char* buffer;      // the transfer's buffer
  std::int32_t actual_length; // the transfer's actual length, as the layer reports it
  // Bytes the driver really delivered into the buffer (at most the transfer's length); the
  // layer reports the whole length as actual length even for a packet that arrived short.
  std::int32_t received_length;
  bool* resubmit; // false before the call; set it to have the transfer submitted again
};

// Handed to a channel's notification function, on the USB layer's callback thread.
struct channel_completion {
  void* context; // the channel's notify context (a completion block)
  bool failed;   // the transfer's status was not success
  // Bytes the driver really delivered (0 for a failed transfer); the layer copies its whole
  // buffer into the transfer's, so the bytes beyond this count are not this transfer's.
  std::int32_t received_length;
};

using image_handler = void (*)(const image_completion& completion);
using channel_notify = void (*)(const channel_completion& completion);

struct transfer_holder;

struct transfer_user_data {
  void* owner;             // the transfer_pool or bulk_channel holding the transfer
  transfer_holder* holder; // that owner's holder of this transfer
};

struct transfer_holder {
  libusb_transfer* transfer = nullptr; // owned; freed with libusb_free_transfer
  libusb_device_handle* handle = nullptr;
  std::unique_ptr<transfer_user_data> user_data;
};

struct transfer_slot {
  std::vector<unsigned char> buffer;
  transfer_holder holder;
};

struct transfer_pool {
  libusb_device_handle* handle = nullptr;
  std::vector<std::unique_ptr<transfer_slot>> slots;
  void* context = nullptr;
  std::atomic<bool> gone{false};
  image_handler handler = nullptr;
  std::int32_t count = 0;
  // Resubmissions from completions are allowed only while streaming and not gone; `busy` counts
  // completions inside their resubmission, so that closing waits until none can submit.
  std::atomic<bool> resubmitting{false};
  qmx::mutex busy_mutex;
  std::condition_variable busy_done;
  int busy QMX_GUARDED_BY(busy_mutex) = 0;
};

struct bulk_channel {
  libusb_device_handle* handle = nullptr;
  transfer_holder holder;
  void* notify_context = nullptr;
  channel_notify notify = nullptr;
};

struct usb_transport {
  libusb_device_handle* handle = nullptr;
  // Cleared by mark_device_gone on the hotplug thread, read by the destructor on another.
  std::atomic<bool> claimed{false};
  std::unique_ptr<transfer_pool> image_pool;
  std::unique_ptr<bulk_channel> command_channel;
  std::unique_ptr<bulk_channel> reply_channel;
  std::uint8_t command_endpoint = 0;
  std::uint8_t reply_endpoint = 0;
  bool failed = false;
  std::atomic<bool> streaming{false};

  usb_transport() = default;
  usb_transport(const usb_transport&) = delete;
  usb_transport& operator=(const usb_transport&) = delete;
  ~usb_transport(); // the teardown of destroy_transport
};

// Endpoints, counts, sizes and limits of the camera's transport.
constexpr std::uint8_t command_endpoint = 0x02;
constexpr std::uint8_t reply_endpoint = 0x82;
constexpr std::uint8_t image_endpoint = 0x83;
constexpr int image_transfer_count = 2048;
constexpr int image_transfer_bytes = 16384;
constexpr unsigned image_timeout_ms = 5000;
constexpr unsigned channel_timeout_ms = 10000;
constexpr int channel_buffer_bytes = 1024;
constexpr int claimed_interface = 0;
constexpr int close_drain_pause_ms = 500;

// Opens `device`, builds the image pool and the two channel transfers and claims interface 0.
// Null when opening or claiming failed. Called on host threads and on the registry's worker.
std::unique_ptr<usb_transport>
create_transport(libusb_device* device, std::uint8_t command_ep, std::uint8_t reply_ep,
                 std::uint8_t image_ep, int image_count, void* context, image_handler handler,
                 unsigned image_timeout, void* tx_notify_context, channel_notify tx_notify,
                 unsigned char* tx_buffer, void* rx_notify_context, channel_notify rx_notify,
                 unsigned char* rx_buffer, unsigned channel_timeout, int image_buffer_size,
                 int channel_buffer_size);

// Releases the interface (when claimed), closes the handle, pauses 500 ms on a monotonic clock
// and frees every transfer. Null is allowed. Always 0.
int destroy_transport(std::unique_ptr<usb_transport> transport);

void set_image_transfer_length(usb_transport* transport, int length);
// 0 started; 14 the device is gone; 13 a submission failed (everything submitted is cancelled).
int start_streaming(usb_transport* transport);
// 0, or the last failing cancel result. Completions stop resubmitting from here on: a
// resubmission in progress is waited for before the cancels, so none slips in behind them.
int stop_streaming(usb_transport* transport);
// The device was unplugged: the interface is not released later, and completions stop
// resubmitting. Nothing is cancelled or freed; a completion already inside its resubmission is
// waited for, so no image transfer is submitted once this returns. Runs on the hotplug thread.
void mark_device_gone(usb_transport* transport);
// 0 or 13.
int submit_command(usb_transport* transport);
int submit_reply(usb_transport* transport);
// Asks the layer to end an in-flight channel transfer early (after a wait ran out); its
// completion still notifies. 0 cancelled, else the layer's result.
int cancel_command(usb_transport* transport);
int cancel_reply(usb_transport* transport);

void LIBUSB_CALL on_image_transfer(libusb_transfer* transfer);
void LIBUSB_CALL on_channel_transfer(libusb_transfer* transfer);

// Thin calls into the USB layer's context, for the registry.
int usb_init(libusb_context** context);
void usb_exit(libusb_context* context);
int usb_handle_events(libusb_context* context);
int usb_event_handler_active(libusb_context* context);
int usb_has_hotplug();
int usb_register_hotplug(libusb_context* context, int vendor_id, int product_id,
                         libusb_hotplug_callback_fn callback, void* user_data,
                         libusb_hotplug_callback_handle* handle);
void usb_deregister_hotplug(libusb_context* context, libusb_hotplug_callback_handle handle);

// Calls `visitor(visitor_user, device, product_id)` for every device of the context's list whose
// vendor is `vendor_id` and whose product is one of `product_ids` or 0.
using device_visitor = void (*)(void* visitor_user, libusb_device* device,
                                std::uint16_t product_id);
void find_matching_devices(libusb_context* context, std::uint32_t vendor_id,
                           const std::uint32_t* product_ids, std::size_t product_id_count,
                           device_visitor visitor, void* visitor_user);

} // namespace qmx
