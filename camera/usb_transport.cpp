// Camera data path, USB transport: the device handle, the image transfer pool with its
// resubmission from completions, the two serial channel transfers, and the thin context calls.
#include "camera/usb_transport.h"
#include "include/qmx_libusb_internal.h"
#include "include/qmx_module.h"

#include <chrono>
#include <new>
#include <thread>

namespace qmx {

namespace {

constexpr unsigned char bulk_transfer_type = 2;
constexpr std::uint32_t hotplug_capability = 1;
constexpr int hotplug_both_events = 3; // arrivals and removals
constexpr int hotplug_no_flags = 0;
constexpr int match_any_class = -1;
constexpr std::size_t device_descriptor_bytes = 18;

static_assert(sizeof(libusb_device_descriptor) == device_descriptor_bytes,
              "the descriptor record has the libusb-1.0 layout");

// Allocates a transfer of `capacity` bytes for `holder` and fills every field once. False when
// the layer could not allocate it.
bool make_transfer(transfer_holder& holder, void* owner, libusb_device_handle* handle,
                   std::uint8_t endpoint, unsigned timeout, unsigned char* buffer, int capacity,
                   libusb_transfer_cb_fn callback) {
  holder.handle = handle;
  holder.user_data = std::make_unique<transfer_user_data>(transfer_user_data{owner, &holder});
  holder.transfer = libusb_alloc_transfer(capacity);
  if (holder.transfer == nullptr) {
    return false;
  }
  libusb_transfer* t = holder.transfer;
  t->dev_handle = handle;
  t->endpoint = endpoint;
  t->type = bulk_transfer_type;
  t->timeout = timeout;
  t->buffer = buffer;
  t->length = capacity;
  t->user_data = holder.user_data.get();
  t->callback = callback;
  return true;
}

std::unique_ptr<bulk_channel> make_channel(libusb_device_handle* handle, std::uint8_t endpoint,
                                           void* notify_context, channel_notify notify,
                                           unsigned char* buffer, unsigned timeout, int capacity,
                                           bool& failed) {
  auto channel = std::make_unique<bulk_channel>();
  channel->handle = handle;
  channel->notify_context = notify_context;
  channel->notify = notify;
  if (!make_transfer(channel->holder, channel.get(), handle, endpoint, timeout, buffer, capacity,
                     on_channel_transfer)) {
    failed = true;
  }
  return channel;
}

// Stops completions from resubmitting and waits until none is inside a submission any more.
// After it returns, no completion of the pool submits a transfer again.
void stop_resubmission(transfer_pool& pool) {
  pool.resubmitting.store(false);
  qmx::unique_lock lock(pool.busy_mutex);
  while (pool.busy != 0) {
    lock.wait(pool.busy_done);
  }
}

void cancel_all_images(transfer_pool& pool) {
  for (const auto& slot : pool.slots) {
    if (slot->holder.transfer != nullptr) {
      (void)libusb_cancel_transfer(slot->holder.transfer);
    }
  }
}

void free_holder(transfer_holder& holder) {
  if (holder.transfer != nullptr) {
    libusb_free_transfer(holder.transfer);
    holder.transfer = nullptr;
  }
  holder.user_data.reset();
}

int submit_channel(bulk_channel* channel) {
  if (channel == nullptr || channel->holder.transfer == nullptr) {
    return QMX_CAMERA_COMMAND_FAILED;
  }
  return libusb_submit_transfer(channel->holder.transfer) == 0 ? 0 : QMX_CAMERA_COMMAND_FAILED;
}

int cancel_channel(bulk_channel* channel) {
  if (channel == nullptr || channel->holder.transfer == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  return libusb_cancel_transfer(channel->holder.transfer);
}

} // namespace

std::unique_ptr<usb_transport>
create_transport(libusb_device* device, std::uint8_t command_ep, std::uint8_t reply_ep,
                 std::uint8_t image_ep, int image_count, void* context, image_handler handler,
                 unsigned image_timeout, void* tx_notify_context, channel_notify tx_notify,
                 unsigned char* tx_buffer, void* rx_notify_context, channel_notify rx_notify,
                 unsigned char* rx_buffer, unsigned channel_timeout, int image_buffer_size,
                 int channel_buffer_size) {
  std::unique_ptr<usb_transport> transport(new (std::nothrow) usb_transport);
  if (!transport) {
    return nullptr;
  }
  transport->command_endpoint = command_ep;
  transport->reply_endpoint = reply_ep;
  if (libusb_open(device, &transport->handle) != 0) {
    transport->handle = nullptr;
    transport->failed = true;
  } else {
    libusb_device_handle* handle = transport->handle;
    auto pool = std::make_unique<transfer_pool>();
    pool->handle = handle;
    pool->context = context;
    pool->handler = handler;
    pool->count = image_count > 0 ? image_count : 0;
    const std::size_t buffer_bytes =
        image_buffer_size > 0 ? static_cast<std::size_t>(image_buffer_size) : 0;
    pool->slots.reserve(static_cast<std::size_t>(pool->count));
    for (int i = 0; i < pool->count && !transport->failed; ++i) {
      auto slot = std::make_unique<transfer_slot>();
      slot->buffer.assign(buffer_bytes, 0);
      transfer_slot& s = *slot;
      pool->slots.push_back(std::move(slot));
      if (!make_transfer(s.holder, pool.get(), handle, image_ep, image_timeout, s.buffer.data(),
                         image_buffer_size, on_image_transfer)) {
        transport->failed = true;
      }
    }
    transport->image_pool = std::move(pool);
    if (!transport->failed) {
      transport->command_channel =
          make_channel(handle, command_ep, tx_notify_context, tx_notify, tx_buffer, channel_timeout,
                       channel_buffer_size, transport->failed);
    }
    if (!transport->failed) {
      transport->reply_channel =
          make_channel(handle, reply_ep, rx_notify_context, rx_notify, rx_buffer, channel_timeout,
                       channel_buffer_size, transport->failed);
    }
    if (!transport->failed) {
      transport->claimed.store(libusb_claim_interface(handle, claimed_interface) == 0);
      if (!transport->claimed.load()) {
        transport->failed = true;
      }
    }
  }
  if (transport->failed) {
    destroy_transport(std::move(transport));
    return nullptr;
  }
  return transport;
}

usb_transport::~usb_transport() {
  if (image_pool) {
    stop_resubmission(*image_pool);
  }
  if (claimed.load() && handle != nullptr) {
    (void)libusb_release_interface(handle, claimed_interface);
  }
  if (handle != nullptr) {
    // Ends every pending request and stops the handle's threads: no callback runs after this.
    libusb_close(handle);
    handle = nullptr;
  }
  // A request the driver is finishing while the handle closes may still touch its buffer for a
  // moment; the pause covers it before any buffer is freed. It is taken whether or not the
  // device was opened, so that every teardown takes the same time.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(close_drain_pause_ms);
  for (auto now = std::chrono::steady_clock::now(); now < deadline;
       now = std::chrono::steady_clock::now()) {
    std::this_thread::sleep_for(deadline - now);
  }
  if (image_pool) {
    for (const auto& slot : image_pool->slots) {
      free_holder(slot->holder);
      slot->buffer.clear();
      slot->buffer.shrink_to_fit();
    }
    image_pool.reset();
  }
  if (command_channel) {
    free_holder(command_channel->holder);
    command_channel.reset();
  }
  if (reply_channel) {
    free_holder(reply_channel->holder);
    reply_channel.reset();
  }
}

int destroy_transport(std::unique_ptr<usb_transport> transport) {
  transport.reset();
  return 0;
}

void set_image_transfer_length(usb_transport* transport, int length) {
  if (transport == nullptr || !transport->image_pool) {
    return;
  }
  for (const auto& slot : transport->image_pool->slots) {
    if (slot->holder.transfer != nullptr) {
      slot->holder.transfer->length = length;
    }
  }
}

int start_streaming(usb_transport* transport) {
  if (transport == nullptr || !transport->image_pool) {
    return QMX_DISCONNECTED;
  }
  transfer_pool& pool = *transport->image_pool;
  if (pool.gone.load()) {
    cancel_all_images(pool);
    return QMX_DISCONNECTED;
  }
  // Allowed before the first submission: early completions must resubmit while the rest of
  // the pool is still being submitted.
  pool.resubmitting.store(true);
  for (const auto& slot : pool.slots) {
    if (libusb_submit_transfer(slot->holder.transfer) != 0) {
      stop_resubmission(pool);
      cancel_all_images(pool);
      return QMX_CAMERA_COMMAND_FAILED;
    }
  }
  transport->streaming.store(true);
  return 0;
}

int stop_streaming(usb_transport* transport) {
  if (transport == nullptr || !transport->streaming.load()) {
    return 0;
  }
  int result = 0;
  if (transport->image_pool) {
    transfer_pool& pool = *transport->image_pool;
    // No completion may resubmit behind the cancel loop.
    stop_resubmission(pool);
    for (const auto& slot : pool.slots) {
      const int r = libusb_cancel_transfer(slot->holder.transfer);
      if (r != 0) {
        result = r;
      }
    }
  }
  transport->streaming.store(false);
  return result;
}

void mark_device_gone(usb_transport* transport) {
  if (transport == nullptr) {
    return;
  }
  transport->claimed.store(false);
  if (transport->image_pool) {
    transfer_pool& pool = *transport->image_pool;
    pool.gone.store(true);
    // A completion already inside its resubmission finishes it first, so that no image transfer
    // is submitted once this returns.
    qmx::unique_lock lock(pool.busy_mutex);
    while (pool.busy != 0) {
      lock.wait(pool.busy_done);
    }
  }
}

int submit_command(usb_transport* transport) {
  return transport == nullptr ? QMX_CAMERA_COMMAND_FAILED
                              : submit_channel(transport->command_channel.get());
}

int submit_reply(usb_transport* transport) {
  return transport == nullptr ? QMX_CAMERA_COMMAND_FAILED
                              : submit_channel(transport->reply_channel.get());
}

int cancel_command(usb_transport* transport) {
  return transport == nullptr ? LIBUSB_ERROR_INVALID_PARAM
                              : cancel_channel(transport->command_channel.get());
}

int cancel_reply(usb_transport* transport) {
  return transport == nullptr ? LIBUSB_ERROR_INVALID_PARAM
                              : cancel_channel(transport->reply_channel.get());
}

void LIBUSB_CALL on_image_transfer(libusb_transfer* transfer) {
  auto* data = static_cast<transfer_user_data*>(transfer->user_data);
  if (data == nullptr) {
    return;
  }
  auto* pool = static_cast<transfer_pool*>(data->owner);
  if (pool == nullptr || pool->handler == nullptr) {
    return;
  }
  bool resubmit = false;
  const image_completion completion{pool->context, transfer->buffer, transfer->actual_length,
                                    usb::received_length(transfer), &resubmit};
  pool->handler(completion);
  if (!resubmit || !pool->resubmitting.load() || pool->gone.load()) {
    return;
  }
  {
    // Registered before the flag is read again: whoever clears the flag then waits for us.
    qmx::lock_guard lock(pool->busy_mutex);
    if (!pool->resubmitting.load() || pool->gone.load()) {
      return;
    }
    ++pool->busy;
  }
  (void)libusb_submit_transfer(transfer);
  qmx::lock_guard lock(pool->busy_mutex);
  --pool->busy;
  if (pool->busy == 0) {
    pool->busy_done.notify_all();
  }
}

void LIBUSB_CALL on_channel_transfer(libusb_transfer* transfer) {
  auto* data = static_cast<transfer_user_data*>(transfer->user_data);
  if (data == nullptr) {
    return;
  }
  auto* channel = static_cast<bulk_channel*>(data->owner);
  if (channel == nullptr || channel->notify == nullptr) {
    return;
  }
  channel->notify(channel_completion{channel->notify_context,
                                     transfer->status != LIBUSB_TRANSFER_COMPLETED,
                                     usb::received_length(transfer)});
}

int usb_init(libusb_context** context) {
  return libusb_init(context);
}

void usb_exit(libusb_context* context) {
  libusb_exit(context);
}

int usb_handle_events(libusb_context* context) {
  return libusb_handle_events(context);
}

int usb_event_handler_active(libusb_context* context) {
  return libusb_event_handler_active(context);
}

int usb_has_hotplug() {
  return libusb_has_capability(hotplug_capability);
}

int usb_register_hotplug(libusb_context* context, int vendor_id, int product_id,
                         libusb_hotplug_callback_fn callback, void* user_data,
                         libusb_hotplug_callback_handle* handle) {
  return libusb_hotplug_register_callback(context, hotplug_both_events, hotplug_no_flags, vendor_id,
                                          product_id, match_any_class, callback, user_data, handle);
}

void usb_deregister_hotplug(libusb_context* context, libusb_hotplug_callback_handle handle) {
  libusb_hotplug_deregister_callback(context, handle);
}

void find_matching_devices(libusb_context* context, std::uint32_t vendor_id,
                           const std::uint32_t* product_ids, std::size_t product_id_count,
                           device_visitor visitor, void* visitor_user) {
  libusb_device** list = nullptr;
  const auto count = libusb_get_device_list(context, &list);
  if (count <= 0 || list == nullptr) {
    if (list != nullptr) {
      libusb_free_device_list(list, 0);
    }
    return;
  }
  for (decltype(libusb_get_device_list(nullptr, nullptr)) i = 0; i < count; ++i) {
    libusb_device* device = list[i];
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) < 0) {
      // Never handed to the visitor, so its list reference is ours to drop.
      libusb_unref_device(device);
      continue;
    }
    bool match = false;
    if (descriptor.idVendor == vendor_id) {
      match = descriptor.idProduct == 0;
      for (std::size_t p = 0; p < product_id_count && !match; ++p) {
        match = product_ids[p] == descriptor.idProduct;
      }
    }
    if (match) {
      if (visitor != nullptr) {
        visitor(visitor_user, device, descriptor.idProduct);
      }
    } else {
      libusb_unref_device(device);
    }
  }
  libusb_free_device_list(list, 0);
}

} // namespace qmx
