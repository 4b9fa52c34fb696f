// Simulator, driver side: the driver table through which the platform seam reaches the
// simulated cameras (enumeration, opens, requests with the 38-byte header, cancel, close), and
// the camera's command and reply endpoints.
#include "sim/sim_world.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>

namespace sim {

namespace {

// Offsets of the request header's fields.
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
constexpr std::uint8_t control_max_packet_size = 64;

// Data bytes kept of the latest request of each endpoint, for tests.
constexpr std::uint32_t recorded_data_bytes = 64;

// Replies the camera keeps while nobody reads them; later ones are lost, so a host that sends
// commands without reading cannot grow the camera's memory without bound.
constexpr std::size_t on_camera_reply_slots = 16;

constexpr std::string_view white_space = " \t\r\n";

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

// The first word of a command as the camera reads it: text up to the first zero byte, leading
// white space skipped.
std::string_view command_keyword(std::string_view command) {
  command = command.substr(0, command.find('\0'));
  const std::size_t first = command.find_first_not_of(white_space);
  if (first == std::string_view::npos) {
    return {};
  }
  command.remove_prefix(first);
  return command.substr(0, command.find_first_of(white_space));
}

// Writes as much of `reply` as the request takes and completes it.
void answer(const pending_request& request, const std::string& reply) {
  const auto copied = static_cast<std::uint32_t>(std::min<std::size_t>(request.room, reply.size()));
  std::memcpy(request.buffer + request_header_size, reply.data(), copied);
  complete(request, win32::ok, request_header_size + copied);
}

// The reply the host will read for `command`: the camera's own (with its terminator) unless a
// test has overridden it.
std::string reply_for(device& d, std::string_view command) {
  std::string reply = d.camera->handle_command(command);
  reply.push_back('\0');
  const std::string_view keyword = command_keyword(command);
  for (auto it = d.overrides.begin(); it != d.overrides.end(); ++it) {
    if (it->keyword == keyword) {
      reply = it->bytes;
      ++d.faults.replies_overridden;
      if (--it->count == 0) {
        d.overrides.erase(it);
      }
      break;
    }
  }
  return reply;
}

// A command on 0x02. Returns with the world lock held; may drop it to stop a streamer.
void handle_command(std::unique_lock<std::mutex>& lock, device& d, std::string_view command) {
  std::string reply = reply_for(d, command);
  if (!d.silent) {
    if (d.reply_delay_ms > 0) {
      // Devices are never freed, so the late reply may safely find its device again; it is
      // dropped when the camera was unplugged meanwhile (a new plug has a new `plug`).
      device* target = &d;
      const std::uint64_t plug = d.plug;
      const std::uint32_t delay = d.reply_delay_ms;
      std::thread([target, plug, delay, late = std::move(reply)]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        std::lock_guard late_lock(the_world().mutex);
        if (target->present && target->plug == plug) {
          post_reply(*target, std::move(late));
          count_pending(*target);
        }
      }).detach();
    } else {
      post_reply(d, std::move(reply));
    }
  }
  follow_armed_state(lock, d);
}

std::uint32_t control_request(device& d, std::uint8_t* buffer, std::uint32_t length,
                              std::uint32_t* bytes, qmx_device_completion* completion,
                              file_record* file) {
  const bool descriptor_read = buffer[offset_request_type] == descriptor_request_type &&
                               buffer[offset_request] == get_descriptor &&
                               read_u16(buffer + offset_value) == device_descriptor_value;
  if (descriptor_read) {
    if (length < request_header_size + device_descriptor_size) {
      return win32::invalid_parameter;
    }
    std::uint8_t* descriptor = buffer + request_header_size;
    std::memset(descriptor, 0, device_descriptor_size);
    descriptor[0] = device_descriptor_size;
    descriptor[1] = 1;
    descriptor[2] = static_cast<std::uint8_t>(d.bcd_usb);
    descriptor[3] = static_cast<std::uint8_t>(d.bcd_usb >> 8);
    descriptor[7] = control_max_packet_size;
    descriptor[8] = static_cast<std::uint8_t>(d.vendor_id);
    descriptor[9] = static_cast<std::uint8_t>(d.vendor_id >> 8);
    descriptor[10] = static_cast<std::uint8_t>(d.product_id);
    descriptor[11] = static_cast<std::uint8_t>(d.product_id >> 8);
    descriptor[17] = 1;
    write_u32(buffer + offset_data_offset, request_header_size);
    *bytes = request_header_size + device_descriptor_size;
    if (completion != nullptr) {
      completion->complete(completion, win32::ok, *bytes);
    }
    return win32::ok;
  }
  if (d.control_hang && completion != nullptr) {
    d.pending[queue_control].push_back(
        {completion, buffer, length - request_header_size, file, QMX_SIM_ENDPOINT_CONTROL});
    return win32::io_pending;
  }
  return win32::gen_failure; // the device stalls every other control request
}

std::uint32_t endpoint_request(std::unique_lock<std::mutex>& lock, device& d, int endpoint,
                               std::uint8_t* buffer, std::uint32_t data_length,
                               std::uint32_t* bytes, qmx_device_completion* completion,
                               file_record* file) {
  const pending_request request{completion, buffer, data_length, file, endpoint};
  switch (endpoint) {
  case QMX_SIM_ENDPOINT_UART_TX: {
    const char* text = reinterpret_cast<const char*>(buffer + request_header_size);
    const std::string command(text, strnlen(text, data_length));
    *bytes = request_header_size + data_length;
    completion->complete(completion, win32::ok, *bytes);
    handle_command(lock, d, command);
    return win32::ok;
  }
  case QMX_SIM_ENDPOINT_UART_RX:
    if (!d.replies.empty()) {
      const std::string reply = std::move(d.replies.front());
      d.replies.pop_front();
      answer(request, reply);
      return win32::ok;
    }
    d.pending[queue_rx].push_back(request);
    return win32::io_pending;
  case QMX_SIM_ENDPOINT_DATA:
    d.pending[queue_data].push_back(request);
    return win32::io_pending;
  default: // QMX_SIM_ENDPOINT_EVENT
    if (deliver_kept_packet(d, request)) {
      return win32::ok;
    }
    d.pending[queue_image].push_back(request);
    d.stream_wake.notify_all();
    return win32::io_pending;
  }
}

// An endpoint fault scripted for the next request, if any; returns true with `result` set when
// the request has been dealt with.
bool apply_endpoint_fault(device& d, int endpoint, std::uint8_t* buffer, std::uint32_t room,
                          qmx_device_completion* completion, file_record* file,
                          std::uint32_t& result) {
  endpoint_fault& fault = d.endpoint_faults[endpoint];
  if (fault.count == 0) {
    return false;
  }
  const int kind = fault.kind;
  if (--fault.count == 0) {
    fault.kind = 0;
  }
  if (kind == QMX_SIM_FAULT_REFUSE || completion == nullptr) {
    // A synchronous request cannot be left pending: every fault refuses it.
    ++d.faults.requests_refused;
    result = fault.error;
    return true;
  }
  if (kind == QMX_SIM_FAULT_FAIL) {
    ++d.faults.requests_failed;
    completion->complete(completion, fault.error, 0);
    result = win32::io_pending;
    return true;
  }
  ++d.faults.requests_hung;
  d.pending[queue_hung].push_back({completion, buffer, room, file, endpoint});
  result = win32::io_pending;
  return true;
}

int endpoint_slot(std::uint8_t address) {
  switch (address) {
  case endpoint_uart_tx:
    return QMX_SIM_ENDPOINT_UART_TX;
  case endpoint_uart_rx:
    return QMX_SIM_ENDPOINT_UART_RX;
  case endpoint_data:
    return QMX_SIM_ENDPOINT_DATA;
  case endpoint_event:
    return QMX_SIM_ENDPOINT_EVENT;
  default:
    return -1;
  }
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

std::uint32_t driver_open(const char* path, int exclusive, qmx_device_file** file) {
  if (path == nullptr || file == nullptr) {
    return win32::invalid_parameter;
  }
  world& w = the_world();
  std::uint32_t delay_ms = 0;
  {
    std::lock_guard lock(w.mutex);
    const std::string wanted = upper(path);
    auto found = std::find_if(w.devices.begin(), w.devices.end(), [&](const auto& d) {
      return d->present && !d->removed && upper(d->path) == wanted;
    });
    if (found == w.devices.end()) {
      return win32::file_not_found;
    }
    device& d = **found;
    // Only opens of the current plug count: files left over from before an unplug are dead.
    if (d.exclusive_opens > 0 || (exclusive != 0 && d.shared_opens > 0)) {
      return win32::sharing_violation;
    }
    auto* record = new (std::nothrow) file_record{&d, d.plug, exclusive != 0};
    if (record == nullptr) {
      return win32::not_enough_memory;
    }
    (exclusive != 0 ? d.exclusive_opens : d.shared_opens) += 1;
    *file = reinterpret_cast<qmx_device_file*>(record);
    delay_ms = exclusive != 0 ? d.open_delay_ms : 0;
  }
  if (delay_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms)); // a slow open, unlocked
  }
  return win32::ok;
}

