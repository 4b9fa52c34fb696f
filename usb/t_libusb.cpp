// USB access layer: context and device list, descriptors, device handles, asynchronous
// transfers with their per-endpoint wait and callback threads, control transfers and the
// hotplug bridge, behind the libusb-style C interface.
#include "usb/t_libusb.h"

#include "include/qmx_libusb_internal.h"
#include "usb/log.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <thread>

namespace {

using namespace usb;

constexpr const char* source = "t_libusb";

constexpr std::uint32_t device_num_endpoints = 4;
constexpr std::uint32_t uart_data_length = 1024;
constexpr std::uint32_t control_buffer_size = 8192;
constexpr std::uint32_t control_data_capacity = control_buffer_size - transfer_header_size;
constexpr std::uint32_t control_time_limit_ms = 5000;
constexpr std::uint32_t control_transfer_timeout_field = 1;
constexpr std::uint32_t cancel_grace_ms = 100;
constexpr std::uint32_t cancel_poll_ms = 1;
constexpr std::uint32_t close_drain_spins = 1000;
constexpr std::uint8_t request_type_mask = 0xE3;
constexpr std::uint8_t direction_in = 0x80;

constexpr std::uint8_t endpoint_addresses[endpoint_count] = {UART_TX_ENDPOINT, UART_RX_ENDPOINT,
                                                             DATA_ENDPOINT, EVENT_ENDPOINT};
constexpr const char* endpoint_names[endpoint_count] = {"UART_TX_ENDPOINT", "UART_RX_ENDPOINT",
                                                        "DATA_ENDPOINT", "EVENT_ENDPOINT"};
// The endpoint names without "_ENDPOINT", for thread names where only 15 bytes are kept.
constexpr const char* endpoint_short_names[endpoint_count] = {"UART_TX", "UART_RX", "DATA",
                                                              "EVENT"};

const char* const separator = "-------------------------------------------------------";
const char* const monitor_file_name = "orbanite_qmx_usb_hotplug_monitor.dll";
const char* const monitor_subscribe_name = "hotplug_event_subscribe";

int endpoint_index(std::uint8_t address) {
  for (int i = 0; i < endpoint_count; ++i) {
    if (endpoint_addresses[i] == address) {
      return i;
    }
  }
  return -1;
}

unsigned as_log_address(const void* p) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

// The public transfer followed by the layer's hidden link.
struct transfer_record {
  libusb_transfer transfer;
  t_usb_transfer* link;
};

t_usb_transfer* link_of(libusb_transfer* transfer) {
  return reinterpret_cast<transfer_record*>(transfer)->link;
}

// Interface paths compare without regard to the letter case of ASCII letters.
char upper_ascii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_path(const char* a, const char* b) noexcept {
  for (;; ++a, ++b) {
    if (upper_ascii(*a) != upper_ascii(*b)) {
      return false;
    }
    if (*a == '\0') {
      return true;
    }
  }
}

constexpr std::uint16_t bcd_usb_full_speed = 0x0110;
constexpr std::uint16_t bcd_usb_high_speed = 0x0200;
constexpr std::uint16_t bcd_usb_super_speed = 0x0300;
constexpr std::uint32_t high_speed_packet = 512;
constexpr std::uint32_t super_speed_packet = 1024;

std::uint16_t bcd_usb_for(std::uint32_t max_packet_size) {
  switch (max_packet_size) {
  case high_speed_packet:
    return bcd_usb_high_speed;
  case super_speed_packet:
    return bcd_usb_super_speed;
  default:
    return bcd_usb_full_speed;
  }
}

libusb_device* make_device(const t_usb_device_data& data) {
  auto* device = new (std::nothrow) libusb_device{};
  if (device == nullptr) {
    return nullptr;
  }
  device->vendor_id = data.vendor_id;
  device->product_id = data.product_id;
  std::memcpy(device->path, data.path, sizeof device->path);
  device->path[sizeof device->path - 1] = '\0';
  device->num_endpoints = device_num_endpoints;
  device->max_packet_size = data.max_packet_size;
  libusb_device_descriptor& d = device->descriptor;
  d.bLength = 18;
  d.bDescriptorType = 1;
  // Fixed by the speed class, whatever the device's own value: the speed class is all the
  // record keeps of it.
  d.bcdUSB = bcd_usb_for(data.max_packet_size);
  d.bMaxPacketSize0 = 64;
  d.idVendor = data.vendor_id;
  d.idProduct = data.product_id;
  d.bNumConfigurations = 1;
  return device;
}

// Device list operations.
void append_device(libusb_context* ctx, libusb_device* device) QMX_REQUIRES(ctx->list_mutex) {
  device->previous = ctx->last;
  device->next = nullptr;
  if (ctx->last != nullptr) {
    ctx->last->next = device;
  } else {
    ctx->first = device;
  }
  ctx->last = device;
  ++ctx->device_count;
}

void unlink_device(libusb_context* ctx, libusb_device* device) QMX_REQUIRES(ctx->list_mutex) {
  (device->previous != nullptr ? device->previous->next : ctx->first) = device->next;
  (device->next != nullptr ? device->next->previous : ctx->last) = device->previous;
  --ctx->device_count;
}

libusb_device* find_device(libusb_context* ctx, const char* path) QMX_REQUIRES(ctx->list_mutex) {
  for (libusb_device* d = ctx->first; d != nullptr; d = d->next) {
    if (same_path(d->path, path)) {
      return d;
    }
  }
  return nullptr;
}

// ---- Transfer threads ----------------------------------------------------------------------

std::uint32_t thread_transfer_wait(void* argument);
std::uint32_t thread_transfer_callback(void* argument);

transfer_thread* transfer_thread_create(const char* name, platform::thread::routine routine) {
  auto* record = new (std::nothrow) transfer_thread;
  if (record == nullptr) {
    return nullptr;
  }
  record->started = platform::event::create();
  record->stopped = platform::event::create();
  record->stop_request = platform::event::create();
  record->queue_in = platform::completion_queue::create();
  if (!record->started || !record->stopped || !record->stop_request || !record->queue_in) {
    delete record;
    return nullptr;
  }
  record->running.store(1);
  record->thread = platform::thread::start(name, routine, record);
  if (!record->thread) {
    delete record;
    return nullptr;
  }
  record->thread_id = record->thread.id();
  record->started.wait();
  return record;
}

int transfer_thread_destroy(transfer_thread* record) {
  if (record == nullptr || !record->thread) {
    return 0;
  }
  record->running.exchange(0);
  record->stop_request.set();
  if (!record->queue_in.post(0)) {
    T_LOG(source, "***ERROR***: PostQueuedCompletionStatus() failed\n");
  }
  record->stopped.wait();
  record->thread.join();
  delete record;
  return 1;
}

transfer_thread* callback_thread_for(libusb_device_handle* handle, std::uint8_t endpoint) {
  const int index = endpoint_index(endpoint);
  return index < 0 ? nullptr : handle->endpoints[index].callback_thread;
}

enum libusb_transfer_status status_for(std::uint32_t error) {
  switch (error) {
  case platform::error::success:
    return LIBUSB_TRANSFER_COMPLETED;
  case platform::error::operation_aborted:
    return LIBUSB_TRANSFER_CANCELLED;
  case platform::error::device_not_connected:
  case platform::error::file_not_found:
  case platform::error::invalid_handle:
    return LIBUSB_TRANSFER_NO_DEVICE;
  default:
    return LIBUSB_TRANSFER_ERROR;
  }
}

// Takes the next entry of a transfer thread's queue into `transfer` (null for an entry that
// names no transfer, such as a wake-up). False when the thread is to stop.
bool next_transfer(transfer_thread& self, libusb_transfer*& transfer) {
  if (self.running.load() == 0) {
    return false;
  }
  std::uintptr_t key = 0;
  const bool taken = self.queue_in.take(key);
  if (self.running.load() == 0) {
    return false;
  }
  // A queue entry names its transfer by its address.
  transfer = taken ? reinterpret_cast<libusb_transfer*>(key) // NOLINT(performance-no-int-to-ptr)
                   : nullptr;
  return true;
}

std::uint32_t thread_transfer_wait(void* argument) {
  auto* self = static_cast<transfer_thread*>(argument);
  T_LOG(source, "thread_transfer_wait thread starting!");
  self->started.set();
  libusb_transfer* transfer = nullptr;
  while (next_transfer(*self, transfer)) {
    if (transfer == nullptr) {
      continue;
    }
    libusb_device_handle* handle = transfer->dev_handle;
    if (handle == nullptr) {
      continue;
    }
    if (handle->closing.load() != 0 && self->running.load() == 0) {
      break;
    }
    transfer_thread* target = callback_thread_for(handle, transfer->endpoint);
    if (target == nullptr) {
      T_LOG(source, "Unknown endpoint specified! %d", transfer->endpoint);
      continue;
    }
    t_usb_transfer* x = link_of(transfer);
    // The request's completion event ends the wait; the stop request ends the thread.
    platform::wait_result r = platform::wait_result::failed;
    do {
      r = platform::event::wait_any(x->completion.completion_event(), self->stop_request,
                                    platform::infinite_wait);
    } while (r != platform::wait_result::first && r != platform::wait_result::second);
    if (r == platform::wait_result::second) {
      break;
    }
    std::uint32_t bytes = 0;
    // The outcome comes from the record alone (the file may already be closed by libusb_close),
    // waiting for the request to end should the signal have come before it did.
    const std::uint32_t error = x->completion.outcome(&bytes, true);
    if (error != platform::error::success) {
      if (self->running.load() == 0) {
        break;
      }
      if (error == platform::error::operation_aborted) { // NOLINT(bugprone-branch-clone): two texts
        T_LOG(source, "Request was cancelled!");
      } else {
        T_LOG(source, "Recieved an error code from usb transfer overlapped result: %d",
              static_cast<int>(error));
      }
    }
    transfer->status = status_for(error);
    if (error == platform::error::success) {
      if ((transfer->endpoint & direction_in) != 0 && transfer->buffer != nullptr) {
        const std::uint32_t wanted =
            transfer->length > 0 ? static_cast<std::uint32_t>(transfer->length) : 0;
        const std::uint32_t copied = wanted < x->capacity ? wanted : x->capacity;
        std::memcpy(transfer->buffer, x->driver_buffer.get() + transfer_header_size, copied);
      }
      transfer->actual_length = transfer->length;
      const std::uint32_t wanted =
          transfer->length > 0 ? static_cast<std::uint32_t>(transfer->length) : 0;
      const std::uint32_t data = bytes > transfer_header_size ? bytes - transfer_header_size : 0;
      x->received = std::min({data, wanted, x->capacity});
    } else {
      transfer->actual_length = 0;
      x->received = 0;
    }
    if (!target->queue_in.post(reinterpret_cast<std::uintptr_t>(transfer))) {
      T_LOG(source, "***ERROR***: PostQueuedCompletionStatus() failed\n");
    }
  }
  self->stopped.set();
  T_LOG(source, "thread_transfer thread shutting down");
  return 0;
}

std::uint32_t thread_transfer_callback(void* argument) {
  auto* self = static_cast<transfer_thread*>(argument);
  T_LOG(source, "thread_transfer_callback thread starting!");
  self->started.set();
  libusb_transfer* transfer = nullptr;
  while (next_transfer(*self, transfer)) {
    if (transfer != nullptr && transfer->callback != nullptr) {
      transfer->callback(transfer);
    }
  }
  self->stopped.set();
  T_LOG(source, "thread_transfer_callback thread shutting down!");
  return 0;
}

// Full names for debuggers; where a system keeps only 15 bytes (Linux), "wait <endpoint>" and
// "cb <endpoint>" with the endpoint's short name, so that each thread still shows its endpoint.
void set_thread_names(transfer_thread* wait, transfer_thread* callback, int index) {
  const char* endpoint = endpoint_names[index];
  const char* short_endpoint = endpoint_short_names[index];
  const std::string wait_name = std::string("thread_wait") + endpoint + "_wait_thread";
  const std::string callback_name = std::string("thread_callback") + endpoint + "_callback_thread";
  const std::string wait_short = std::string("wait ") + short_endpoint;
  const std::string callback_short = std::string("cb ") + short_endpoint;
  platform::set_thread_debug_name(wait->thread_id, wait_name.c_str(), wait_short.c_str());
  platform::set_thread_debug_name(callback->thread_id, callback_name.c_str(),
                                  callback_short.c_str());
}

void stop_endpoints(libusb_device_handle* handle) {
  for (int i = endpoint_count - 1; i >= 0; --i) {
    endpoint_threads& e = handle->endpoints[i];
    e.endpoint_address.store(0);
    transfer_thread_destroy(e.wait_thread);
    e.wait_thread = nullptr;
    transfer_thread_destroy(e.callback_thread);
    e.callback_thread = nullptr;
  }
}

// ---- Hotplug bridge ------------------------------------------------------------------------

using subscribe_fn = int (*)(std::uint32_t vendor_id, std::uint32_t product_id,
                             void (*notify)(std::uint32_t, const char*, void*), void* context);

// The monitor's subscribe function, looked up afresh for each registration and kept by nobody,
// so that registrations on several threads share no state; null when the monitor library or
// its function is missing.
subscribe_fn hotplug_monitor_find() noexcept {
  // A missing library or function is a plain failure: what is missing is reported to nobody.
  platform::library_handle module = platform::get_loaded_shared_library(monitor_file_name);
  if (module == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<subscribe_fn>(
      platform::get_function_from_shared_library__or_nullptr(module, monitor_subscribe_name));
}

} // namespace

// The monitor keeps the pointer it was given for as long as the process lives and offers no
// way to unsubscribe. It is therefore given this record, which is never freed, instead of the
// context: `libusb_exit` detaches the context from it and waits for a notification in progress.
struct hotplug_subscription {
  libusb_context* target QMX_GUARDED_BY(usb::subscription_mutex()) = nullptr;
  int busy QMX_GUARDED_BY(usb::subscription_mutex()) = 0;
};

namespace {

// The subscription lock and the condition that says no notification is in progress. The
// monitor's notification thread may be inside them when the process ends, and on Windows (where
// the module keeps itself loaded) the system ends every other thread, wherever it stood, before
// it destroys the module's static objects; destroying a lock or condition that an ended thread was
// using can wait forever. They are therefore built once in static storage and never destroyed
// (which frees nothing that matters: the storage goes with the module, and neither holds any
// other resource once no thread uses it).
struct subscription_sync {
  qmx::mutex mutex;
  std::condition_variable idle;
};

subscription_sync& subscriptions() noexcept {
  alignas(subscription_sync) static unsigned char storage[sizeof(subscription_sync)];
  static subscription_sync* const instance = new (storage) subscription_sync;
  return *instance;
}

std::condition_variable& subscription_idle() {
  return subscriptions().idle;
}

// Marks a client callback as running.
void enter_callback(libusb_context* ctx) QMX_REQUIRES(ctx->list_mutex) {
  ++ctx->callbacks_running;
  ctx->callback_thread = platform::current_thread_id();
}

// Marks a client callback as over.
void leave_callback(libusb_context* ctx) QMX_REQUIRES(ctx->list_mutex) {
  --ctx->callbacks_running;
  ctx->callbacks_idle.notify_all();
}

void deliver_arrival(libusb_context* ctx, const char* path) {
  t_usb_device_data data;
  if (!get_device_data(path, data)) {
    return;
  }
  libusb_hotplug_callback_fn callback = nullptr;
  void* user_data = nullptr;
  libusb_device* device = nullptr;
  {
    qmx::lock_guard lock(ctx->list_mutex);
    hotplug_registration* r = ctx->registration;
    if (r == nullptr || data.vendor_id != r->vendor_id || data.product_id != r->product_id) {
      return;
    }
    // A new record for every arrival, with what the device reports now; a record of the same
    // path that a listing made, or that a removal never took away, stays as it is.
    device = make_device(data);
    if (device == nullptr) {
      return;
    }
    append_device(ctx, device);
    callback = r->callback;
    user_data = r->user_data;
    if (callback == nullptr) {
      return;
    }
    enter_callback(ctx);
  }
  callback(ctx, device, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, user_data);
  qmx::lock_guard lock(ctx->list_mutex);
  leave_callback(ctx);
}

void deliver_removal(libusb_context* ctx, const char* path) {
  libusb_hotplug_callback_fn callback = nullptr;
  void* user_data = nullptr;
  libusb_device* device = nullptr;
  {
    qmx::lock_guard lock(ctx->list_mutex);
    if (ctx->registration == nullptr) {
      return;
    }
    device = find_device(ctx, path);
    if (device == nullptr) {
      T_LOG(source, "Error: Did not find is_disconnected device!\n");
      return;
    }
    callback = ctx->registration->callback;
    user_data = ctx->registration->user_data;
    if (callback != nullptr) {
      enter_callback(ctx);
    }
  }
  if (callback != nullptr) {
    callback(ctx, device, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, user_data);
  }
  qmx::lock_guard lock(ctx->list_mutex);
  unlink_device(ctx, device);
  device->previous = nullptr;
  device->next = ctx->retired;
  ctx->retired = device;
  if (callback != nullptr) {
    leave_callback(ctx);
  }
}

void usb_hotplug_callback(std::uint32_t event, const char* path, void* context) {
  auto* subscription = static_cast<hotplug_subscription*>(context);
  libusb_context* ctx = nullptr;
  {
    qmx::lock_guard lock(usb::subscription_mutex());
    ctx = subscription->target;
    if (ctx == nullptr) {
      return; // the context was released
    }
    ++subscription->busy;
  }
  if (path != nullptr) {
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
      deliver_arrival(ctx, path);
    } else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
      deliver_removal(ctx, path);
    }
  }
  {
    qmx::lock_guard lock(usb::subscription_mutex());
    --subscription->busy;
  }
  subscription_idle().notify_all();
}

