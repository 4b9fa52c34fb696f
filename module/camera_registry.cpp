// Module, camera registry: construction and teardown, and the device functions that list, open
// and close cameras.
#include "module/camera_registry.h"

#include "camera/geometry.h"

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

bool copy_text(const std::string& text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size < 1) {
    return !text.empty();
  }
  if (text.size() < size) {
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = '\0';
    return false;
  }
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size - 1), buffer);
  buffer[size - 1] = '\0';
  return true;
}

camera_entry* find_by_id(camera_list& list, const std::string& device_id) {
  for (auto& entry : list.entries) {
    if (entry->device_id == device_id) {
      return entry.get();
    }
  }
  return nullptr;
}

camera_entry& add_entry(camera_list& list, libusb_device* device, std::string device_id,
                        std::string serial_number) {
  auto entry = std::make_unique<camera_entry>();
  entry->device = device;
  entry->device_id = std::move(device_id);
  entry->serial_number = std::move(serial_number);
  camera_entry& added = *entry;
  {
    std::lock_guard handles_lock(list.handles_mutex);
    list.handles.push_back(&added);
  }
  list.entries.push_back(std::move(entry));
  return added;
}

camera_registry::camera_registry(std::uint32_t vendor_id, std::vector<std::uint32_t> product_ids)
    : vendor_id_(vendor_id), product_ids_(std::move(product_ids)) {
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
  while (usb_event_handler_active(usb_context_) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(event_handler_poll_ms));
  }
}

camera_registry::~camera_registry() {
  event_thread_running_.store(false);
  if (event_thread_.joinable()) {
    if (usb_context_ != nullptr) {
      usb_deregister_hotplug(usb_context_, hotplug_handle_);
    }
    event_thread_.join();
  }
  // The worker may be identifying a camera through the context: it is stopped and joined, with
  // no lock held, before the context and the entries go.
  list_.worker_running.store(false);
  {
    std::lock_guard arrivals_lock(list_.arrivals_mutex);
    std::lock_guard wake_lock(list_.wake_mutex);
    list_.wake_pending = true;
    list_.wake_signal.notify_one();
  }
  if (list_.worker_thread.joinable()) {
    list_.worker_thread.join();
  }
  {
    std::lock_guard entries_lock(list_.entries_mutex);
    for (auto& entry : list_.entries) {
      // A camera the host left open is closed here, so that no thread or transfer of it
      // outlives the registry that holds its only handle.
      std::lock_guard state_lock(entry->state_mutex);
      entry->camera.reset();
    }
  }
  if (usb_context_ != nullptr) {
    usb_exit(usb_context_);
  }
  std::lock_guard entries_lock(list_.entries_mutex);
  std::lock_guard handles_lock(list_.handles_mutex);
  list_.handles.clear();
  list_.entries.clear();
}