void driver_close(qmx_device_file* file) {
  if (file == nullptr) {
    return;
  }
  auto* record = reinterpret_cast<file_record*>(file);
  world& w = the_world();
  {
    std::unique_lock lock(w.mutex);
    device& d = *record->owner;
    fail_pending(d, record, win32::operation_aborted);
    count_pending(d);
    // The caller may free its buffers once the file is closed.
    d.delivery_done.wait(lock, [&] { return d.delivering_file != record; });
    if (record->plug == d.plug) {
      (record->exclusive ? d.exclusive_opens : d.shared_opens) -= 1;
    }
  }
  delete record;
}

std::uint32_t driver_submit(qmx_device_file* file, std::uint32_t code, void* buffer,
                            std::uint32_t length, std::uint32_t* bytes,
                            qmx_device_completion* completion) {
  if (file == nullptr || buffer == nullptr || bytes == nullptr) {
    return win32::invalid_parameter;
  }
  *bytes = 0;
  auto* record = reinterpret_cast<file_record*>(file);
  auto* data = static_cast<std::uint8_t*>(buffer);
  if (code != request_control && code != request_endpoint) {
    return win32::invalid_function;
  }
  if (length < request_header_size || read_u32(data + offset_data_offset) != request_header_size) {
    return win32::invalid_parameter;
  }
  const std::uint32_t data_length = read_u32(data + offset_data_length);
  const int endpoint =
      code == request_control ? QMX_SIM_ENDPOINT_CONTROL : endpoint_slot(data[offset_endpoint]);
  if (code == request_endpoint &&
      (endpoint < 0 || completion == nullptr || data_length > length - request_header_size)) {
    return win32::invalid_parameter; // endpoint requests are overlapped only
  }
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  device& d = *record->owner;
  if (!d.present || d.removed || record->plug != d.plug) {
    return win32::device_not_connected;
  }
  d.last_request[endpoint].assign(
      data, data + std::min<std::uint32_t>(length, request_header_size + recorded_data_bytes));
  d.counters.requests_seen[endpoint] += 1;
  std::uint32_t result = win32::ok;
  if (!apply_endpoint_fault(d, endpoint, data, code == request_endpoint ? data_length : 0,
                            completion, record, result)) {
    result = code == request_control ? control_request(d, data, length, bytes, completion, record)
                                     : endpoint_request(lock, d, endpoint, data, data_length, bytes,
                                                        completion, record);
  }
  count_pending(d);
  return result;
}

