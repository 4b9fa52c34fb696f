// Module, hotplug handling: arrivals queued for the worker and identified after a second,
// removals handled at once, camera identification, and connection events.
#include "module/camera_registry.h"

#include "include/qmx_libusb_internal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qmx {

namespace {

constexpr int arrival_settle_ms = 1000;
constexpr int identify_retry_ms = 100;
constexpr int identify_give_up_ms = 5000;
constexpr int identify_max_attempts = 50;
constexpr int event_handler_poll_ms = 1;
constexpr std::size_t identify_reply_bytes = 1024;
constexpr char id_command[] = "id";
// What the hotplug callback answers the USB layer (which does not use it): 0 once the event is
// handled or ignored, 1 when it came without the camera list.
constexpr int callback_handled = 0;
constexpr int callback_without_list = 1;

// Sends `command` (with its terminator) until a reply without "error" comes; a failed
// transaction counts as an empty reply. Empty after 5 s of "error" replies.
std::string ask_until_answered(qmx::camera& c, const char* command) {
  int elapsed_ms = 0;
  for (int attempt = 0; attempt < identify_max_attempts; ++attempt) {
    char reply[identify_reply_bytes] = {};
    if (!transact(c.channel, command, std::strlen(command) + 1, reply, sizeof reply)) {
      return {};
    }
    if (std::strstr(reply, "error") == nullptr) {
      return reply;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(identify_retry_ms));
    elapsed_ms += identify_retry_ms;
    if (elapsed_ms >= identify_give_up_ms) {
      return {};
    }
  }
  return {};
}

// The entry of the device that left, or null: the entry that holds this record, else one that
// holds another record of the same interface path. The USB layer keeps a record per listing and
// per arrival, and a removal names the first record of the path, which need not be the one the
// entry was given.
camera_entry* find_by_device(camera_list& list, const libusb_device* device)
    QMX_REQUIRES(list.entries_mutex) {
  for (auto& entry : list.entries) {
    qmx::lock_guard state_lock(entry->state_mutex);
    if (entry->device == device) {
      return entry.get();
    }
  }
  for (auto& entry : list.entries) {
    qmx::lock_guard state_lock(entry->state_mutex);
    if (usb::same_device_path(entry->device, device)) {
      return entry.get();
    }
  }
  return nullptr;
}

// Gives the open camera `c` a transport on `device` (entries_mutex and its entry's open_mutex
// held, so that no create or destroy runs meanwhile). Streaming is not started on it. The old
// transport, marked gone at the removal, is closed and freed (its 500 ms pause) once the serial
// channel lets go of it.
void attach_open_camera(qmx::camera& c, libusb_device* device) {
  std::unique_ptr<usb_transport> fresh = make_camera_transport(c, device);
  if (fresh != nullptr) {
    replace_transport(c, std::move(fresh));
  }
}

} // namespace

std::string reconnect(camera_entry& entry, libusb_device* device) {
  {
    qmx::lock_guard open_lock(entry.open_mutex);
    qmx::camera* open_camera = nullptr;
    {
      qmx::lock_guard state_lock(entry.state_mutex);
      open_camera = entry.camera.get();
    }
    if (open_camera != nullptr) {
      attach_open_camera(*open_camera, device);
    }
  }
  qmx::lock_guard state_lock(entry.state_mutex);
  entry.disconnected = false;
  entry.device = device;
  return entry.device_id;
}

bool reconnect_if_unplugged(camera_entry& entry, libusb_device* device) {
  bool disconnected = false;
  {
    qmx::lock_guard state_lock(entry.state_mutex);
    disconnected = entry.disconnected;
  }
  if (disconnected) {
    reconnect(entry, device);
  }
  return disconnected;
}

namespace {

void collect_device(void* user, libusb_device* device, std::uint16_t /*product_id*/) {
  try {
    static_cast<std::vector<libusb_device*>*>(user)->push_back(device);
  } catch (...) {
    // Out of memory: this device is left out of the search.
  }
}

} // namespace

camera_entry* attached_entry_on(camera_list& list, const libusb_device* device) {
  for (auto& entry : list.entries) {
    qmx::lock_guard state_lock(entry->state_mutex);
    if (usb::same_device_path(entry->device, device)) {
      return entry.get();
    }
  }
  return nullptr;
}

