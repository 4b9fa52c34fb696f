// Module, camera registry: construction and teardown, and the device functions that list, open
// and close cameras.
#include "module/camera_registry.h"

#include "camera/commands.h"
#include "camera/geometry.h"
#include "include/qmx_module.h"

#include <algorithm>
#include <chrono>

namespace qmx {

namespace {

constexpr int event_handler_poll_ms = 1;
constexpr int destroy_settle_ms = 100;

// One device found by the device search, with what identification made of it.
struct found_device {
  libusb_device* device;
};

void collect_device(void* user, libusb_device* device, std::uint16_t /*product_id*/) {
  auto* found = static_cast<std::vector<found_device>*>(user);
  try {
    found->push_back({device});
  } catch (...) {
    // Out of memory: this device is left out of the listing.
  }
}

} // namespace

camera_entry* find_by_id(camera_list& list, const std::string& device_id) {
  for (auto& entry : list.entries) {
    if (entry->device_id == device_id) {
      return entry.get();
    }
  }
  return nullptr;
}

camera_entry& add_entry(camera_list& list, libusb_device* device, const std::string& device_id,
                        const std::string& serial_number) {
  auto entry = std::make_unique<camera_entry>(device, device_id, serial_number);
  camera_entry& added = *entry;
  {
    qmx::lock_guard handles_lock(list.handles_mutex);
    list.handles.push_back(&added);
  }
  list.entries.push_back(std::move(entry));
  return added;
}

camera_registry::camera_registry(std::uint32_t vendor_id, std::vector<std::uint32_t> product_ids)
    : vendor_id_(vendor_id), product_ids_(std::move(product_ids)) {
  list_.vendor_id = vendor_id_;
  list_.product_ids = product_ids_;
  if (usb_init(&usb_context_) != 0) {
    usb_context_ = nullptr;
    init_failed_ = true;
    return;
  }
  if (usb_has_hotplug() != 0) {
    for (std::uint32_t product_id : product_ids_) {
      if (usb_register_hotplug(usb_context_, static_cast<int>(vendor_id_),
                               static_cast<int>(product_id), hotplug_callback, &list_,
                               &hotplug_handle_) != 0) {
        init_failed_ = true;
      }
    }
  }
  try {
    list_.worker_running.store(true);
    list_.worker_thread = std::thread(worker_loop, &list_, usb_context_);
    event_thread_running_.store(true);
    event_thread_ = std::thread([this] {
      while (event_thread_running_.load()) {
        if (usb_handle_events(usb_context_) != 0) {
          // No registration to wait on (for instance the monitor is missing): the call returns
          // at once, so pace the loop instead of spinning a core until teardown.
          std::this_thread::sleep_for(std::chrono::milliseconds(event_handler_poll_ms));
        }
      }
    });
  } catch (...) {
    // A thread could not be started. Nothing of this registry may stay registered or running:
    // the hotplug registration names this registry's camera list.
    stop();
    init_failed_ = true;
    return;
  }
  while (usb_event_handler_active(usb_context_) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(event_handler_poll_ms));
  }
}

camera_registry::~camera_registry() {
  stop();
  qmx::lock_guard entries_lock(list_.entries_mutex);
  qmx::lock_guard handles_lock(list_.handles_mutex);
  list_.handles.clear();
  list_.entries.clear();
}

void camera_registry::stop() {
  event_thread_running_.store(false);
  if (usb_context_ != nullptr) {
    // Wakes the event thread, and waits for a hotplug callback that is running.
    usb_deregister_hotplug(usb_context_, hotplug_handle_);
  }
  if (event_thread_.joinable()) {
    event_thread_.join();
  }
  // The worker may be identifying a camera through the context: it is stopped and joined, with
  // no lock held, before the context and the entries go.
  list_.worker_running.store(false);
  {
    qmx::lock_guard arrivals_lock(list_.arrivals_mutex);
    qmx::lock_guard wake_lock(list_.wake_mutex);
    list_.wake_pending = true;
    list_.wake_signal.notify_one();
  }
  if (list_.worker_thread.joinable()) {
    list_.worker_thread.join();
  }
  {
    qmx::lock_guard entries_lock(list_.entries_mutex);
    for (auto& entry : list_.entries) {
      // A camera the host left open is closed here, so that no thread or transfer of it
      // outlives the registry that holds its only handle.
      qmx::lock_guard state_lock(entry->state_mutex);
      entry->camera.reset();
    }
  }
  if (usb_context_ != nullptr) {
    usb_exit(usb_context_);
    usb_context_ = nullptr;
  }
}