std::uint32_t driver_cancel(qmx_device_file* file, qmx_device_completion* completion) {
  if (file == nullptr || completion == nullptr) {
    return win32::invalid_parameter;
  }
  auto* record = reinterpret_cast<file_record*>(file);
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device& d = *record->owner;
  for (auto& queue : d.pending) {
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (it->completion == completion && it->file == record) {
        const pending_request request = *it;
        queue.erase(it);
        complete(request, win32::operation_aborted, 0);
        count_pending(d);
        return win32::ok;
      }
    }
  }
  return win32::not_found;
}

// Whether the simulated cameras are offered to the seam (qmx_sim_set_device_source).
std::atomic<int> offered{1};

int driver_active() {
  return offered.load();
}

const qmx_device_source driver_table = {QMX_DEVICE_SOURCE_VERSION,
                                        "simulated camera world",
                                        driver_active,
                                        driver_enumerate,
                                        driver_open,
                                        driver_close,
                                        driver_submit,
                                        driver_cancel};

} // namespace

void complete(const pending_request& request, std::uint32_t error, std::uint32_t bytes) {
  request.completion->complete(request.completion, error, bytes);
}

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
  std::uint32_t* pending = d.counters.requests_pending;
  pending[QMX_SIM_ENDPOINT_UART_TX] = 0;
  pending[QMX_SIM_ENDPOINT_UART_RX] = static_cast<std::uint32_t>(d.pending[queue_rx].size());
  pending[QMX_SIM_ENDPOINT_DATA] = static_cast<std::uint32_t>(d.pending[queue_data].size());
  pending[QMX_SIM_ENDPOINT_EVENT] = static_cast<std::uint32_t>(d.pending[queue_image].size());
  pending[QMX_SIM_ENDPOINT_CONTROL] = static_cast<std::uint32_t>(d.pending[queue_control].size());
  // Requests held by an endpoint fault are few; the other queues are counted by their size, so
  // that a stream of image requests costs no walk.
  for (const pending_request& request : d.pending[queue_hung]) {
    ++pending[request.endpoint];
  }
}

void post_reply(device& d, std::string reply) {
  if (!d.pending[queue_rx].empty()) {
    const pending_request request = d.pending[queue_rx].front();
    d.pending[queue_rx].pop_front();
    answer(request, reply);
  } else if (d.replies.size() < on_camera_reply_slots) {
    d.replies.push_back(std::move(reply));
  }
}

} // namespace sim

extern "C" QMX_SIM_API const qmx_device_source* qmx_device_source_table(void) {
  return &sim::driver_table;
}

extern "C" QMX_SIM_API void qmx_sim_set_device_source(int offered) {
  sim::offered.store(offered != 0 ? 1 : 0);
}
