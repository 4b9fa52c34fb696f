// Simulator, world: the records shared by the simulator's parts (driver side, streaming,
// hotplug notifications, control interface). Internal to the simulator library.
//
// Locking: one world mutex guards every device and the world's lists. It is dropped only where
// a function says so: while a streamer thread is joined, while a maximum-rate packet is copied
// into its request, and while listeners are notified. The notification order mutex is taken
// without the world mutex held.
#pragma once

#include "include/qmx_thread_safety.h"
#include "platform/device_source.h"
#include "sim/camera_model.h"
#include "sim/qmx_sim.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// Win32 error numbers the driver answers with.
namespace win32 {
constexpr std::uint32_t ok = 0;
constexpr std::uint32_t invalid_function = 1;
constexpr std::uint32_t file_not_found = 2;
constexpr std::uint32_t not_enough_memory = 8;
constexpr std::uint32_t gen_failure = 31;
constexpr std::uint32_t sharing_violation = 32;
constexpr std::uint32_t invalid_parameter = 87;
constexpr std::uint32_t operation_aborted = 995;
constexpr std::uint32_t io_pending = 997;
constexpr std::uint32_t device_not_connected = 1167;
constexpr std::uint32_t not_found = 1168;
} // namespace win32

// Driver request codes and the request header's layout.
constexpr std::uint32_t request_control = 0x220020;
constexpr std::uint32_t request_endpoint = 0x220024;
constexpr std::uint32_t request_header_size = 38;

// Endpoints of the camera, by QMX_SIM_ENDPOINT_* index.
constexpr int endpoint_slots = QMX_SIM_ENDPOINT_CONTROL + 1;

struct device;

// One open of an interface path. It belongs to the plug that was current when it was opened;
// once that plug has ended (unplug), the file stays dead until it is closed.
struct file_record {
  device* owner;
  std::uint64_t plug;
  bool exclusive;
};

struct pending_request {
  qmx_device_completion* completion;
  std::uint8_t* buffer;
  std::uint32_t room; // data bytes the request may receive (its header's data length)
  file_record* file;
  int endpoint; // QMX_SIM_ENDPOINT_*
};

// Queues of requests that wait for the camera: replies, 0x81 (never answered), images, hanging
// control requests, and requests held by an endpoint fault.
enum pending_queue { queue_rx, queue_data, queue_image, queue_control, queue_hung, queue_count };

// A packet the camera keeps while no image request waits for it.
struct kept_packet {
  std::vector<std::uint8_t> bytes;
  std::uint64_t frame_sequence;
};

struct reply_override {
  std::string keyword;
  std::string bytes;
  std::uint32_t count;
};

struct endpoint_fault {
  int kind = 0; // QMX_SIM_FAULT_*; 0 none
  std::uint32_t error = 0;
  std::uint32_t count = 0;
};

// One frame of the log, with what the streamer needs to settle its outcome.
struct frame_log_entry {
  qmx_sim_frame_record record{};
  std::uint32_t sent = 0;    // packets sent after faults
  std::uint32_t reached = 0; // of those, packets that reached a request
  bool damaged = false;
};

// Frames kept in the log once settled; frames still being sent are never dropped from it.
constexpr std::size_t frame_log_capacity = 4096;