// ---- Submission -----------------------------------------------------------------------------

// A submission without a handle, a transfer record or an open file (libusb_close has begun, so
// the file counts as gone): nothing reaches the driver.
int refuse_without_file(libusb_transfer* transfer, const libusb_device_handle* handle,
                        const t_usb_transfer* x) {
  T_LOG(source,
        "t_usb_transfer_start() - ******ERROR*****. handle or x == 0. handle:0x%08x x:0x%08x",
        as_log_address(handle), as_log_address(x));
  T_LOG(source, "*** ZEROZOZ ***: t_usb_transfer_start() - failed\n");
  transfer->status = LIBUSB_TRANSFER_ERROR;
  return LIBUSB_ERROR_IO;
}

// The submission proper, on a handle whose close has not begun; the caller has counted itself
// in `handle->submissions`. Allocates nothing: it runs once per packet on a stream.
int submit_on_open_handle(libusb_transfer* transfer, libusb_device_handle* handle,
                          t_usb_transfer* x) {
  if (!handle->file.valid()) {
    return refuse_without_file(transfer, handle, x);
  }
  const int index = endpoint_index(transfer->endpoint);
  if (index < 0) {
    T_LOG(source, "Unknown endpoint ID specified! %d", transfer->endpoint);
    return LIBUSB_ERROR_IO;
  }
  const bool uart =
      transfer->endpoint == UART_TX_ENDPOINT || transfer->endpoint == UART_RX_ENDPOINT;
  const std::uint32_t data_length = uart ? uart_data_length : x->capacity;
  // The driver writes and reads `data_length` bytes and the copies below use `length`: both must
  // fit the data area made at allocation, or the driver would run past the buffer.
  if (transfer->length < 0 || static_cast<std::uint32_t>(transfer->length) > x->capacity ||
      data_length > x->capacity || (transfer->length > 0 && transfer->buffer == nullptr)) {
    T_LOG(source, "t_usb_transfer_start() - length %d does not fit the capacity %u\n",
          transfer->length, x->capacity);
    transfer->status = LIBUSB_TRANSFER_ERROR;
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  x->header->endpoint_address = transfer->endpoint;
  x->header->data_length = data_length;
  std::uint8_t* data = x->driver_buffer.get() + transfer_header_size;
  if ((transfer->endpoint & direction_in) == 0) {
    if (transfer->length > 0) { // a zero-length transfer may come without a buffer
      std::memcpy(data, transfer->buffer, static_cast<std::size_t>(transfer->length));
    }
  } else if (transfer->endpoint == EVENT_ENDPOINT) {
    std::memset(data, 0, static_cast<std::size_t>(transfer->length));
  }
  const std::uint32_t error =
      handle->file.submit(DRIVER_REQUEST_ENDPOINT, x->driver_buffer.get(),
                          transfer_header_size + x->capacity, x->completion);
  if (error != platform::error::success && error != platform::error::io_pending) {
    char text[512];
    std::snprintf(text, sizeof text, "error:0x%08x %s", error, platform::error_text(error).c_str());
    T_LOG(source, "t_usb_transfer_start() - ******ERROR*****. %s\n", text);
    T_LOG(source, "*** ZEROZOZ ***: t_usb_transfer_start() - failed\n");
    transfer->status = LIBUSB_TRANSFER_ERROR;
    return LIBUSB_ERROR_IO;
  }
  transfer_thread* wait_thread = handle->endpoints[index].wait_thread;
  if (wait_thread == nullptr ||
      !wait_thread->queue_in.post(reinterpret_cast<std::uintptr_t>(transfer))) {
    T_LOG(source, "***ERROR***: PostQueuedCompletionStatus() failed\n");
  }
  return LIBUSB_SUCCESS;
}

// ---- Configuration descriptor tree ---------------------------------------------------------

struct config_tree {
  libusb_config_descriptor config;
  libusb_interface interface;
  libusb_interface_descriptor altsetting;
  libusb_endpoint_descriptor endpoints[endpoint_count];
};

} // namespace

