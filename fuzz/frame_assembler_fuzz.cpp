// Fuzz target: the frame assembler fed hostile packet sequences (short packets, packets without a
// whole header, bad magic, huge indexes, wrong frame counters, random lengths and payloads, whole
// frames in between) for random geometries, into a slot buffer exactly the size of the armed
// slots. AddressSanitizer reports any access outside the buffer or beyond a packet's received
// bytes (each packet is an allocation of exactly its received length). Checked after every
// packet: every slot is in exactly one place, a slot the host holds is never written, and a
// delivered frame carries the tag block of its first packet.
#include "camera/camera.h"
#include "camera/frame_assembler.h"
#include "camera/frame_delivery.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace {

constexpr int payload_bytes = qmx::max_packet_bytes - qmx::packet_header_bytes;
constexpr std::size_t max_operations = 256;

// Stops the run with the failed condition's line, so that a finding says what broke.
void require_at(bool condition, int line) {
  if (!condition) {
    std::fprintf(stderr, "frame_assembler_fuzz: check on line %d failed\n", line);
    std::abort();
  }
}
#define require(condition) require_at((condition), __LINE__)

class reader {
public:
  reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::uint32_t u16() { return byte() | (static_cast<std::uint32_t>(byte()) << 8); }
  std::uint32_t u32() { return u16() | (u16() << 16); }

private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

struct host_buffer {
  std::unique_ptr<unsigned char[]> bytes; // exactly the slots, nothing around them
  int slots = 0;
  int slot_bytes = 0;
};

// Arms `a` as arming does, for a geometry drawn from the input (widths that are not whole
// groups, odd fill counts and packet counts included).
void arm(qmx::frame_assembly_state& a, qmx::acquisition_statistics& s, host_buffer& buffer,
         reader& in) {
  delete a.held_wait_frame;
  a.held_wait_frame = nullptr;
  delete a.fill_node;
  a.fill_node = nullptr;
  qmx::clear_queues(a);
  const std::uint8_t shape = in.byte();
  const int width = (shape & 0x80) != 0 ? 1280 + 4 * (in.byte() % 3) : 1 + in.byte() % 64;
  const int height = 1 + in.byte() % ((shape & 0x80) != 0 ? 24 : 40);
  const int calibration = in.byte() % 4;
  const int row_bits = 10 * width;
  int fill = (row_bits / 8) % 2 == 1 ? 1 : ((row_bits / 16) % 2 == 1 ? 2 : 0);
  if ((shape & 0x40) != 0) {
    fill = in.byte() % 3;
  }
  a.metadata_enabled = (shape & 0x20) != 0;
  a.width = width;
  a.height = height;
  a.hbin = 1 + in.byte() % 4;
  a.vbin = 1 + in.byte() % 4;
  a.row_fill_bytes = fill;
  a.calibration_packed_bytes = width * calibration * 10 / 8;
  a.pixels_per_row = width;
  a.pixels_per_frame = width * height + width * calibration;
  a.unpacked_frame_bytes = 2 * width * (height + calibration);
  a.slot_bytes = 48 + a.unpacked_frame_bytes;
  const int stream = (height + calibration) * (width * 10 / 8 + fill);
  a.packets_per_frame = (stream + payload_bytes - 1) / payload_bytes;
  if ((shape & 0x10) != 0) {
    a.packets_per_frame += static_cast<int>(in.byte() % 5) - 2;
  }
  a.awaiting_frame_start = true;
  a.write_offset = 0;
  a.current_frame_id = 0;
  a.last_packet_index = 0;
  a.carry_count = 0;
  a.last_packet_flag = false;
  a.stop_flag.store(false);
  std::memset(a.tag_block, 0, sizeof a.tag_block);
  std::memcpy(a.tag_block, "QMX", 3);
  std::memcpy(a.tag_block + 8, "FCNT", 4);
  std::memcpy(a.tag_block + 16, "PCKL", 4);
  std::memcpy(a.tag_block + 24, "PCKH", 4);
  std::memcpy(a.tag_block + 32, "IOFF", 4);
  a.tag_block[36] = 6;
  std::memcpy(a.tag_block + 40, "ENDT", 4);

  buffer.slots = 1 + (shape & 3);
  buffer.slot_bytes = a.slot_bytes;
  const std::size_t total = static_cast<std::size_t>(buffer.slots) * buffer.slot_bytes;
  buffer.bytes.reset(new unsigned char[total]);
  std::memset(buffer.bytes.get(), 0, total);
  a.frame_buffer = buffer.bytes.get();
  a.frame_buffer_size = static_cast<std::int32_t>(total);
  for (int i = 0; i < buffer.slots; ++i) {
    auto* node = new qmx::frame_node;
    node->slot = a.frame_buffer + static_cast<std::ptrdiff_t>(i) * buffer.slot_bytes;
    qmx::push(a.free_queue, node);
  }
  s.reset();
}

std::vector<unsigned char> header(std::uint16_t magic, std::uint32_t index_word,
                                  std::uint32_t frame, std::uint32_t word8) {
  std::vector<unsigned char> h(16, 0);
  h[0] = static_cast<unsigned char>(magic);
  h[1] = static_cast<unsigned char>(magic >> 8);
  h[2] = static_cast<unsigned char>(index_word);
  h[3] = static_cast<unsigned char>(index_word >> 8);
  for (int i = 0; i < 4; ++i) {
    h[static_cast<std::size_t>(4 + i)] = static_cast<unsigned char>(frame >> (8 * i));
    h[static_cast<std::size_t>(8 + i)] = static_cast<unsigned char>(word8 >> (8 * i));
  }
  return h;
}

// Hands `bytes` over as exactly `length` received bytes in an allocation of that size.
void feed(qmx::frame_assembly_state& a, qmx::acquisition_statistics& s,
          const std::vector<unsigned char>& bytes, std::size_t length) {
  length = std::min(length, bytes.size());
  std::unique_ptr<unsigned char[]> exact(length == 0 ? nullptr : new unsigned char[length]);
  if (length != 0) {
    std::memcpy(exact.get(), bytes.data(), length);
  }
  qmx::assemble_received_packet(a, s, exact.get(), static_cast<std::int32_t>(length));
}

// Every node is in exactly one place and names a slot start inside the buffer.
void check_nodes(qmx::frame_assembly_state& a, const host_buffer& buffer) {
  std::set<const unsigned char*> seen;
  int count = 0;
  const auto note = [&](const qmx::frame_node* node) {
    const std::ptrdiff_t offset = node->slot - a.frame_buffer;
    require(offset >= 0 && offset % buffer.slot_bytes == 0 &&
            offset / buffer.slot_bytes < buffer.slots);
    require(seen.insert(node->slot).second);
    ++count;
  };
  for (qmx::frame_queue* q : {&a.free_queue, &a.filled_queue}) {
    std::lock_guard lock(q->lock);
    for (const qmx::frame_node* n = q->head; n != nullptr; n = n->next) {
      note(n);
    }
  }
  if (a.fill_node != nullptr) {
    note(a.fill_node);
  }
  if (a.held_wait_frame != nullptr) {
    note(a.held_wait_frame);
  }
  require(count == buffer.slots);
  require(a.awaiting_frame_start == (a.fill_node == nullptr));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reader in(data, size);
  auto a = std::make_unique<qmx::frame_assembly_state>();
  qmx::acquisition_statistics s;
  host_buffer buffer;
  arm(*a, s, buffer, in);
  std::uint32_t frame = 0;
  std::vector<unsigned char> held_copy; // the held slot's bytes when the host took it
  for (std::size_t n = 0; n < max_operations && !in.empty(); ++n) {
    const std::uint8_t op = in.byte();
    switch (op % 8) {
    case 0: { // a whole frame as the camera splits it, its payload drawn from the input
      ++frame;
      const int rows = a->height + (a->calibration_packed_bytes * 8 / 10 / std::max(1, a->width));
      const std::size_t stream = static_cast<std::size_t>(rows) *
                                 static_cast<std::size_t>(a->width * 10 / 8 + a->row_fill_bytes);
      const std::uint8_t seed = in.byte();
      for (std::size_t start = 0, index = 0; start < std::max<std::size_t>(stream, 1);
           start += payload_bytes, ++index) {
        const std::size_t end = std::min(stream, start + payload_bytes);
        const bool last = end >= stream;
        std::vector<unsigned char> p =
            header(qmx::packet_magic, static_cast<std::uint32_t>(index) | (last ? 0x8000u : 0u),
                   frame, frame * 3);
        for (std::size_t i = start; i < end; ++i) {
          p.push_back(static_cast<unsigned char>(i * 31 + seed));
        }
        feed(*a, s, p, p.size());
      }
      break;
    }
    case 1:
    case 2: { // a packet with a header from the input and a random length and payload
      const std::uint16_t magic =
          (op & 0x80) != 0 ? static_cast<std::uint16_t>(in.u16()) : qmx::packet_magic;
      const std::uint32_t index_word =
          (op & 0x40) != 0 ? in.u16() : (in.byte() % 4) | ((op & 0x08) != 0 ? 0x8000u : 0u);
      const std::uint32_t counter = (op & 0x20) != 0 ? in.u32() : frame + in.byte() % 3;
      std::vector<unsigned char> p = header(magic, index_word, counter, in.u32());
      // Full, a header with a few payload bytes, under 256 bytes, or any length.
      const std::uint8_t kind = (op & 0x10) != 0 ? 0xFF : in.byte();
      const std::size_t length = kind == 0xFF  ? qmx::max_packet_bytes
                                 : kind < 0x60 ? 16 + kind % 8
                                 : kind < 0xC0 ? in.byte()
                                               : in.u16() % (qmx::max_packet_bytes + 1);
      const std::uint8_t fill = in.byte();
      p.resize(std::max<std::size_t>(length, 16), fill);
      feed(*a, s, p, length);
      break;
    }
    case 3: { // fewer than 16 bytes, or none
      std::vector<unsigned char> p = header(qmx::packet_magic, in.byte() % 2, frame, 0);
      feed(*a, s, p, in.byte() % 16);
      break;
    }
    case 4: { // the host gives its held frame back and takes the oldest completed one
      if (a->held_wait_frame != nullptr) {
        require(std::memcmp(a->held_wait_frame->slot, held_copy.data(), held_copy.size()) == 0);
        qmx::push(a->free_queue, a->held_wait_frame);
        a->held_wait_frame = nullptr;
      }
      a->held_wait_frame = qmx::take(a->filled_queue, 0);
      if (a->held_wait_frame != nullptr) {
        const unsigned char* slot = a->held_wait_frame->slot;
        held_copy.assign(slot, slot + buffer.slot_bytes);
        // The tag block starts the slot, or (a frame begun without metadata) follows the pixels.
        const auto tagged = [](const unsigned char* tag) {
          return std::memcmp(tag + 8, "FCNT", 4) == 0 && std::memcmp(tag + 32, "IOFF", 4) == 0;
        };
        require(tagged(slot) || tagged(slot + a->unpacked_frame_bytes));
      }
      break;
    }
    case 5: // the metadata setting changes at any moment
      a->metadata_enabled = !a->metadata_enabled;
      break;
    case 6: // stop, or arming again after a stop
      if (!a->stop_flag.load() && (op & 0x80) == 0) {
        qmx::abort_delivery(*a, false);
      } else {
        held_copy.clear();
        arm(*a, s, buffer, in);
      }
      break;
    default: { // a packet of another frame, a repeated index or a huge index, full length
      const std::uint32_t index_word = (op & 0x80) != 0 ? 0x7FFF : in.byte() % 3;
      std::vector<unsigned char> p = header(
          qmx::packet_magic, index_word | (in.byte() & 0x80u) << 8, frame + 1 + in.byte() % 2, 0);
      p.resize(qmx::max_packet_bytes, in.byte());
      feed(*a, s, p, p.size());
      break;
    }
    }
    check_nodes(*a, buffer);
    if (a->held_wait_frame != nullptr) {
      require(std::memcmp(a->held_wait_frame->slot, held_copy.data(), held_copy.size()) == 0);
    }
  }
  return 0;
}