struct device {
  int id = 0;
  // What the camera is, from its configuration.
  std::string serial;
  std::string id_text;
  std::uint16_t bcd_usb = 0x0300;
  std::uint16_t vendor_id = 0x2F4E;
  std::uint16_t product_id = 0x4002;
  std::string path;
  int path_generation = 0;
  bool present = false;
  bool removed = false;    // reset: gone for good, kept only for files still open on it
  std::uint64_t plug = 0;  // counts plugs; files of an earlier plug are dead
  int exclusive_opens = 0; // files of the current plug
  int shared_opens = 0;
  std::unique_ptr<camera_model> camera;
  std::deque<pending_request> pending[queue_count];
  std::deque<std::string> replies; // each with its terminator, when it has one
  std::deque<kept_packet> kept_packets;
  // Faults.
  bool control_hang = false;
  bool silent = false;
  bool max_rate = false;
  std::uint32_t reply_delay_ms = 0;
  std::uint32_t open_delay_ms = 0; // exclusive opens wait this long before they return
  std::vector<reply_override> overrides;
  endpoint_fault endpoint_faults[endpoint_slots];
  std::vector<scripted_packet_fault> script;
  // Frame headers.
  std::uint32_t frame_counter_start = 0;
  std::uint32_t next_frame_counter = 0;
  std::uint64_t next_frame_sequence = 0;
  std::deque<frame_log_entry> frame_log;
  // Counters.
  qmx_sim_counters counters{};
  qmx_sim_fault_counters faults{};
  // The start of the latest request per endpoint, as the driver received it.
  std::vector<std::uint8_t> last_request[endpoint_slots];
  // Streaming.
  std::thread streamer;
  bool streaming = false; // the streamer thread is inside its loop
  bool stream_stop = false;
  std::condition_variable stream_wake;
  // The file whose image request the maximum-rate streamer is filling with the world lock
  // dropped (that request is in no queue meanwhile); closing that file waits for it.
  const file_record* delivering_file = nullptr;
  std::condition_variable delivery_done;
};

struct listener_entry {
  qmx_sim_hotplug_listener listener;
  void* context;
};

struct world {
  std::mutex mutex;
  std::vector<std::unique_ptr<device>> devices; // never shrinks: devices are never freed
  listener_entry primary{nullptr, nullptr};
  std::vector<listener_entry> listeners;
  // Notifications take a ticket under the world lock and are delivered in ticket order.
  std::uint64_t next_ticket = 0;
  qmx::mutex order_mutex;
  std::condition_variable order_changed;
  std::uint64_t serving QMX_GUARDED_BY(order_mutex) = 0;
};

// The one world of the process; never destroyed (streamers may outlive static teardown).
world& the_world();

// A known camera that reset has not removed, or null. World lock held.
device* find_device(world& w, int id);

// ---- Plugging (sim_world.cpp) ----

// Gives `d` its interface path, derived from its serial number and made distinct from every
// other camera's; `new_path` moves it to a path it has not had before. World lock held.
void assign_path(world& w, device& d, bool new_path);
// Plugs `d` in as a new plug (power-on state, fresh open counts) and tells the listeners.
// World lock held; dropped while the listeners run.
void plug_in(world& w, std::unique_lock<std::mutex>& lock, device& d);
// Unplugs `d`: streaming ends, pending requests fail, replies and kept packets are discarded.
// World lock held; dropped while a streamer is joined and while the listeners run. From the
// streamer thread itself the streamer is not joined (it ends its loop on its own).
void unplug(world& w, std::unique_lock<std::mutex>& lock, device& d, bool tell_listeners);

// ---- Requests (sim_driver.cpp) ----

void complete(const pending_request& request, std::uint32_t error, std::uint32_t bytes);
// Ends every pending request of `d` (of one file, or of all files when `file` is null).
void fail_pending(device& d, const file_record* file, std::uint32_t error);
void count_pending(device& d);
// Hands a reply (bytes as sent, terminator included when it has one) to the oldest reply
// request, or keeps it for the next one.
void post_reply(device& d, std::string reply);

// ---- Streaming (sim_streaming.cpp) ----

// Starts or stops the streamer after a command, to match the camera's armed state.
void follow_armed_state(std::unique_lock<std::mutex>& lock, device& d);
// Stops a device's streamer; the world lock is dropped while joining.
void stop_streamer(std::unique_lock<std::mutex>& lock, device& d);
// Delivers the oldest kept packet to a new image request, if the camera keeps one. True when
// the request was completed.
bool deliver_kept_packet(device& d, const pending_request& request);
// Kept packets are thrown away (unplug, new stream): their frames are lost.
void discard_kept_packets(device& d);

// ---- Hotplug notifications (sim_hotplug.cpp) ----

// Tells every listener of `event` on `path` (a copy: the device may change meanwhile), in the
// order of the calls. World lock held; dropped while waiting for the turn and while listeners run.
void notify(world& w, std::unique_lock<std::mutex>& lock, std::uint32_t event, std::string path);

} // namespace sim