namespace usb {

qmx::mutex& subscription_mutex() noexcept {
  return subscriptions().mutex;
}

bool keep_module_loaded() noexcept {
  return platform::keep_library_loaded(reinterpret_cast<const void*>(&keep_module_loaded));
}

bool unload_can_join_threads() noexcept {
  return platform::unload_can_join_threads();
}

bool process_is_terminating() noexcept {
  return platform::process_is_terminating();
}

void* library_function(void* library, const char* name) noexcept {
  return platform::get_function_from_shared_library__or_nullptr(library, name);
}

bool same_device_path(const libusb_device* a, const libusb_device* b) noexcept {
  return a != nullptr && b != nullptr && (a == b || same_path(a->path, b->path));
}

std::int32_t received_length(const libusb_transfer* transfer) noexcept {
  if (transfer == nullptr) {
    return 0;
  }
  const t_usb_transfer* x = link_of(const_cast<libusb_transfer*>(transfer));
  return x == nullptr ? 0 : static_cast<std::int32_t>(x->received);
}

} // namespace usb

extern "C" {

// ---- Context, events and device list -------------------------------------------------------

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  if (ctx == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  auto* context = new (std::nothrow) libusb_context;
  if (context == nullptr) {
    return LIBUSB_ERROR_NO_MEM;
  }
  // Made here, before any other thread can see the context, so that no later call replaces it.
  context->event = platform::event::create();
  if (!context->event.valid()) {
    delete context;
    return LIBUSB_ERROR_NO_MEM;
  }
  *ctx = context;
  T_LOG(source, "*** ZEROZOZ ***: libusb_init(address_of_pointer_to_libusb_context:0x%08x)",
        as_log_address(ctx));
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  if (ctx == nullptr) {
    return;
  }
  T_LOG(source, "libusb_exit pointer_to_libusb_context = %x", as_log_address(ctx));
  {
    qmx::unique_lock lock(usb::subscription_mutex());
    if (ctx->subscription != nullptr) {
      hotplug_subscription* s = ctx->subscription;
      s->target = nullptr;
      while (s->busy != 0) {
        lock.wait(subscription_idle());
      }
    }
  }
  {
    qmx::lock_guard lock(ctx->list_mutex);
    for (libusb_device* list : {ctx->first, ctx->retired}) {
      for (libusb_device* d = list; d != nullptr;) {
        libusb_device* next = d->next;
        delete d;
        d = next;
      }
    }
    ctx->first = ctx->last = ctx->retired = nullptr;
    ctx->device_count = 0;
    delete ctx->registration;
    ctx->registration = nullptr;
  }
  delete ctx;
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
  T_LOG(source, "*** ZEROZOZ ***: libusb_handle_events(pointer_to_libusb_context:0x%08x)",
        as_log_address(ctx));
  if (ctx == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (!ctx->events_enabled.load(std::memory_order_acquire)) {
    T_LOG(source,
          "*** ZEROZOZ ***: libusb_handle_events() - pointer_to_libusb_context->event:0x%08x\n",
          0u);
    return LIBUSB_ERROR_OTHER;
  }
  ctx->event.wait();
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_event_handler_active(libusb_context* /*ctx*/) {
  return 1;
}

int LIBUSB_CALL libusb_has_capability(std::uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_HOTPLUG ? 1 : 0;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  T_LOG(source, "get device list!");
  if (ctx == nullptr || list == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  std::vector<t_usb_device_data> found;
  try {
    found = t_dev_get_usb_tree(driver_interface_class_mask);
  } catch (...) {
    found.clear();
  }
  const std::size_t count = found.size();
  libusb_device** array = nullptr;
  if (count < std::numeric_limits<std::size_t>::max() / sizeof(libusb_device*) - 1) {
    array = new (std::nothrow) libusb_device*[count + 1]();
  }
  if (array == nullptr) {
    array = new (std::nothrow) libusb_device*[1]();
    *list = array;
    return 0;
  }
  std::size_t filled = 0;
  {
    qmx::lock_guard lock(ctx->list_mutex);
    for (const t_usb_device_data& data : found) {
      libusb_device* device = find_device(ctx, data.path);
      if (device == nullptr) {
        device = make_device(data);
        if (device == nullptr) {
          continue;
        }
        append_device(ctx, device);
      }
      array[filled++] = device;
    }
  }
  *list = array;
  return static_cast<ssize_t>(filled);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int /*unref_devices*/) {
  delete[] list;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* /*dev*/) {}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
  if (dev == nullptr || desc == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  *desc = dev->descriptor;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, std::uint8_t /*config_index*/,
                                             libusb_config_descriptor** config) {
  if (dev == nullptr || config == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  auto* tree = new (std::nothrow) config_tree{};
  if (tree == nullptr) {
    return LIBUSB_ERROR_NO_MEM;
  }
  tree->config.bLength = sizeof(libusb_config_descriptor);
  tree->config.bNumInterfaces = 1;
  tree->config.interface = &tree->interface;
  tree->interface.altsetting = &tree->altsetting;
  tree->interface.num_altsetting = 1;
  tree->altsetting.bLength = sizeof(libusb_interface_descriptor);
  tree->altsetting.bNumEndpoints = endpoint_count;
  tree->altsetting.endpoint = tree->endpoints;
  for (int i = 0; i < endpoint_count; ++i) {
    libusb_endpoint_descriptor& e = tree->endpoints[i];
    e.bLength = sizeof(libusb_endpoint_descriptor);
    e.bDescriptorType = 5;
    e.bEndpointAddress = endpoint_addresses[i];
    e.wMaxPacketSize = 1024;
  }
  // The configuration record is the tree's first member, so its address frees the whole tree.
  *config = &tree->config;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
  delete reinterpret_cast<config_tree*>(config);
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
  if (dev == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  switch (dev->max_packet_size) {
  case 64:
    return LIBUSB_SPEED_FULL;
  case 512:
    return LIBUSB_SPEED_HIGH;
  case 1024:
    return LIBUSB_SPEED_SUPER;
  default:
    return LIBUSB_SPEED_UNKNOWN;
  }
}

// Entry points that do nothing but answer 0 (null where a pointer is due).
libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* /*dev_handle*/) {
  return nullptr;
}
int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* /*dev_handle*/, int /*n*/) {
  return 0;
}
int LIBUSB_CALL libusb_release_interface(libusb_device_handle* /*dev_handle*/, int /*n*/) {
  return 0;
}
int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* /*dev_handle*/, unsigned char /*ep*/,
                                     unsigned char* /*data*/, int /*length*/, int* /*transferred*/,
                                     unsigned int /*timeout*/) {
  return 0;
}
libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* /*ctx*/,
                                                                  std::uint16_t /*vid*/,
                                                                  std::uint16_t /*pid*/) {
  return nullptr;
}
int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* /*dev*/,
                                                      std::uint8_t /*value*/,
                                                      libusb_config_descriptor** /*config*/) {
  return 0;
}

// ---- Device handles and transfers ----------------------------------------------------------

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  T_LOG(source, "%s", separator);
  T_LOG(source, "%s", separator);
  T_LOG(source, "libusb_open() - ENTRY device:0x%08x", as_log_address(dev));
  T_LOG(source, "%s", separator);
  T_LOG(source, "%s", separator);
  if (dev == nullptr) {
    T_LOG(source, "libusb_open() - device == 0)\n");
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (handle == nullptr) {
    T_LOG(source, "libusb_open() - device_handle == 0)\n");
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  std::uint32_t error = 0;
  platform::device_file file =
      platform::device_file::open(dev->path, platform::share_mode::exclusive, &error);
  if (!file.valid()) {
    T_LOG(source, "libusb_open() - CreateFile(\"%s\") failed \n", dev->path);
    return LIBUSB_ERROR_NO_DEVICE;
  }
  auto* h = new (std::nothrow) libusb_device_handle;
  if (h == nullptr) {
    T_LOG(source, "libusb_open() - t_mem_alloc() failed \n");
    return LIBUSB_ERROR_NO_MEM;
  }
  h->file = std::move(file);
  for (int i = 0; i < endpoint_count; ++i) {
    endpoint_threads& e = h->endpoints[i];
    e.endpoint_address.store(endpoint_addresses[i]);
    e.wait_thread = transfer_thread_create("thread_wait", thread_transfer_wait);
    e.callback_thread = transfer_thread_create("thread_callback", thread_transfer_callback);
    if (e.wait_thread == nullptr || e.callback_thread == nullptr) {
      // Without both threads an endpoint could never complete a transfer: fail the open.
      h->file.close();
      stop_endpoints(h);
      delete h;
      return LIBUSB_ERROR_NO_MEM;
    }
    set_thread_names(e.wait_thread, e.callback_thread, i);
  }
  h->closing.store(0);
  T_LOG(source, "ne = %d", static_cast<int>(dev->num_endpoints));
  T_LOG(source, "h = %x", as_log_address(h->file.native()));
  T_LOG(source, "libusb_open() - device->num_endpoints:%d handle:0x%08x",
        static_cast<int>(dev->num_endpoints), as_log_address(h));
  *handle = h;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  if (handle == nullptr) {
    T_LOG(source, "libusb_open() - dev_handle == 0)\n");
    return;
  }
  // Refuse new submissions, then wait for those already past their check: only then can no
  // thread reach the file any more.
  handle->closing.store(1);
  for (std::uint32_t spins = 0; handle->submissions.load() != 0; ++spins) {
    if (spins < close_drain_spins) {
      std::this_thread::yield();
    } else {
      platform::sleep_ms(1);
    }
  }
  handle->file.close();
  stop_endpoints(handle);
  delete handle;
}

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int capacity) {
  if (capacity < 0) {
    return nullptr;
  }
  auto* record = new (std::nothrow) transfer_record{};
  if (record == nullptr) {
    return nullptr;
  }
  auto* x = new (std::nothrow) t_usb_transfer;
  const std::size_t size = transfer_header_size + static_cast<std::size_t>(capacity);
  if (x != nullptr) {
    x->driver_buffer.reset(new (std::nothrow) std::uint8_t[size]());
  }
  if (x == nullptr || !x->driver_buffer || !x->completion.create()) {
    delete x;
    delete record;
    return nullptr;
  }
  x->capacity = static_cast<std::uint32_t>(capacity);
  x->header = reinterpret_cast<t_usb_transfer_header_struct_packed*>(x->driver_buffer.get());
  t_usb_transfer_header_struct_packed header{};
  header.data_offset = transfer_header_size;
  header.data_length = x->capacity;
  header.endpoint_address = UART_TX_ENDPOINT;
  std::memcpy(x->driver_buffer.get(), &header, sizeof header);
  record->link = x;
  return &record->transfer;
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* transfer) {
  if (transfer == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  libusb_device_handle* handle = transfer->dev_handle;
  t_usb_transfer* x = link_of(transfer);
  if (handle == nullptr || x == nullptr) {
    return refuse_without_file(transfer, handle, x);
  }
  // Counted in before `closing` is read; libusb_close sets `closing` before it reads the count
  // (both sequentially consistent), so either this submission sees the close and backs out, or
  // the close waits for it to return.
  handle->submissions.fetch_add(1);
  const int result = handle->closing.load() == 0 ? submit_on_open_handle(transfer, handle, x)
                                                 : refuse_without_file(transfer, handle, x);
  handle->submissions.fetch_sub(1, std::memory_order_release);
  return result;
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* transfer) {
  if (transfer == nullptr || transfer->dev_handle == nullptr) {
    return LIBUSB_ERROR_OTHER;
  }
  t_usb_transfer* x = link_of(transfer);
  if (x == nullptr) {
    return LIBUSB_ERROR_OTHER;
  }
  if (transfer->dev_handle->file.cancel(x->completion) == platform::error::success) {
    return LIBUSB_SUCCESS;
  }
  // Give a request that is just completing a moment to finish, without consuming the completion
  // signal that the endpoint's wait thread is waiting for.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(cancel_grace_ms);
  while (!x->completion.completed() && std::chrono::steady_clock::now() < deadline) {
    platform::sleep_ms(cancel_poll_ms);
  }
  return LIBUSB_ERROR_OTHER;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer) {
  if (transfer == nullptr) {
    T_LOG(source,
          "***ZEROZOZ*** libusb_submit_transfer() - t_usb_transfer_header_struct_packed == 0)");
    return;
  }
  auto* record = reinterpret_cast<transfer_record*>(transfer);
  delete record->link;
  delete record;
}

// ---- Control transfers ---------------------------------------------------------------------

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, std::uint8_t request_type,
                                        std::uint8_t bRequest, std::uint16_t wValue,
                                        std::uint16_t wIndex, unsigned char* data,
                                        std::uint16_t wLength, unsigned int /*timeout*/) {
  if (handle == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (wLength > control_data_capacity || (wLength > 0 && data == nullptr)) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[control_buffer_size]());
  if (!buffer) {
    return LIBUSB_ERROR_NO_MEM;
  }
  t_usb_transfer_header_struct_packed header{};
  header.bmRequestType = static_cast<std::uint8_t>(request_type & request_type_mask);
  header.bRequest = bRequest;
  header.wValue = wValue;
  header.wIndex = wIndex;
  header.wLength = wLength;
  header.timeout = control_transfer_timeout_field;
  header.endpoint_address = 0;
  header.data_offset = transfer_header_size;
  header.data_length = wLength;
  std::memcpy(buffer.get(), &header, sizeof header);
  if (wLength != 0) {
    std::memcpy(buffer.get() + transfer_header_size, data, wLength);
  }
  platform::completion_record record;
  if (!record.create()) {
    return LIBUSB_ERROR_OTHER;
  }
  const std::uint32_t error = handle->file.submit(DRIVER_REQUEST_CONTROL, buffer.get(),
                                                  transfer_header_size + wLength, record);
  if (error != platform::error::success && error != platform::error::io_pending) {
    return LIBUSB_ERROR_IO;
  }
  if (!record.completion_event().wait_for(control_time_limit_ms)) {
    handle->file.cancel(record);
    // The request must be over before its buffer and record go away.
    if (!record.completion_event().wait_for(control_time_limit_ms)) {
      handle->file.outcome(record, nullptr, true);
    }
    return LIBUSB_ERROR_TIMEOUT;
  }
  std::uint32_t bytes = 0;
  if (handle->file.outcome(record, &bytes, false) != platform::error::success) {
    return LIBUSB_ERROR_IO;
  }
  if (wLength != 0) {
    std::memcpy(data, buffer.get() + transfer_header_size, wLength);
  }
  // The number of data bytes the request carried, as libusb-1.0 reports it.
  const std::uint32_t carried = bytes > transfer_header_size ? bytes - transfer_header_size : 0;
  return static_cast<int>(carried < wLength ? carried : wLength);
}

// ---- Hotplug bridge ------------------------------------------------------------------------

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags,
                                                 int vendor_id, int product_id, int /*dev_class*/,
                                                 libusb_hotplug_callback_fn cb_fn, void* user_data,
                                                 libusb_hotplug_callback_handle* /*handle*/) {
  T_LOG(source, "*** ZEROZOZ ***: libusb_hotplug_register_callback() - ENTRY");
  if (ctx == nullptr) {
    return LIBUSB_ERROR_OTHER;
  }
  subscribe_fn subscribe = nullptr;
  hotplug_subscription* subscription = nullptr; // set when this registration subscribes
  {
    // The check, the linking and the monitor lookup are one step per context, so that of two
    // threads registering at once one registers and the other finds its registration. The
    // monitor itself is called after the lock is released.
    qmx::lock_guard registration_lock(ctx->registration_mutex);
    bool subscribed = false;
    {
      qmx::lock_guard subscriptions_lock(usb::subscription_mutex());
      qmx::lock_guard lock(ctx->list_mutex);
      if (ctx->registration != nullptr) {
        return LIBUSB_SUCCESS;
      }
      subscribed = ctx->subscription != nullptr;
    }
    auto* registration =
        new (std::nothrow) hotplug_registration{static_cast<std::uint32_t>(events),
                                                static_cast<std::uint32_t>(flags),
                                                static_cast<std::uint32_t>(vendor_id),
                                                static_cast<std::uint32_t>(product_id),
                                                cb_fn,
                                                user_data};
    // A context subscribes once, also across deregistration and registration again: the
    // monitor never forgets a subscriber, so a second subscription would double every event.
    if (!subscribed) {
      subscription = new (std::nothrow) hotplug_subscription{ctx, 0};
    }
    if (registration == nullptr || (!subscribed && subscription == nullptr)) {
      T_LOG(source, "*** ZEROZOZ ***: libusb_hotplug_register_callback() - t_mem_alloc() failed\n");
      delete registration;
      delete subscription;
      return LIBUSB_ERROR_NO_MEM;
    }
    {
      qmx::lock_guard lock(ctx->list_mutex);
      ctx->registration = registration;
    }
    subscribe = hotplug_monitor_find();
    if (subscribe == nullptr) {
      // Unlinked again, so that a registration made once the monitor is loaded subscribes.
      {
        qmx::lock_guard lock(ctx->list_mutex);
        ctx->registration = nullptr;
      }
      delete registration;
      delete subscription;
      return LIBUSB_ERROR_OTHER;
    }
    ctx->events_enabled.store(true, std::memory_order_release);
    if (subscription != nullptr) {
      qmx::lock_guard subscriptions_lock(usb::subscription_mutex());
      ctx->subscription = subscription;
    }
  }
  if (subscription != nullptr) {
    // The monitor keeps the notification function for the rest of the process, so the module
    // stays mapped from here on. Pinning the loaded library that holds this very function
    // cannot fail; should the system refuse it anyway, the subscription still goes ahead.
    (void)platform::keep_library_loaded(reinterpret_cast<const void*>(&usb_hotplug_callback));
    subscribe(static_cast<std::uint32_t>(vendor_id), static_cast<std::uint32_t>(product_id),
              usb_hotplug_callback, subscription);
  }
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx,
                                                    libusb_hotplug_callback_handle /*handle*/) {
  if (ctx == nullptr) {
    return;
  }
  hotplug_registration* registration = nullptr;
  {
    qmx::lock_guard registration_lock(ctx->registration_mutex);
    qmx::lock_guard lock(ctx->list_mutex);
    registration = ctx->registration;
    ctx->registration = nullptr;
  }
  delete registration; // callbacks copy what they need from it under the list mutex
  {
    // No callback starts from here on; wait for those already running, except the one that may
    // be deregistering from inside its own callback. The registration mutex is not held here, so
    // a running callback may itself register or deregister meanwhile.
    qmx::unique_lock lock(ctx->list_mutex);
    const bool from_callback =
        ctx->callbacks_running > 0 && ctx->callback_thread == platform::current_thread_id();
    const int own = from_callback ? 1 : 0;
    while (ctx->callbacks_running > own) {
      lock.wait(ctx->callbacks_idle);
    }
  }
  if (ctx->events_enabled.load(std::memory_order_acquire)) {
    ctx->event.set(); // releases the event thread
  }
}

} // extern "C"