int camera_registry::get_device_ids(char* device_ids, int str_size, char* serial_numbers,
                                    int serial_numbers_size) {
  std::string ids;
  std::string serials;
  {
    // The search runs under the entries lock too: no identification holds a device open
    // meanwhile (which would hide it from the search), and no removal can free a device found
    // before it is identified.
    std::lock_guard entries_lock(list_.entries_mutex);
    std::vector<found_device> found;
    find_matching_devices(usb_context_, vendor_id_, product_ids_.data(), product_ids_.size(),
                          collect_device, &found);
    std::vector<const camera_entry*> listed;
    for (const found_device& f : found) {
      // A camera the host has open cannot be opened again to ask it; its entry answers for it.
      camera_entry* open_entry = nullptr;
      for (auto& entry : list_.entries) {
        if (entry->device == f.device && entry->camera != nullptr) {
          open_entry = entry.get();
        }
      }
      camera_entry* entry = open_entry;
      if (entry == nullptr) {
        std::string device_id;
        std::string serial_number;
        identify_camera(f.device, device_id, serial_number);
        if (device_id.empty()) {
          continue;
        }
        entry = find_by_id(list_, device_id);
        if (entry == nullptr) {
          entry = &add_entry(list_, f.device, std::move(device_id), std::move(serial_number));
        }
      }
      if (std::find(listed.begin(), listed.end(), entry) != listed.end()) {
        continue; // two devices answered with one ID: the entry is listed once
      }
      listed.push_back(entry);
      ids.append(entry->device_id).append(",");
      serials.append(entry->serial_number).append(",");
    }
    // A camera the host has open is attached but hidden from the search, which cannot open it
    // to read its descriptor: it is listed from its entry.
    for (auto& entry : list_.entries) {
      if (entry->camera != nullptr && entry->device != nullptr &&
          std::find(listed.begin(), listed.end(), entry.get()) == listed.end()) {
        listed.push_back(entry.get());
        ids.append(entry->device_id).append(",");
        serials.append(entry->serial_number).append(",");
      }
    }
  }
  copy_text(ids, device_ids, str_size > 0 ? static_cast<std::size_t>(str_size) : 0);
  copy_text(serials, serial_numbers,
            serial_numbers_size > 0 ? static_cast<std::size_t>(serial_numbers_size) : 0);
  return 0;
}

int camera_registry::create(const char* device_id, void** device_handle) {
  if (device_id == nullptr || device_handle == nullptr) {
    return 9;
  }
  // The entries lock is held until the camera is stored: a removal (which takes it) can then
  // neither free the device record while it is being opened nor miss the new transport when it
  // marks the camera's device gone.
  std::unique_lock entries_lock(list_.entries_mutex);
  camera_entry* entry = find_by_id(list_, device_id);
  if (entry == nullptr) {
    return 9;
  }
  std::lock_guard open_lock(entry->open_mutex);
  {
    std::lock_guard state_lock(entry->state_mutex);
    if (entry->disconnected || entry->open_count != 0 || entry->device == nullptr) {
      return 9;
    }
  }
  auto opened = std::make_unique<qmx::camera>(entry->device);
  if (opened->parameters.transport_failed) {
    return 9;
  }
  set_image_transfer_length(opened->transport.get(), image_transfer_bytes);
  if (start_streaming(opened->transport.get()) != 0) {
    return 9;
  }
  qmx::camera* camera_object = opened.get();
  {
    std::lock_guard state_lock(entry->state_mutex);
    entry->camera = std::move(opened);
  }
  ++entry->open_count;
  *device_handle = entry;
  entries_lock.unlock();
  read_roi(*camera_object);
  return 0;
}

int camera_registry::destroy(void* device_handle) {
  camera_entry* entry = find_entry(device_handle);
  if (entry == nullptr) {
    return 5;
  }
  {
    std::lock_guard open_lock(entry->open_mutex);
    if (entry->open_count == 0) {
      return 5; // not open: a second destroy is refused rather than wrapping the count
    }
    std::lock_guard state_lock(entry->state_mutex);
    if (entry->camera != nullptr) {
      stop_streaming(entry->camera->transport.get());
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(destroy_settle_ms));
  std::unique_ptr<qmx::camera> closing;
  {
    std::lock_guard entries_lock(list_.entries_mutex);
    std::lock_guard open_lock(entry->open_mutex);
    if (entry->open_count == 0) {
      return 5; // another destroy of the same handle got here first
    }
    if (--entry->open_count == 0) {
      std::lock_guard state_lock(entry->state_mutex);
      closing = std::move(entry->camera);
    }
  }
  // The camera's teardown pauses 500 ms for late completions; no lock is held meanwhile.
  closing.reset();
  return 0;
}

camera_entry* camera_registry::find_entry(const void* handle) {
  if (handle == nullptr) {
    return nullptr;
  }
  std::lock_guard handles_lock(list_.handles_mutex);
  for (const camera_entry* entry : list_.handles) {
    if (entry == handle) {
      return const_cast<camera_entry*>(entry);
    }
  }
  return nullptr;
}

} // namespace qmx
