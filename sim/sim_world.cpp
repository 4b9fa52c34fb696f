// Simulator, driver side: the world of simulated cameras, their interface paths, open files and
// pending driver requests, the image streamer of each armed camera, and the C interfaces.
#include "sim/camera_model.h"
#include "sim/qmx_sim.h"
#include "sim/sim_driver_api.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace sim {

namespace {

// Driver request codes and the request header's layout.
constexpr std::uint32_t request_control = 0x220020;
constexpr std::uint32_t request_endpoint = 0x220024;
constexpr std::uint32_t header_size = 38;
constexpr std::size_t offset_request_type = 0;
constexpr std::size_t offset_request = 1;
constexpr std::size_t offset_value = 2;
constexpr std::size_t offset_endpoint = 13;
constexpr std::size_t offset_data_offset = 30;
constexpr std::size_t offset_data_length = 34;

constexpr std::uint8_t endpoint_uart_tx = 0x02;
constexpr std::uint8_t endpoint_uart_rx = 0x82;
constexpr std::uint8_t endpoint_data = 0x81;
constexpr std::uint8_t endpoint_event = 0x83;

constexpr std::uint8_t descriptor_request_type = 0x80;
constexpr std::uint8_t get_descriptor = 6;
constexpr std::uint16_t device_descriptor_value = 0x0100;
constexpr std::uint32_t device_descriptor_size = 18;
constexpr std::uint16_t vendor_id = 0x2F4E;
constexpr std::uint16_t product_id = 0x4002;

// Data bytes kept of the latest request of each endpoint, for tests.
constexpr std::uint32_t recorded_data_bytes = 64;

// The camera keeps this many image packets when no request is waiting for them.
constexpr std::size_t on_camera_buffer_packets = 64;

// Replies the camera keeps while nobody reads them; later ones are lost, so a host that sends
// commands without reading cannot grow the camera's memory without bound.
constexpr std::size_t on_camera_reply_slots = 16;

// Win32 error numbers the driver answers with.
constexpr std::uint32_t ok = 0;
constexpr std::uint32_t invalid_function = 1;
constexpr std::uint32_t file_not_found = 2;
constexpr std::uint32_t gen_failure = 31;
constexpr std::uint32_t sharing_violation = 32;
constexpr std::uint32_t invalid_parameter = 87;
constexpr std::uint32_t operation_aborted = 995;
constexpr std::uint32_t io_pending = 997;
constexpr std::uint32_t device_not_connected = 1167;
constexpr std::uint32_t not_found = 1168;

// The driver's interface class {AE18AA60-7F6A-11D4-97DD-00010229B959}, in memory layout.
constexpr std::uint8_t driver_class_guid[16] = {0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11,
                                                0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59};

std::uint16_t read_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t read_u32(const std::uint8_t* p) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | p[i];
  }
  return value;
}

void write_u32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

struct device;

struct file_record {
  device* owner;
  bool exclusive;
};

struct pending_request {
  qmx_sim_completion* completion;
  std::uint8_t* buffer;
  std::uint32_t length;
  file_record* file;
};

enum pending_slot { slot_rx, slot_data, slot_image, slot_control, slot_count };

