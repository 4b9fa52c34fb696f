// Camera data path, frame path state: its teardown, the geometry of a region, and the
// preparation for a new acquisition.
#include "camera/frame_path.h"

#include <cstring>

namespace qmx {

namespace {

constexpr std::int32_t bits_per_pixel = 10;
constexpr std::int32_t bits_per_byte = 8;
constexpr std::int32_t bytes_per_pixel = 2;

// Products and sums of the camera's numbers in 32 bits, wrapping as 32-bit arithmetic does.
std::int32_t wrap32(std::uint32_t value) {
  return static_cast<std::int32_t>(value);
}
std::int32_t mul32(std::int32_t a, std::int32_t b) {
  return wrap32(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
std::int32_t add32(std::int32_t a, std::int32_t b) {
  return wrap32(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// A packed row of an odd number of bytes is followed by one fill byte, one of an odd number of
// 16-bit words by two.
std::int32_t fill_bytes_for(std::int32_t row_bits) {
  if ((row_bits / 8) % 2 != 0) {
    return 1;
  }
  return (row_bits / 16) % 2 != 0 ? 2 : 0;
}

void put_u32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

} // namespace

frame_assembly_state::~frame_assembly_state() {
  // One node may be held in two roles at once; free it once.
  if (held_poll_frame == held_wait_frame) {
    held_poll_frame = nullptr;
  }
  if (fill_node == held_wait_frame || fill_node == held_poll_frame) {
    fill_node = nullptr;
  }
  delete held_wait_frame;
  delete held_poll_frame;
  delete fill_node;
}

void acquisition_statistics::reset() noexcept {
  for (std::atomic<std::uint64_t>* counter :
       {&packets_seen, &frames_delivered, &dropped_disorder, &dropped_bad_magic,
        &dropped_overwritten, &dropped_no_slot, &dropped_short_packet, &dropped_bad_length}) {
    counter->store(0);
  }
}

frame_geometry geometry_for_region(std::int32_t width, std::int32_t height,
                                   std::int32_t calibration_lines, std::int32_t hbin,
                                   std::int32_t vbin, std::int32_t packets_per_frame) {
  frame_geometry g;
  g.width = width;
  g.height = height;
  g.hbin = hbin;
  g.vbin = vbin;
  g.row_fill_bytes = fill_bytes_for(mul32(bits_per_pixel, width));
  g.calibration_packed_bytes =
      mul32(mul32(width, calibration_lines), bits_per_pixel) / bits_per_byte;
  g.pixels_per_row = width;
  g.pixels_per_frame = add32(mul32(width, height), mul32(width, calibration_lines));
  g.unpacked_frame_bytes = mul32(mul32(bytes_per_pixel, width), add32(height, calibration_lines));
  g.slot_bytes = add32(g.unpacked_frame_bytes, static_cast<std::int32_t>(tag_block_bytes));
  g.packets_per_frame = packets_per_frame;
  return g;
}

bool cuts_into_slots(std::int32_t buffer_size, std::int32_t slot_bytes) {
  return slot_bytes >= 1 && buffer_size >= slot_bytes && buffer_size % slot_bytes == 0;
}

bool prepare_frame_path(frame_path& path, const frame_geometry& geometry, unsigned char* buffer,
                        std::int32_t buffer_size) {
  if (buffer == nullptr || !cuts_into_slots(buffer_size, geometry.slot_bytes)) {
    return false;
  }
  frame_assembly_state& a = path.assembly;
  // In the one order in which they are ever taken together.
  qmx::lock_guard wait_hold(a.wait_hold_mutex);
  qmx::lock_guard poll_hold(a.poll_hold_mutex);
  qmx::lock_guard path_lock(a.path_mutex);
  a.awaiting_frame_start = true;
  a.write_offset = 0;
  a.current_frame_id = 0;
  a.last_packet_index = 0;
  a.carry_count = 0;
  a.last_packet_flag = false;
  a.pixels_written = 0;
  a.rows_binned = 0;
  a.pending_skip = 0;
  a.frame_metadata = false;
  a.ignored_bad_magic = false;
  a.packets_per_frame = geometry.packets_per_frame;
  a.width = geometry.width;
  a.height = geometry.height;
  a.hbin = geometry.hbin;
  a.vbin = geometry.vbin;
  a.unpacked_frame_bytes = geometry.unpacked_frame_bytes;
  a.slot_bytes = geometry.slot_bytes;
  a.row_fill_bytes = geometry.row_fill_bytes;
  a.calibration_packed_bytes = geometry.calibration_packed_bytes;
  a.pixels_per_row = geometry.pixels_per_row;
  a.pixels_per_frame = geometry.pixels_per_frame;
  write_tag_block_template(a.tag_block);
  clear(a.free_queue);
  clear(a.filled_queue);
  // A node may be held in two roles at once (a destructor's concern too); free it once.
  for (frame_node** held : {&a.held_wait_frame, &a.fill_node, &a.held_poll_frame}) {
    frame_node* node = *held;
    for (frame_node** other : {&a.held_wait_frame, &a.fill_node, &a.held_poll_frame}) {
      if (*other == node) {
        *other = nullptr;
      }
    }
    delete node;
  }
  a.frame_buffer = buffer;
  a.frame_buffer_size = buffer_size;
  const std::int32_t slots = buffer_size / geometry.slot_bytes;
  for (std::int32_t i = 0; i < slots; ++i) {
    push(a.free_queue, new frame_node{buffer + std::ptrdiff_t{i} * geometry.slot_bytes, nullptr});
  }
  path.statistics.reset();
  a.stop_flag.store(false);
  return true;
}

void write_tag_block_template(unsigned char (&tag_block)[tag_block_bytes]) {
  static constexpr struct {
    char tag[4];
    std::uint32_t value;
  } entries[] = {{{'Q', 'M', 'X', '\0'}, 0}, {{'F', 'C', 'N', 'T'}, 0}, {{'P', 'C', 'K', 'L'}, 0},
                 {{'P', 'C', 'K', 'H'}, 0},  {{'I', 'O', 'F', 'F'}, 6}, {{'E', 'N', 'D', 'T'}, 0}};
  unsigned char* at = tag_block;
  for (const auto& entry : entries) {
    std::memcpy(at, entry.tag, sizeof entry.tag);
    put_u32(at + 4, entry.value);
    at += 8;
  }
}

} // namespace qmx