int camera_registry::get_device_ids(char* device_ids, int str_size, char* serial_numbers,
                                    int serial_numbers_size) {
  std::string ids;
  std::string serials;
  const auto append = [&](const camera_entry& entry) {
    ids.append(entry.device_id).append(",");
    serials.append(entry.serial_number).append(",");
  };
  {
    // The search runs under the entries lock too, so that no identification holds a device open
    // meanwhile (which would hide it from the search).
    qmx::lock_guard entries_lock(list_.entries_mutex);
    std::vector<found_device> found;
    find_matching_devices(usb_context_, vendor_id_, product_ids_.data(), product_ids_.size(),
                          collect_device, &found);
    std::vector<const camera_entry*> open_listed;
    for (const found_device& f : found) {
      // A camera the host has open cannot be opened again to ask it; its entry answers for it.
      camera_entry* entry = open_entry_of(f.device);
      if (entry != nullptr) {
        open_listed.push_back(entry);
      } else {
        std::string device_id;
        std::string serial_number;
        identify_attached(list_, f.device, device_id, serial_number);
        if (device_id.empty()) {
          continue;
        }
        entry = find_by_id(list_, device_id);
        if (entry == nullptr) {
          entry = &add_entry(list_, f.device, device_id, serial_number);
        } else {
          // A camera listed as attached can be opened: an unplugged entry of it is reconnected
          // now, not only when its arrival is handled (up to a second later). The arrival
          // still brings its event.
          (void)reconnect_if_unplugged(*entry, f.device);
        }
      }
      append(*entry); // two devices that answer with one ID list it twice
    }
    // An open camera is attached but hidden from the search, which cannot open it to read its
    // descriptor: it is listed from its entry.
    for (auto& entry : list_.entries) {
      bool open_and_attached = false;
      {
        qmx::lock_guard state_lock(entry->state_mutex);
        open_and_attached = entry->device != nullptr && entry->camera != nullptr;
      }
      if (open_and_attached &&
          std::find(open_listed.begin(), open_listed.end(), entry.get()) == open_listed.end()) {
        append(*entry);
      }
    }
  }
  // The copy rule; a null buffer is skipped and a cut text is not reported.
  (void)copy_text_answer(ids, device_ids, str_size > 0 ? static_cast<std::size_t>(str_size) : 0);
  (void)copy_text_answer(serials, serial_numbers,
                         serial_numbers_size > 0 ? static_cast<std::size_t>(serial_numbers_size)
                                                 : 0);
  return QMX_OK;
}

camera_entry* camera_registry::open_entry_of(const libusb_device* device) {
  for (auto& entry : list_.entries) {
    qmx::lock_guard state_lock(entry->state_mutex);
    if (entry->device == device && entry->camera != nullptr) {
      return entry.get();
    }
  }
  return nullptr;
}

int camera_registry::create(const char* device_id, void** device_handle) {
  if (device_id == nullptr || device_handle == nullptr) {
    return QMX_CREATE_FAILED;
  }
  camera_entry* entry = nullptr;
  {
    qmx::lock_guard entries_lock(list_.entries_mutex);
    entry = find_by_id(list_, device_id);
  }
  if (entry == nullptr) {
    return QMX_CREATE_FAILED;
  }
  // Held until return: the entries lock is not, so that removals and arrivals of other cameras
  // never wait for this open.
  qmx::lock_guard open_lock(entry->open_mutex);
  libusb_device* device = nullptr;
  {
    qmx::lock_guard state_lock(entry->state_mutex);
    if (entry->disconnected || entry->open_count != 0 || entry->device == nullptr) {
      return QMX_CREATE_FAILED;
    }
    device = entry->device; // the USB layer keeps the record valid even once it is removed
  }
  auto opened = std::make_unique<qmx::camera>(device);
  if (opened->transport_failed()) {
    return QMX_CREATE_FAILED;
  }
  *device_handle = entry;
  set_image_transfer_length(opened->transport.get(), image_transfer_bytes);
  if (start_streaming(opened->transport.get()) != 0) {
    return QMX_CREATE_FAILED; // the handle written is not to be used
  }
  qmx::camera* camera_object = opened.get();
  {
    qmx::lock_guard state_lock(entry->state_mutex);
    entry->camera = std::move(opened);
    if (entry->disconnected) {
      // Removed while it was being opened, before the removal could see the camera: its
      // transport is marked as the removal would have marked it.
      mark_device_gone(camera_object->transport.get());
    }
  }
  ++entry->open_count;
  read_roi(*camera_object);
  return QMX_OK;
}

int camera_registry::destroy(void* device_handle) {
  camera_entry* entry = find_entry(device_handle);
  if (entry == nullptr) {
    return QMX_UNKNOWN_HANDLE;
  }
  {
    qmx::lock_guard open_lock(entry->open_mutex);
    if (entry->open_count == 0) {
      return QMX_UNKNOWN_HANDLE; // not open: a second destroy is refused, the count never wraps
    }
    qmx::lock_guard state_lock(entry->state_mutex);
    if (entry->camera != nullptr) {
      stop_streaming(entry->camera->transport.get());
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(destroy_settle_ms));
  std::unique_ptr<qmx::camera> closing;
  {
    qmx::lock_guard entries_lock(list_.entries_mutex);
    qmx::lock_guard open_lock(entry->open_mutex);
    if (entry->open_count == 0) {
      return QMX_UNKNOWN_HANDLE; // another destroy of the same handle got here first
    }
    if (--entry->open_count == 0) {
      qmx::lock_guard state_lock(entry->state_mutex);
      closing = std::move(entry->camera);
    }
  }
  // The camera's teardown pauses 500 ms for late completions; no lock is held meanwhile.
  const bool closed = closing != nullptr;
  closing.reset();
  bool disconnected = false;
  if (closed) {
    qmx::lock_guard state_lock(entry->state_mutex);
    disconnected = entry->disconnected;
  }
  if (disconnected) {
    request_search(list_); // the camera may be attached again, its arrival lost while it was held
  }
  return QMX_OK;
}

camera_entry* camera_registry::find_entry(const void* handle) {
  if (handle == nullptr) {
    return nullptr;
  }
  qmx::lock_guard handles_lock(list_.handles_mutex);
  for (const camera_entry* entry : list_.handles) {
    if (entry == handle) {
      return const_cast<camera_entry*>(entry);
    }
  }
  return nullptr;
}

} // namespace qmx