struct device {
  int id = 0;
  std::string serial;
  std::string path;
  std::uint16_t bcd_usb = 0x0300;
  bool present = false;
  bool removed = false; // reset: gone for good, kept only for files still open on it
  int path_generation = 0;
  int exclusive_opens = 0;
  int shared_opens = 0;
  std::unique_ptr<camera_model> camera;
  std::deque<pending_request> pending[slot_count];
  std::deque<std::string> replies;
  std::deque<std::vector<std::uint8_t>> buffered_packets;
  // Faults.
  bool control_hang = false;
  bool silent = false;
  bool max_rate = false;
  std::uint32_t reply_delay_ms = 0;
  qmx_sim_counters counters{};
  // The start of the latest request per endpoint, as the driver received it.
  std::vector<std::uint8_t> last_request[QMX_SIM_ENDPOINT_CONTROL + 1];
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

struct world {
  std::mutex mutex;
  std::vector<std::unique_ptr<device>> devices;
  qmx_sim_hotplug_listener listener = nullptr;
  void* listener_context = nullptr;
};

world& the_world() {
  static world* instance = new world; // never destroyed: streamers may outlive static teardown
  return *instance;
}

std::string make_path(const device& d) {
  // Built by appending: g++ 12 warns falsely (-Wrestrict) about chained std::string additions.
  std::string path = "\\\\?\\usb#vid_2f4e&pid_4002#";
  path.append(d.serial);
  if (d.path_generation > 0) {
    path.append("_").append(std::to_string(d.path_generation));
  }
  path.append("#{ae18aa60-7f6a-11d4-97dd-00010229b959}");
  return path;
}

device* find_device(world& w, int id) {
  for (auto& d : w.devices) {
    if (d->id == id && !d->removed) {
      return d.get();
    }
  }
  return nullptr;
}

void complete(const pending_request& request, std::uint32_t error, std::uint32_t bytes) {
  request.completion->complete(request.completion, error, bytes);
}

// Ends every pending request of `d` (of one file, or of all files when `file` is null).
void fail_pending(device& d, const file_record* file, std::uint32_t error) {
  for (auto& queue : d.pending) {
    for (auto it = queue.begin(); it != queue.end();) {
      if (file == nullptr || it->file == file) {
        complete(*it, error, 0);
        it = queue.erase(it);
      } else {
        ++it;
      }
    }
  }
}

void count_pending(device& d) {
  d.counters.requests_pending[QMX_SIM_ENDPOINT_UART_TX] = 0;
  d.counters.requests_pending[QMX_SIM_ENDPOINT_UART_RX] =
      static_cast<std::uint32_t>(d.pending[slot_rx].size());
  d.counters.requests_pending[QMX_SIM_ENDPOINT_DATA] =
      static_cast<std::uint32_t>(d.pending[slot_data].size());
  d.counters.requests_pending[QMX_SIM_ENDPOINT_EVENT] =
      static_cast<std::uint32_t>(d.pending[slot_image].size());
  d.counters.requests_pending[QMX_SIM_ENDPOINT_CONTROL] =
      static_cast<std::uint32_t>(d.pending[slot_control].size());
}

// Hands one image packet to the oldest image request and completes it; `write` puts the packet
// into the request's data area (at most `room` bytes) and returns the bytes written.
template <typename writer> void deliver_packet(device& d, writer write) {
  pending_request request = d.pending[slot_image].front();
  d.pending[slot_image].pop_front();
  const std::size_t room = request.length - header_size;
  const std::size_t copied = write(request.buffer + header_size, room);
  ++d.counters.packets_sent;
  complete(request, ok, static_cast<std::uint32_t>(header_size + copied));
}

void deliver_frame_packet(device& d, const frame_packets& frame, std::size_t i) {
  deliver_packet(d, [&](std::uint8_t* destination, std::size_t room) {
    return frame.copy_packet(i, destination, room);
  });
}

void deliver_kept_packet(device& d, const std::vector<std::uint8_t>& packet) {
  deliver_packet(d, [&](std::uint8_t* destination, std::size_t room) {
    const std::size_t copied = std::min(room, packet.size());
    std::memcpy(destination, packet.data(), copied);
    return copied;
  });
}

// Maximum rate: the oldest image request leaves its queue under the world lock and is filled and
// completed with the lock dropped, so that submitters never wait behind a 16 KB copy.
void deliver_unlocked(std::unique_lock<std::mutex>& lock, device& d, const frame_packets& frame,
                      std::size_t i) {
  const pending_request request = d.pending[slot_image].front();
  d.pending[slot_image].pop_front();
  d.delivering_file = request.file;
  ++d.counters.packets_sent;
  count_pending(d);
  lock.unlock();
  const std::size_t copied = frame.copy_packet(i, request.buffer + header_size,
                                               request.length - header_size);
  complete(request, ok, static_cast<std::uint32_t>(header_size + copied));
  lock.lock();
  d.delivering_file = nullptr;
  d.delivery_done.notify_all();
}

void offer_packet(device& d, const frame_packets& frame, std::size_t i) {
  if (!d.pending[slot_image].empty()) {
    deliver_frame_packet(d, frame, i);
  } else if (d.buffered_packets.size() < on_camera_buffer_packets) {
    d.buffered_packets.push_back(frame.packet(i));
  } else {
    ++d.counters.packets_lost;
  }
}

// Time between frame starts at the camera's "fps" setting; a free-running camera (fps 0) paces
// itself at its own default rate.
std::uint64_t frame_interval_us(const camera_model& camera) {
  constexpr std::uint64_t microseconds_per_second = 1000000;
  constexpr std::int64_t free_running_fps = 100;
  std::int64_t fps = 0;
  if (!camera.setting("fps", fps) || fps <= 0) {
    fps = free_running_fps;
  }
  return microseconds_per_second / static_cast<std::uint64_t>(fps);
}

std::uint64_t now_us() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void stream(device* d) {
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  frame_packets frame;
  std::uint32_t frame_number = 0;
  auto next_frame = std::chrono::steady_clock::now();
  while (!d->stream_stop && d->present && d->camera->armed()) {
    frame = d->camera->build_frame_packets(frame_number, now_us());
    ++d->counters.frames_started;
    bool whole = true;
    const bool nothing_to_send = frame.packets.empty();
    for (std::size_t i = 0; i < frame.packets.size(); ++i) {
      if (d->max_rate) {
        d->stream_wake.wait(lock, [d] {
          return d->stream_stop || !d->present || !d->pending[slot_image].empty();
        });
        if (d->stream_stop || !d->present) {
          whole = false;
          break;
        }
        deliver_unlocked(lock, *d, frame, i);
      } else {
        offer_packet(*d, frame, i);
      }
    }
    if (whole) {
      ++d->counters.frames_completed;
    }
    ++frame_number;
    if (d->max_rate && !nothing_to_send) {
      next_frame = std::chrono::steady_clock::now(); // requests paced this frame
    } else {
      // A frame whose packets were all lost took no request; pacing it keeps a maximum-rate
      // camera from spinning on the world lock.
      next_frame += std::chrono::microseconds(frame_interval_us(*d->camera));
      d->stream_wake.wait_until(lock, next_frame, [d] { return d->stream_stop || !d->present; });
    }
  }
  d->streaming = false;
}

// Stops a device's streamer; called with the world lock held, which it drops while joining.
void stop_streamer(std::unique_lock<std::mutex>& lock, device& d) {
  if (!d.streamer.joinable()) {
    return;
  }
  d.stream_stop = true;
  d.stream_wake.notify_all();
  std::thread streamer = std::move(d.streamer);
  lock.unlock();
  streamer.join();
  lock.lock();
}

void start_streamer(device& d) {
  if (d.streaming || !d.present) {
    return;
  }
  d.stream_stop = false;
  d.streaming = true;
  d.buffered_packets.clear();
  d.streamer = std::thread(stream, &d);
}

void post_reply(device& d, std::string reply) {
  if (!d.pending[slot_rx].empty()) {
    pending_request request = d.pending[slot_rx].front();
    d.pending[slot_rx].pop_front();
    const std::uint32_t room = request.length - header_size;
    const std::uint32_t copied = std::min<std::uint32_t>(room, static_cast<std::uint32_t>(reply.size() + 1));
    std::memcpy(request.buffer + header_size, reply.c_str(), copied);
    complete(request, ok, header_size + copied);
  } else if (d.replies.size() < on_camera_reply_slots) {
    d.replies.push_back(std::move(reply));
  }
}

// A command on 0x02. Returns with the world lock held; may drop it to stop a streamer.
void handle_command(std::unique_lock<std::mutex>& lock, device& d, std::string_view command) {
  if (d.silent) {
    return;
  }
  std::string reply = d.camera->handle_command(command);
  if (d.reply_delay_ms > 0) {
    // Devices are never freed, so the late reply may safely find its device again.
    device* target = &d;
    const std::uint32_t delay = d.reply_delay_ms;
    std::thread([target, delay, late = std::move(reply)]() mutable {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      std::lock_guard late_lock(the_world().mutex);
      if (target->present) {
        post_reply(*target, std::move(late));
      }
    }).detach();
  } else {
    post_reply(d, std::move(reply));
  }
  if (d.camera->armed()) {
    if (!d.streaming) {
      stop_streamer(lock, d); // joins a streamer that ended by itself
    }
    start_streamer(d);
  } else {
    stop_streamer(lock, d);
  }
}

std::uint32_t control_request(device& d, std::uint8_t* buffer, std::uint32_t length,
                              std::uint32_t* bytes, qmx_sim_completion* completion,
                              file_record* file) {
  const bool descriptor_read = buffer[offset_request_type] == descriptor_request_type &&
                               buffer[offset_request] == get_descriptor &&
                               read_u16(buffer + offset_value) == device_descriptor_value;
  if (descriptor_read) {
    if (length < header_size + device_descriptor_size) {
      return invalid_parameter;
    }
    std::uint8_t* descriptor = buffer + header_size;
    std::memset(descriptor, 0, device_descriptor_size);
    descriptor[0] = device_descriptor_size;
    descriptor[1] = 1;
    descriptor[2] = static_cast<std::uint8_t>(d.bcd_usb);
    descriptor[3] = static_cast<std::uint8_t>(d.bcd_usb >> 8);
    descriptor[7] = 64;
    descriptor[8] = static_cast<std::uint8_t>(vendor_id);
    descriptor[9] = static_cast<std::uint8_t>(vendor_id >> 8);
    descriptor[10] = static_cast<std::uint8_t>(product_id);
    descriptor[11] = static_cast<std::uint8_t>(product_id >> 8);
    descriptor[17] = 1;
    write_u32(buffer + offset_data_offset, header_size);
    *bytes = header_size + device_descriptor_size;
    if (completion != nullptr) {
      completion->complete(completion, ok, *bytes);
    }
    return ok;
  }
  if (d.control_hang && completion != nullptr) {
    d.pending[slot_control].push_back({completion, buffer, length, file});
    return io_pending;
  }
  return gen_failure; // the device stalls every other control request
}

std::uint32_t endpoint_request(std::unique_lock<std::mutex>& lock, device& d,
                               std::uint8_t* buffer, std::uint32_t length, std::uint32_t* bytes,
                               qmx_sim_completion* completion, file_record* file) {
  if (completion == nullptr) {
    return invalid_parameter; // endpoint requests are overlapped only
  }
  const std::uint32_t data_length = read_u32(buffer + offset_data_length);
  if (data_length > length - header_size) {
    return invalid_parameter;
  }
  switch (buffer[offset_endpoint]) {
  case endpoint_uart_tx: {
    const char* text = reinterpret_cast<const char*>(buffer + header_size);
    const std::size_t text_length = strnlen(text, data_length);
    std::string command(text, text_length);
    *bytes = header_size + data_length;
    completion->complete(completion, ok, *bytes);
    handle_command(lock, d, command);
    return ok;
  }
  case endpoint_uart_rx:
    if (!d.replies.empty()) {
      std::string reply = std::move(d.replies.front());
      d.replies.pop_front();
      const std::uint32_t copied =
          std::min<std::uint32_t>(length - header_size, static_cast<std::uint32_t>(reply.size() + 1));
      std::memcpy(buffer + header_size, reply.c_str(), copied);
      *bytes = header_size + copied;
      completion->complete(completion, ok, *bytes);
      return ok;
    }
    d.pending[slot_rx].push_back({completion, buffer, length, file});
    return io_pending;
  case endpoint_data:
    d.pending[slot_data].push_back({completion, buffer, length, file});
    return io_pending;
  case endpoint_event:
    if (!d.buffered_packets.empty()) {
      d.pending[slot_image].push_back({completion, buffer, length, file});
      std::vector<std::uint8_t> packet = std::move(d.buffered_packets.front());
      d.buffered_packets.pop_front();
      deliver_kept_packet(d, packet);
      return ok;
    }
    d.pending[slot_image].push_back({completion, buffer, length, file});
    d.stream_wake.notify_all();
    return io_pending;
  default:
    return invalid_parameter;
  }
}

void notify(world& w, std::unique_lock<std::mutex>& lock, std::uint32_t event,
            const std::string& path) {
  qmx_sim_hotplug_listener listener = w.listener;
  void* context = w.listener_context;
  lock.unlock();
  if (listener != nullptr) {
    listener(context, event, path.c_str());
  }
  lock.lock();
}

// Driver table entries.

std::size_t driver_enumerate(const std::uint8_t guid[16], void (*each)(void*, const char*),
                             void* context) {
  if (guid == nullptr || each == nullptr ||
      std::memcmp(guid, driver_class_guid, sizeof driver_class_guid) != 0) {
    return 0;
  }
  std::vector<std::string> paths;
  {
    world& w = the_world();
    std::lock_guard lock(w.mutex);
    for (auto& d : w.devices) {
      if (d->present && !d->removed) {
        paths.push_back(d->path);
      }
    }
  }
  for (const std::string& path : paths) {
    each(context, path.c_str());
  }
  return paths.size();
}

std::uint32_t driver_open(const char* path, int exclusive, qmx_sim_file** file) {
  if (path == nullptr || file == nullptr) {
    return invalid_parameter;
  }
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  const std::string wanted = upper(path);
  for (auto& d : w.devices) {
    if (!d->present || d->removed || upper(d->path) != wanted) {
      continue;
    }
    if (d->exclusive_opens > 0 || (exclusive != 0 && d->shared_opens > 0)) {
      return sharing_violation;
    }
    auto* record = new (std::nothrow) file_record{d.get(), exclusive != 0};
    if (record == nullptr) {
      return 8; // not enough memory
    }
    (exclusive != 0 ? d->exclusive_opens : d->shared_opens) += 1;
    *file = reinterpret_cast<qmx_sim_file*>(record);
    return ok;
  }
  return file_not_found;
}

void driver_close(qmx_sim_file* file) {
  if (file == nullptr) {
    return;
  }
  auto* record = reinterpret_cast<file_record*>(file);
  world& w = the_world();
  {
    std::unique_lock lock(w.mutex);
    device& d = *record->owner;
    fail_pending(d, record, operation_aborted);
    // The caller may free its buffers once the file is closed.
    d.delivery_done.wait(lock, [&] { return d.delivering_file != record; });
    (record->exclusive ? d.exclusive_opens : d.shared_opens) -= 1;
  }
  delete record;
}

std::uint32_t driver_submit(qmx_sim_file* file, std::uint32_t code, void* buffer,
                            std::uint32_t length, std::uint32_t* bytes,
                            qmx_sim_completion* completion) {
  if (file == nullptr || buffer == nullptr || bytes == nullptr) {
    return invalid_parameter;
  }
  *bytes = 0;
  auto* record = reinterpret_cast<file_record*>(file);
  auto* data = static_cast<std::uint8_t*>(buffer);
  if (code != request_control && code != request_endpoint) {
    return invalid_function;
  }
  if (length < header_size || read_u32(data + offset_data_offset) != header_size) {
    return invalid_parameter;
  }
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  device& d = *record->owner;
  if (!d.present || d.removed) {
    return device_not_connected;
  }
  const int slot = code == request_control ? QMX_SIM_ENDPOINT_CONTROL
                   : data[offset_endpoint] == endpoint_uart_tx ? QMX_SIM_ENDPOINT_UART_TX
                   : data[offset_endpoint] == endpoint_uart_rx ? QMX_SIM_ENDPOINT_UART_RX
                   : data[offset_endpoint] == endpoint_data    ? QMX_SIM_ENDPOINT_DATA
                                                               : QMX_SIM_ENDPOINT_EVENT;
  d.last_request[slot].assign(data, data + std::min<std::uint32_t>(length, header_size + recorded_data_bytes));
  d.counters.requests_seen[slot] += 1;
  const std::uint32_t result =
      code == request_control ? control_request(d, data, length, bytes, completion, record)
                              : endpoint_request(lock, d, data, length, bytes, completion, record);
  count_pending(d);
  return result;
}

std::uint32_t driver_cancel(qmx_sim_file* file, qmx_sim_completion* completion) {
  if (file == nullptr || completion == nullptr) {
    return invalid_parameter;
  }
  auto* record = reinterpret_cast<file_record*>(file);
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device& d = *record->owner;
  for (auto& queue : d.pending) {
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (it->completion == completion && it->file == record) {
        pending_request request = *it;
        queue.erase(it);
        complete(request, operation_aborted, 0);
        count_pending(d);
        return ok;
      }
    }
  }
  return not_found;
}

