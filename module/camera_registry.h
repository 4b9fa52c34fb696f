// Module, camera registry: the process-wide record of attached cameras, with its USB context,
// its event thread (USB event handling) and worker thread (identification of arrivals), and the
// device functions that list, open and close cameras.
//
// Lock order: `entries_mutex`, then an entry's `open_mutex`, then its `state_mutex`;
// `arrivals_mutex` before `wake_mutex`; `handles_mutex` and `event_mutex` alone and last.
#pragma once

#include "camera/camera.h"
#include "include/qmx_libusb.h"
#include "include/qmx_thread_safety.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qmx {

// One camera ever identified; its address is the device handle the host holds.
struct camera_entry {
  camera_entry(libusb_device* attached, std::string id, std::string serial)
      : device_id(std::move(id)), serial_number(std::move(serial)), device(attached) {}
  camera_entry(const camera_entry&) = delete;
  camera_entry& operator=(const camera_entry&) = delete;

  const std::string device_id;
  const std::string serial_number;
  // Held by create throughout, and by destroy and a re-attachment while they change `camera`.
  qmx::mutex open_mutex QMX_ACQUIRED_BEFORE(state_mutex);
  std::uint32_t open_count QMX_GUARDED_BY(open_mutex) = 0;
  qmx::mutex state_mutex;
  bool disconnected QMX_GUARDED_BY(state_mutex) = false;
  // Written holding the entries lock as well; null while unplugged.
  libusb_device* device QMX_GUARDED_BY(state_mutex) = nullptr;
  std::unique_ptr<qmx::camera> camera QMX_GUARDED_BY(state_mutex); // set while open
};

struct camera_list {
  // Connection events for waiters of "connect_disconnect".
  qmx::mutex event_mutex;
  std::condition_variable event_signal;
  bool event_ready QMX_GUARDED_BY(event_mutex) = false;
  std::string event_text QMX_GUARDED_BY(event_mutex);

  qmx::mutex entries_mutex;
  // Never shrinks while the registry lives.
  std::vector<std::unique_ptr<camera_entry>> entries QMX_GUARDED_BY(entries_mutex);
  // The entries' addresses, for checking handles without waiting behind an identification
  // (which holds entries_mutex for seconds).
  qmx::mutex handles_mutex;
  std::vector<const camera_entry*> handles QMX_GUARDED_BY(handles_mutex);

  // Devices reported as attached and not identified yet, with the moment each was reported.
  struct arrival {
    libusb_device* device;
    std::chrono::steady_clock::time_point reported;
  };
  qmx::mutex arrivals_mutex QMX_ACQUIRED_BEFORE(wake_mutex);
  std::deque<arrival> arrivals QMX_GUARDED_BY(arrivals_mutex);
  bool search_pending QMX_GUARDED_BY(arrivals_mutex) = false; // see request_search
  // The camera family, for the worker's searches (set before the worker starts).
  std::uint32_t vendor_id = 0;
  std::vector<std::uint32_t> product_ids;
  std::thread worker_thread;
  std::atomic<bool> worker_running{false};
  qmx::mutex wake_mutex;
  std::condition_variable wake_signal;
  bool wake_pending QMX_GUARDED_BY(wake_mutex) = false;
};

class camera_registry {
public:
  // Initialises the USB context, registers the hotplug callback for every product ID and starts
  // the worker and event threads. Failures only set `init_failed`.
  camera_registry(std::uint32_t vendor_id, std::vector<std::uint32_t> product_ids);
  // Stops the event thread (deregistration wakes it), exits the context, joins the worker and
  // then discards the entries. Open cameras are the host's to destroy first.
  ~camera_registry();
  camera_registry(const camera_registry&) = delete;
  camera_registry& operator=(const camera_registry&) = delete;

  bool init_failed() const { return init_failed_; }

  int get_device_ids(char* device_ids, int str_size, char* serial_numbers, int serial_numbers_size);
  int create(const char* device_id, void** device_handle);
  int destroy(void* device_handle);