void identify_attached(camera_list& list, libusb_device* device, std::string& device_id,
                       std::string& serial_number) {
  camera_entry* known = attached_entry_on(list, device);
  if (known == nullptr) {
    identify_camera(device, device_id, serial_number);
    return;
  }
  qmx::lock_guard open_lock(known->open_mutex);
  identify_camera(device, device_id, serial_number);
}

int LIBUSB_CALL hotplug_callback(libusb_context* /*context*/, libusb_device* device,
                                 libusb_hotplug_event event, void* user_data) {
  if (user_data == nullptr) {
    return callback_without_list;
  }
  auto& list = *static_cast<camera_list*>(user_data);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
    try {
      qmx::lock_guard arrivals_lock(list.arrivals_mutex);
      list.arrivals.push_back({device, std::chrono::steady_clock::now()});
      qmx::lock_guard wake_lock(list.wake_mutex);
      list.wake_pending = true;
      list.wake_signal.notify_one();
    } catch (...) {
      // Out of memory: the arrival is lost; get_device_ids still finds the camera.
    }
    return callback_handled;
  }
  if (event != LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
    return callback_handled;
  }
  {
    // A device that left is not identified: an arrival of it that the worker has not handled
    // yet is dropped.
    qmx::lock_guard arrivals_lock(list.arrivals_mutex);
    list.arrivals.erase(
        std::remove_if(list.arrivals.begin(), list.arrivals.end(),
                       [device](const camera_list::arrival& a) { return a.device == device; }),
        list.arrivals.end());
  }
  std::string device_id;
  {
    qmx::lock_guard entries_lock(list.entries_mutex);
    camera_entry* entry = find_by_device(list, device);
    if (entry == nullptr) {
      return callback_handled;
    }
    qmx::lock_guard state_lock(entry->state_mutex);
    entry->disconnected = true;
    if (entry->camera != nullptr) {
      mark_device_gone(entry->camera->transport.get());
    }
    entry->device = nullptr;
    device_id = entry->device_id;
  }
  publish_connection_event(list, 0, &device_id);
  return callback_handled;
}

void worker_loop(camera_list* list, libusb_context* context) {
  for (;;) {
    std::size_t queued = 0;
    bool search = false;
    {
      qmx::lock_guard arrivals_lock(list->arrivals_mutex);
      queued = list->arrivals.size();
      search = list->search_pending;
    }
    if (queued == 0 && !search) {
      qmx::unique_lock wake_lock(list->wake_mutex);
      while (!list->wake_pending) {
        wake_lock.wait(list->wake_signal);
      }
      list->wake_pending = false;
    }
    if (!list->worker_running.load()) {
      return;
    }
    if (queued == 0 && !search) {
      continue; // what woke the worker is looked at on the next pass
    }
    while (usb_event_handler_active(context) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(event_handler_poll_ms));
    }
    try {
      if (queued > 0) {
        process_arrival(*list);
      } else {
        {
          qmx::lock_guard arrivals_lock(list->arrivals_mutex);
          list->search_pending = false;
        }
        search_missed_cameras(*list, context);
      }
    } catch (...) {
      // Out of memory while identifying (a camera object holds 32 MB of transfer buffers): the
      // arrival is dropped, as one that cannot be opened; get_device_ids can still find it.
    }
  }
}

namespace {

// The device at the front of the queue once its own second has passed, taken off the queue;
// null when the queue is empty or its front is not due yet.
libusb_device* take_due_arrival(camera_list& list, std::chrono::milliseconds settle,
                                bool& queue_empty) QMX_REQUIRES(list.entries_mutex) {
  qmx::lock_guard arrivals_lock(list.arrivals_mutex);
  queue_empty = list.arrivals.empty();
  if (queue_empty || list.arrivals.front().reported + settle > std::chrono::steady_clock::now()) {
    return nullptr;
  }
  libusb_device* device = list.arrivals.front().device;
  list.arrivals.pop_front();
  return device;
}

// Identifies an arrived device: the entry of a camera that came back is reconnected, a new
// camera gets an entry. The ID to publish, or empty.
std::string identify_arrival(camera_list& list, libusb_device* device)
    QMX_REQUIRES(list.entries_mutex) {
  std::string device_id;
  std::string serial_number;
  if (camera_entry* known = attached_entry_on(list, device)) {
    qmx::lock_guard open_lock(known->open_mutex);
    if (known->open_count != 0) {
      // A listing found the camera first and the host has opened it since: identification
      // cannot open the device the host holds, and the entry answers for it.
      return known->device_id;
    }
    identify_camera(device, device_id, serial_number);
  } else {
    identify_camera(device, device_id, serial_number);
  }
  if (device_id.empty()) {
    return {};
  }
  if (camera_entry* entry = find_by_id(list, device_id)) {
    // The camera came back. A camera the host kept open gets a transport on the new device,
    // while the entries lock keeps the camera alive; streaming starts again only through destroy
    // and create.
    return reconnect(*entry, device);
  }
  try {
    add_entry(list, device, device_id, serial_number);
  } catch (...) {
    return {}; // out of memory: no entry, no event
  }
  return device_id;
}

} // namespace