const qmx_sim_driver_api driver_table = {QMX_SIM_DRIVER_API_VERSION, driver_enumerate,
                                         driver_open, driver_close, driver_submit, driver_cancel};

// Unplugs with the world lock held; the lock is dropped while the streamer stops and while the
// listener runs.
void unplug(world& w, std::unique_lock<std::mutex>& lock, device& d, bool tell_listener) {
  d.present = false;
  stop_streamer(lock, d);
  fail_pending(d, nullptr, device_not_connected);
  d.replies.clear();
  d.buffered_packets.clear();
  count_pending(d);
  if (tell_listener) {
    notify(w, lock, QMX_SIM_EVENT_LEFT, d.path);
  }
}

// Runs `change` on a known camera under the world lock; 0, or -1 for an unknown camera.
template <typename F> int with_camera(int camera, F change) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr) {
    return -1;
  }
  return change(*d);
}

} // namespace

} // namespace sim

using namespace sim;

extern "C" {

QMX_SIM_API const qmx_sim_driver_api* qmx_sim_driver_api_table(void) { return &driver_table; }

QMX_SIM_API int qmx_sim_camera_add(const char* serial, std::uint16_t bcd_usb) {
  if (serial == nullptr || serial[0] == '\0') {
    return 0;
  }
  try {
    world& w = the_world();
    std::unique_lock lock(w.mutex);
    auto d = std::make_unique<device>();
    d->id = static_cast<int>(w.devices.size()) + 1;
    d->serial = serial;
    d->bcd_usb = bcd_usb;
    d->path = make_path(*d);
    camera_config config;
    config.serial_number = d->serial;
    config.usb_bcd = bcd_usb;
    config.random_seed = static_cast<std::uint32_t>(d->id);
    d->camera = std::make_unique<camera_model>(config);
    d->present = true;
    device& added = *d;
    w.devices.push_back(std::move(d));
    notify(w, lock, QMX_SIM_EVENT_ARRIVED, added.path);
    return added.id;
  } catch (...) {
    return 0;
  }
}

QMX_SIM_API int qmx_sim_camera_unplug(int camera) {
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr || !d->present) {
    return -1;
  }
  unplug(w, lock, *d, true);
  return 0;
}