  // The entry whose address is `handle`, or null when this registry never issued it.
  camera_entry* find_entry(const void* handle);

  camera_list& list() { return list_; }

private:
  // Deregisters the hotplug callback (which stops the event thread), joins both threads, closes
  // cameras the host left open and exits the USB context; leaves the entries.
  void stop();
  // The entry whose open camera is on `device`, or null.
  camera_entry* open_entry_of(const libusb_device* device) QMX_REQUIRES(list_.entries_mutex);

  std::uint32_t vendor_id_;
  std::vector<std::uint32_t> product_ids_;
  std::thread event_thread_;
  std::atomic<bool> event_thread_running_{false};
  libusb_context* usb_context_ = nullptr;
  libusb_hotplug_callback_handle hotplug_handle_ = 0;
  bool init_failed_ = false;
  camera_list list_;
};

// ---- Hotplug handling and identification (hotplug_handling.cpp) ----

// The registry's hotplug callback: queues arrivals for the worker, handles removals at once.
int LIBUSB_CALL hotplug_callback(libusb_context* context, libusb_device* device,
                                 libusb_hotplug_event event, void* user_data);
// The worker thread's loop: identifies queued arrivals one per pass, 1000 ms after each.
void worker_loop(camera_list* list, libusb_context* context);
void process_arrival(camera_list& list);
// Asks a camera on `device` for "id" and "sernum" through a temporary camera object; empty
// texts when it cannot be opened or keeps answering "error" for 5 s. The device is opened once.
void identify_camera(libusb_device* device, std::string& device_id, std::string& serial_number);
// The entry attached on `device`'s interface path (through this record or another of the same
// path), or null.
camera_entry* attached_entry_on(camera_list& list, const libusb_device* device)
    QMX_REQUIRES(list.entries_mutex);
// identify_camera, holding the open lock of the entry attached on the device's path, if any: a
// create of that camera opens the device under that lock (and without the entries lock), so the
// identification's own open of the device and the host's never meet, and neither fails for the
// other.
void identify_attached(camera_list& list, libusb_device* device, std::string& device_id,
                       std::string& serial_number) QMX_REQUIRES(list.entries_mutex);
// Reconnects `entry` to `device` (entries_mutex held): an open camera gets a transport on it, and
// the entry is marked attached. Its ID.
std::string reconnect(camera_entry& entry, libusb_device* device);
// Reconnects `entry` to `device` when the entry is marked unplugged (entries_mutex held);
// whether it was.
bool reconnect_if_unplugged(camera_entry& entry, libusb_device* device);
// Searches the attached devices for cameras that no attached entry stands for, as an arrival
// does for one device: each is identified, a disconnected entry with its ID is reconnected (an
// open camera gets a transport) and an unknown camera gets an entry; each publishes "1,ID".
// Runs on the worker, when a search was requested.
void search_missed_cameras(camera_list& list, libusb_context* context);
// Asks the worker for such a search: after `destroy` of a camera whose entry is disconnected.
// The host may have opened the camera through its entry's earlier device record after a quick
// unplug and replug, before the removal was handled; the removal then marked the entry
// disconnected, and the arrival was lost because the device was held (its descriptor could not
// be read). Once the host closes it, the camera is found again.
void request_search(camera_list& list);
// Stores "1,ID" or "0,ID" and wakes one waiter of "connect_disconnect". No ID: nothing.
void publish_connection_event(camera_list& list, int arrival, const std::string* device_id);
// Appends a new entry.
camera_entry& add_entry(camera_list& list, libusb_device* device, const std::string& device_id,
                        const std::string& serial_number) QMX_REQUIRES(list.entries_mutex);
// The entry with this device ID, or null.
camera_entry* find_by_id(camera_list& list, const std::string& device_id)
    QMX_REQUIRES(list.entries_mutex);

// ---- The installed registry (module_exports.cpp) ----

// The registry that the last initialisation installed, or null.
camera_registry* installed_registry();

} // namespace qmx
