// Camera data path, frame assembly: packet checks, slot filling, frame end with binning, and the
// taking and dropping of the slot being filled.
#include "camera/frame_assembler.h"

#include "camera/binning.h"
#include "camera/frame_delivery.h"
#include "camera/raw10.h"
#include "camera/usb_transport.h"

#include <algorithm>
#include <cstring>

namespace qmx {

namespace {

// Tag block entries whose values change per frame: the value follows its 4-byte tag.
constexpr std::size_t tag_frame_counter_value = 12;  // "FCNT"
constexpr std::size_t tag_header_word_8_value = 20;  // "PCKL"
constexpr std::size_t tag_header_word_12_value = 28; // "PCKH"

constexpr std::size_t header_magic = 0;
constexpr std::size_t header_index_word = 2;
constexpr std::size_t header_frame_counter = 4;
constexpr std::size_t header_word_8 = 8;
constexpr std::size_t header_word_12 = 12;

std::uint16_t read_u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t read_u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void write_u32(unsigned char* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// Where the parts of a frame lie in its slot. With metadata the tag block starts the slot and
// the image follows it; without, the image starts the slot. The calibration lines are unpacked
// behind the image, at the end of the image area, so that removing them moves nothing; without
// metadata the tag block follows them at the slot's end.
struct slot_layout {
  std::int64_t tag = 0;
  std::int64_t image = 0;
  std::int64_t calibration = 0;
  std::int64_t calibration_bytes = 0;
  std::int64_t image_bytes = 0;
};

slot_layout layout_of(const frame_assembly_state& a, bool metadata) {
  slot_layout l;
  l.calibration_bytes = std::int64_t{a.calibration_packed_bytes} * 8 / 5;
  l.image_bytes = std::int64_t{a.unpacked_frame_bytes} - l.calibration_bytes;
  l.image = metadata ? std::int64_t{tag_block_bytes} : 0;
  l.calibration = l.image + l.image_bytes;
  l.tag = metadata ? 0 : std::int64_t{a.unpacked_frame_bytes};
  return l;
}

// Whether a slot can hold the frame as the layout places it, and the slot lies in the buffer;
// arming keeps both true, and the check keeps every write inside the buffer whatever it left.
bool slot_fits(const frame_assembly_state& a, const unsigned char* slot) {
  const slot_layout l = layout_of(a, a.frame_metadata);
  const std::int64_t frame_end = std::int64_t{tag_block_bytes} + a.unpacked_frame_bytes;
  if (a.frame_buffer == nullptr || slot < a.frame_buffer || a.slot_bytes < 0 ||
      l.calibration_bytes < 0 || l.image_bytes < 0 || frame_end > a.slot_bytes) {
    return false;
  }
  const std::int64_t start = slot - a.frame_buffer;
  return start + a.slot_bytes <= std::int64_t{a.frame_buffer_size};
}

enum class drop_cause { disorder, short_packet };

// Drops the open frame: its slot goes back to the free queue and the assembler waits for a first
// packet. The count names why: the frame's last packet had come (its length was wrong), the packet
// ignored just before had a bad magic, or a packet was missing, repeated or foreign.
void drop_open_frame(frame_assembly_state& a, acquisition_statistics& s, drop_cause cause,
                     bool previous_bad_magic) {
  if (cause == drop_cause::short_packet) {
    ++s.dropped_short_packet;
  } else if (a.last_packet_flag) {
    ++s.dropped_bad_length;
  } else if (previous_bad_magic) {
    ++s.dropped_bad_magic;
  } else {
    ++s.dropped_disorder;
  }
  a.awaiting_frame_start = true;
  drop_fill_slot(a);
}

// Opens a frame in a new slot for the first packet at `packet`; false when no slot could be had.
bool open_frame(frame_path& path, const unsigned char* packet, std::uint32_t frame) {
  frame_assembly_state& a = path.assembly;
  acquisition_statistics& s = path.statistics;
  if (!acquire_fill_slot(path)) {
    ++s.dropped_no_slot;
    return false;
  }
  a.frame_metadata = a.metadata_enabled;
  if (!slot_fits(a, a.fill_node->slot)) {
    ++s.dropped_bad_length;
    drop_fill_slot(a);
    return false;
  }
  a.write_offset = 0;
  a.carry_count = 0;
  a.pending_skip = 0;
  a.last_packet_index = 0;
  a.last_packet_flag = false;
  write_u32(a.tag_block + tag_frame_counter_value, frame);
  write_u32(a.tag_block + tag_header_word_8_value, read_u32(packet + header_word_8));
  write_u32(a.tag_block + tag_header_word_12_value, read_u32(packet + header_word_12));
  const slot_layout l = layout_of(a, a.frame_metadata);
  std::memcpy(a.fill_node->slot + l.tag, a.tag_block, tag_block_bytes);
  a.write_offset = static_cast<std::int32_t>(tag_block_bytes);
  a.current_frame_id = frame;
  a.awaiting_frame_start = false;
  a.pixels_written = 0;
  a.rows_binned = 0;
  return true;
}

// Whether the open frame is binned: beside the size condition of binning (the frame's unpacked
// bytes reach the image's bytes plus the image's offset), binning reads only the image area.
bool frame_is_binned(const frame_assembly_state& a, const slot_layout& l) {
  const std::int64_t image_pixel_bytes = std::int64_t{2} * a.width * a.height;
  return (a.hbin > 1 || a.vbin > 1) && a.width > 0 && a.height > 0 &&
         a.unpacked_frame_bytes >= image_pixel_bytes + l.image &&
         image_pixel_bytes <= l.image_bytes;
}

// Bins the output rows whose input rows are all unpacked and not binned yet, while those rows are
// still in the processor's caches. The stream carries the calibration lines first, then the image
// rows in order, so the image rows written so far follow from the pixels written.
void bin_ready_rows(frame_assembly_state& a, const slot_layout& l) {
  const std::int64_t image_written = std::int64_t{2} * a.pixels_written - l.calibration_bytes;
  if (image_written <= 0) {
    return;
  }
  const std::int64_t rows_done =
      std::min<std::int64_t>(image_written / (std::int64_t{2} * a.width), a.height);
  const auto ready = static_cast<std::int32_t>(rows_done / a.vbin);
  if (ready > a.rows_binned) {
    bin_rows_in_place(a.fill_node->slot + l.image, a.width, a.height, a.hbin, a.vbin, a.rows_binned,
                      ready);
    a.rows_binned = ready;
  }
}

// The frame's last packet has filled the slot exactly: bins what is left to bin and hands the
// slot over. The calibration lines already lie behind the image, so removing them moves nothing.
void complete_frame(frame_assembly_state& a, acquisition_statistics& s) {
  const slot_layout l = layout_of(a, a.frame_metadata);
  if (frame_is_binned(a, l)) {
    bin_ready_rows(a, l);
  }
  push(a.filled_queue, a.fill_node);
  ++s.frames_delivered;
  a.fill_node = nullptr;
  a.awaiting_frame_start = true;
}

} // namespace

void assemble_packet(const image_completion& completion) {
  auto* path = static_cast<frame_path*>(completion.context);
  if (path != nullptr) {
    path->assembly.completions_seen.fetch_add(1, std::memory_order_relaxed);
    // The preparation takes this lock while it rewrites the state: a packet is handled wholly
    // before or wholly after it. Uncontended otherwise, it costs a few nanoseconds per 16 KB
    // packet.
    qmx::lock_guard hold(path->assembly.path_mutex);
    assemble_received_packet(*path, completion.buffer, completion.received_length);
  }
  *completion.resubmit = true;
}

void assemble_received_packet(frame_path& path, const unsigned char* packet,
                              std::int32_t received) {
  frame_assembly_state& a = path.assembly;
  acquisition_statistics& s = path.statistics;
  if (a.frame_buffer == nullptr || a.frame_buffer_size == 0) {
    set_image_event(a); // unarmed: every completion, empty and failed ones included
    return;
  }
  if (a.stop_flag.load()) {
    return;
  }
  ++s.packets_seen;
  // Whether the completion just before, inside the open frame, was a packet with a bad magic.
  const bool previous_bad_magic = a.ignored_bad_magic;
  a.ignored_bad_magic = false;
  const std::int32_t length = std::clamp(received, 0, max_packet_bytes);
  if (length < packet_header_bytes || packet == nullptr) {
    return; // empty, or no whole header: nothing to read
  }
  if (read_u16(packet + header_magic) != packet_magic) {
    a.ignored_bad_magic = !a.awaiting_frame_start;
    return;
  }
  const std::uint16_t index_word = read_u16(packet + header_index_word);
  const std::uint32_t index = index_word & packet_index_mask;
  const bool last = (index_word & last_packet_bit) != 0;
  const std::uint32_t frame = read_u32(packet + header_frame_counter);
  // A packet other than the last carries a full packet; one that arrived short would leave
  // stale bytes in its frame.
  const bool short_packet = !last && length < max_packet_bytes;

  if (!a.awaiting_frame_start) {
    if (frame != a.current_frame_id && index != 0) {
      drop_open_frame(a, s, drop_cause::disorder, previous_bad_magic);
      return;
    }
    if (index != a.last_packet_index + 1) {
      drop_open_frame(a, s, drop_cause::disorder, previous_bad_magic);
      if (index != 0) {
        return;
      }
    }
    a.last_packet_index = index;
  }
  if (index == 0) {
    if (short_packet) {
      ++s.dropped_short_packet; // the new frame is lost before it takes a slot
      return;
    }
    if (!open_frame(path, packet, frame)) {
      return;
    }
  }
  if (a.awaiting_frame_start) {
    return; // a frame whose first packet was missed
  }
  a.last_packet_flag = last;
  if (short_packet) {
    drop_open_frame(a, s, drop_cause::short_packet, false);
    return;
  }
  const std::int32_t payload = length - packet_header_bytes;
  if (payload > 0) {
    const slot_layout l = layout_of(a, a.frame_metadata);
    unsigned char* slot = a.fill_node->slot;
    raw10_destination destination;
    destination.calibration = slot + l.calibration;
    destination.calibration_bytes = static_cast<std::int32_t>(l.calibration_bytes);
    destination.image = slot + l.image;
    destination.image_bytes = static_cast<std::int32_t>(l.image_bytes);
    a.write_offset += unpack_raw10(a, destination, packet + packet_header_bytes, payload);
    if (frame_is_binned(a, l)) {
      bin_ready_rows(a, l);
    }
  }
  if (std::int64_t{index} >= std::int64_t{a.packets_per_frame} - 1 && a.last_packet_flag &&
      a.write_offset == a.slot_bytes) {
    complete_frame(a, s);
  }
}

bool acquire_fill_slot(frame_path& path) {
  frame_assembly_state& a = path.assembly;
  drop_fill_slot(a); // never lose a slot still named here
  frame_node* node = take(a.free_queue, 0);
  if (node == nullptr) {
    node = take(a.filled_queue, 0);
    if (node != nullptr) {
      ++path.statistics.dropped_overwritten;
    }
  }
  a.fill_node = node;
  return node != nullptr;
}

void drop_fill_slot(frame_assembly_state& a) {
  if (a.fill_node != nullptr) {
    push(a.free_queue, a.fill_node);
    a.fill_node = nullptr;
  }
}

} // namespace qmx