void process_arrival(camera_list& list) {
  const auto settle = std::chrono::milliseconds(arrival_settle_ms);
  std::this_thread::sleep_for(settle);
  // The device at the front may have arrived after this pass began (the one it began for was
  // removed meanwhile): every device waits its own second from its arrival.
  for (;;) {
    if (!list.worker_running.load()) {
      return; // the registry is going: its arrivals are dropped unidentified
    }
    std::chrono::steady_clock::time_point due;
    {
      qmx::lock_guard arrivals_lock(list.arrivals_mutex);
      if (list.arrivals.empty()) {
        return;
      }
      due = list.arrivals.front().reported + settle;
    }
    if (std::chrono::steady_clock::now() < due) {
      std::this_thread::sleep_until(due);
      continue;
    }
    std::string published;
    {
      // The entries lock is taken before the device leaves the queue, so that a removal of it
      // (which takes the entries lock) is handled wholly before it is taken (it is then no
      // longer queued) or after it was identified.
      qmx::lock_guard entries_lock(list.entries_mutex);
      bool queue_empty = false;
      libusb_device* device = take_due_arrival(list, settle, queue_empty);
      if (queue_empty) {
        return;
      }
      if (device == nullptr) {
        continue; // the front is a later arrival, not due yet
      }
      published = identify_arrival(list, device);
    }
    if (!published.empty()) {
      publish_connection_event(list, 1, &published);
    }
    return;
  }
}

void identify_camera(libusb_device* device, std::string& device_id, std::string& serial_number) {
  device_id.clear();
  serial_number.clear();
  auto temporary = std::make_unique<qmx::camera>(device);
  if (temporary->transport_failed()) {
    return; // opened once: a device that cannot be opened now is not tried again
  }
  device_id = ask_until_answered(*temporary, id_command);
  serial_number = ask_until_answered(*temporary, "sernum");
}

void search_missed_cameras(camera_list& list, libusb_context* context) {
  std::vector<std::string> attached;
  {
    qmx::lock_guard entries_lock(list.entries_mutex);
    std::vector<libusb_device*> found;
    find_matching_devices(context, list.vendor_id, list.product_ids.data(), list.product_ids.size(),
                          collect_device, &found);
    for (libusb_device* device : found) {
      if (attached_entry_on(list, device) != nullptr) {
        continue;
      }
      std::string device_id;
      std::string serial_number;
      identify_camera(device, device_id, serial_number);
      if (device_id.empty()) {
        continue;
      }
      camera_entry* entry = find_by_id(list, device_id);
      if (entry == nullptr) {
        add_entry(list, device, device_id, serial_number);
        attached.push_back(device_id);
        continue;
      }
      if (reconnect_if_unplugged(*entry, device)) {
        attached.push_back(device_id);
      }
    }
  }
  for (const std::string& id : attached) {
    publish_connection_event(list, 1, &id);
  }
}

void request_search(camera_list& list) {
  qmx::lock_guard arrivals_lock(list.arrivals_mutex);
  list.search_pending = true;
  qmx::lock_guard wake_lock(list.wake_mutex);
  list.wake_pending = true;
  list.wake_signal.notify_one();
}

void publish_connection_event(camera_list& list, int arrival, const std::string* device_id) {
  if (device_id == nullptr) {
    return;
  }
  std::string text = std::to_string(arrival);
  text.append(",").append(*device_id);
  qmx::lock_guard event_lock(list.event_mutex);
  list.event_text = std::move(text);
  list.event_ready = true;
  list.event_signal.notify_one();
}

} // namespace qmx
