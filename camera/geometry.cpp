// Camera data path, geometry: reading the region of interest and deriving the image size.
#include "camera/geometry.h"
#include "include/qmx_module.h"

#include "camera/camera.h"
#include "camera/frame_delivery.h"
#include "camera/text_numbers.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace qmx {

namespace {

constexpr char roi_command[] = "roi";
constexpr int roi_numbers = 4;
constexpr std::int32_t bits_per_pixel = 10;

constexpr std::int32_t min_bin = 1;
constexpr std::int32_t max_bin = 16;
constexpr std::int32_t tag_block_size = 48;
constexpr std::int32_t bytes_per_pixel = 2;
constexpr char calibration_query[] = "num_calibration_lines";
constexpr char packets_query[] = "data_packets_per_frame";
constexpr char arm_command[] = {'a', 'r', 'm'}; // sent without a terminator

std::int32_t clamp_bin(std::int32_t bin) {
  return bin < min_bin ? min_bin : (bin > max_bin ? max_bin : bin);
}

// Products and sums of the camera's numbers in 32 bits, wrapping as 32-bit arithmetic does, so
// that an odd region gives the same byte counts on every system and never overflows.
std::int32_t wrap32(std::uint32_t value) {
  return static_cast<std::int32_t>(value);
}
std::int32_t mul32(std::int32_t a, std::int32_t b) {
  return wrap32(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
std::int32_t add32(std::int32_t a, std::int32_t b) {
  return wrap32(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
std::int32_t sub32(std::int32_t a, std::int32_t b) {
  return wrap32(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

constexpr auto quiet_period = std::chrono::milliseconds(20);
constexpr auto quiet_poll = std::chrono::milliseconds(5);
constexpr auto quiet_limit = std::chrono::milliseconds(2000);

void wait_until_quiet(frame_assembly_state& a) {
  const auto limit = std::chrono::steady_clock::now() + quiet_limit;
  std::uint64_t seen = a.completions_seen.load();
  auto quiet_since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(quiet_poll);
    const std::uint64_t now_seen = a.completions_seen.load();
    const auto now = std::chrono::steady_clock::now();
    if (now_seen != seen) {
      seen = now_seen;
      quiet_since = now;
    } else if (now - quiet_since >= quiet_period) {
      return;
    }
  }
}

// The binning and the image size it gives; the caller holds the parameters' lock.
void apply_binning(acquisition_parameters& p, std::int32_t horizontal, std::int32_t vertical) {
  p.hbin = clamp_bin(horizontal);
  p.vbin = clamp_bin(vertical);
  p.image_width = p.roi_width / p.hbin;
  p.image_height = p.roi_height / p.vbin;
}

} // namespace

void set_binning(camera& c, std::int32_t horizontal, std::int32_t vertical) {
  qmx::lock_guard lock(c.parameters_mutex);
  apply_binning(c.parameters, horizontal, vertical);
}

void set_horizontal_binning(camera& c, std::int32_t factor) {
  qmx::lock_guard lock(c.parameters_mutex);
  apply_binning(c.parameters, factor, c.parameters.vbin);
}

void set_vertical_binning(camera& c, std::int32_t factor) {
  qmx::lock_guard lock(c.parameters_mutex);
  apply_binning(c.parameters, c.parameters.hbin, factor);
}

acquisition_parameters parameters_of(const camera& c) {
  qmx::lock_guard lock(c.parameters_mutex);
  return c.parameters;
}

int compute_frame_bytes(camera& c) {
  std::uint32_t packets = 0;
  if (const int result = query_integer(c.channel, packets_query, packets); result != 0) {
    return result;
  }
  {
    qmx::lock_guard lock(c.parameters_mutex);
    c.parameters.data_packets_per_frame = wrap32(packets);
  }
  std::uint32_t calibration = 0;
  if (const int result = query_integer(c.channel, calibration_query, calibration); result != 0) {
    return result;
  }
  qmx::lock_guard lock(c.parameters_mutex);
  acquisition_parameters& p = c.parameters;
  const std::int32_t rows = add32(p.roi_height, wrap32(calibration));
  p.frame_pixel_bytes = mul32(mul32(bytes_per_pixel, p.roi_width), rows);
  p.acquisition_bytes_per_frame = add32(p.frame_pixel_bytes, tag_block_size);
  return 0;
}

int arm(camera& c, unsigned char* buffer, std::int32_t buffer_size, char* response,
        std::size_t response_size) {
  // Every query comes first: a failed transaction leaves the frame path and the buffer as they
  // were. Whatever numbers the camera answers, the camera is armed with them: the frame path
  // keeps every write inside its slots, and a geometry that cannot make frames only drops them.
  if (read_roi(c) != 0 || compute_frame_bytes(c) != 0) {
    return QMX_BAD_ARGUMENT;
  }
  std::uint32_t calibration = 0;
  if (query_integer(c.channel, calibration_query, calibration) != 0) {
    return QMX_BAD_ARGUMENT;
  }
  const acquisition_parameters p = parameters_of(c);
  frame_geometry geometry = geometry_for_region(p.roi_width, p.roi_height, wrap32(calibration),
                                                p.hbin, p.vbin, p.data_packets_per_frame);
  // The slot is the size the host was told ("acquisition_bytes_per_frame"), from the frame sizes
  // just asked; a camera that answers another number of calibration lines the second time
  // cannot make frames that overflow it (the frame path checks every write against its slot).
  geometry.unpacked_frame_bytes = p.frame_pixel_bytes;
  geometry.slot_bytes = p.acquisition_bytes_per_frame;
  if (buffer == nullptr || !cuts_into_slots(buffer_size, geometry.slot_bytes)) {
    return QMX_BAD_SET_ARGUMENT; // no whole slot: nothing could ever be filled
  }
  frame_path& path = c.frames;
  // Stop the frame path: waiters are released and the handler ignores packets from here on.
  abort_delivery(path.assembly, true);
  // Packets the camera sent before it was stopped may still wait in the USB layer's queue for
  // the handler; handled after the new geometry is in place they would be cut into its slots.
  // They are let through (and ignored) first: the path counts as drained once no completion has
  // come for a while. A camera that still streams (re-arming without "stop") keeps its geometry,
  // since the region cannot change while it is armed, so the wait then ends at its limit.
  wait_until_quiet(path.assembly);
  (void)prepare_frame_path(path, geometry, buffer, buffer_size); // the buffer was checked above
  char* reply = response;
  std::size_t capacity = response_size;
  if (reply != nullptr && capacity == 0) {
    reply = nullptr; // no room for a reply: it is read and dropped
  }
  if (!transact(c.channel, arm_command, sizeof arm_command, reply, capacity)) {
    return QMX_CAMERA_COMMAND_FAILED;
  }
  return 0;
}

int read_roi(camera& c) {
  char reply[serial_buffer_bytes];
  if (!transact(c.channel, roi_command, sizeof roi_command, reply, sizeof reply)) {
    return QMX_TRANSACTION_FAILED;
  }
  if (std::strlen(reply) > longest_query_reply) {
    return QMX_TRANSACTION_FAILED;
  }
  std::int32_t numbers[roi_numbers] = {};
  const char* next = reply;
  for (auto& number : numbers) {
    char* end = nullptr;
    number = strtol32(next, &end, 0);
    next = end;
  }
  const auto [x1, y1, x2, y2] = numbers;
  qmx::lock_guard lock(c.parameters_mutex);
  acquisition_parameters& p = c.parameters;
  p.roi_width = add32(sub32(x2, x1), 1);
  p.roi_height = add32(sub32(y2, y1), 1);
  p.image_width = p.roi_width / p.hbin;
  p.image_height = p.roi_height / p.vbin;
  p.row_bits = mul32(bits_per_pixel, p.roi_width);
  return QMX_OK;
}

} // namespace qmx