QMX_SIM_API int qmx_sim_camera_replug(int camera, int new_path) {
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr || d->present) {
    return -1;
  }
  if (new_path != 0) {
    ++d->path_generation;
    d->path = make_path(*d);
  }
  d->present = true;
  notify(w, lock, QMX_SIM_EVENT_ARRIVED, d->path);
  return 0;
}

QMX_SIM_API int qmx_sim_camera_path(int camera, char* path, std::uint32_t capacity) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr || path == nullptr || capacity <= d->path.size()) {
    return -1;
  }
  std::memcpy(path, d->path.c_str(), d->path.size() + 1);
  return 0;
}

QMX_SIM_API void qmx_sim_reset(void) {
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  for (auto& d : w.devices) {
    if (!d->removed) {
      unplug(w, lock, *d, false);
      d->removed = true;
    }
  }
}

QMX_SIM_API int qmx_sim_set_control_hang(int camera, int hang) {
  return with_camera(camera, [hang](device& d) {
    d.control_hang = hang != 0;
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_error_replies(int camera, const char* command, std::uint32_t count) {
  if (command == nullptr) {
    return -1;
  }
  return with_camera(camera, [command, count](device& d) {
    try {
      d.camera->fail_first_queries(command, count);
      return 0;
    } catch (...) {
      return -1;
    }
  });
}

QMX_SIM_API int qmx_sim_set_silent(int camera, int silent) {
  return with_camera(camera, [silent](device& d) {
    d.silent = silent != 0;
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_packet_faults(int camera, const qmx_sim_packet_faults* faults) {
  if (faults == nullptr) {
    return -1;
  }
  return with_camera(camera, [faults](device& d) {
    packet_fault_settings settings;
    settings.corrupt_magic = faults->corrupt_magic;
    settings.drop = faults->drop;
    settings.repeat = faults->repeat;
    settings.reorder = faults->reorder;
    settings.shorten = faults->shorten;
    d.camera->set_packet_faults(settings);
    return 0;
  });
}

QMX_SIM_API std::uint32_t qmx_sim_random_seed(int camera) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  return d == nullptr ? 0 : d->camera->random_seed();
}

QMX_SIM_API int qmx_sim_set_random_seed(int camera, std::uint32_t seed) {
  return with_camera(camera, [seed](device& d) {
    d.camera->set_random_seed(seed);
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_reply_delay(int camera, std::uint32_t delay_ms) {
  return with_camera(camera, [delay_ms](device& d) {
    d.reply_delay_ms = delay_ms;
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_max_rate(int camera, int on) {
  return with_camera(camera, [on](device& d) {
    d.max_rate = on != 0;
    d.stream_wake.notify_all();
    return 0;
  });
}

QMX_SIM_API int qmx_sim_get_counters(int camera, qmx_sim_counters* counters) {
  if (counters == nullptr) {
    return -1;
  }
  return with_camera(camera, [counters](device& d) {
    count_pending(d);
    *counters = d.counters;
    return 0;
  });
}

QMX_SIM_API std::uint32_t qmx_sim_last_request(int camera, int endpoint, std::uint8_t* copy,
                                               std::uint32_t capacity) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr || endpoint < 0 || endpoint > QMX_SIM_ENDPOINT_CONTROL || copy == nullptr) {
    return 0;
  }
  const std::vector<std::uint8_t>& last = d->last_request[endpoint];
  const std::uint32_t copied = std::min<std::uint32_t>(capacity, static_cast<std::uint32_t>(last.size()));
  std::memcpy(copy, last.data(), copied);
  return copied;
}

QMX_SIM_API void qmx_sim_set_hotplug_listener(qmx_sim_hotplug_listener listener, void* context) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  w.listener = listener;
  w.listener_context = context;
}

} // extern "C"
