// Fuzz target: the frame assembler fed hostile packet sequences (short packets, packets without a
// whole header, bad magic, huge indexes, wrong frame counters, random lengths and payloads, whole
// frames in between) for random geometries, into a frame path prepared as arming prepares it,
// with the host taking frames through both hand-outs. AddressSanitizer reports any access
// outside the armed slots or beyond a packet's received bytes: slots and packets start where
// their allocation starts and the bytes after them are poisoned. Checked after every operation:
// every slot is in exactly one place and the assembler's state agrees with it. A slot the host
// holds (the address a hand-out gave it) is poisoned while it is held, so an access to it is
// reported where it happens (to within the sanitizer's 8-byte granule at its end), and its
// checksum must be unchanged when the host gives it back; a frame handed out carries a tag
// block. Each input may feed the assembler a bounded number of packet bytes.
#include "camera/frame_assembler.h"
#include "camera/frame_delivery.h"
#include "camera/frame_path.h"
#include "fuzz/asan_poison.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int payload_bytes = qmx::max_packet_bytes - qmx::packet_header_bytes;
constexpr std::size_t max_operations = 256;
// Packet bytes one input may hand the assembler: 32 full packets, 12 frames of the largest
// geometry (enough to cycle its four slots twice with a frame held); later packets are skipped.
// Inputs that fed more spent most of the run's time assembling more frames of the same kinds.
constexpr std::size_t max_packet_bytes_per_input = std::size_t{512} * 1024;
constexpr int max_slots = 4;
// The largest geometry an input can draw: 1288 x 24 with 3 calibration lines.
constexpr std::size_t max_slot_bytes = qmx::tag_block_bytes + 2 * 1288 * (24 + 3);
constexpr std::size_t max_buffer_bytes = max_slots * max_slot_bytes;

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

// The host's buffer: one allocation for the whole run (an allocation per arming costs more than
// the assembler's work), the armed slots at its start, the bytes after them poisoned.
struct host_buffer {
  std::unique_ptr<unsigned char[]> storage{new unsigned char[max_buffer_bytes]};
  unsigned char* slots_start = storage.get();
  int slots = 0;
  int slot_bytes = 0;

  // Places `count` slots of `bytes`, zeroed; the rest poisoned.
  unsigned char* place(int count, int bytes) {
    const std::size_t used = static_cast<std::size_t>(count) * static_cast<std::size_t>(bytes);
    require(used <= max_buffer_bytes);
    ASAN_UNPOISON_MEMORY_REGION(storage.get(), max_buffer_bytes);
    std::memset(slots_start, 0, used);
    ASAN_POISON_MEMORY_REGION(slots_start + used, max_buffer_bytes - used);
    slots = count;
    slot_bytes = bytes;
    return slots_start;
  }
  void release() { ASAN_UNPOISON_MEMORY_REGION(storage.get(), max_buffer_bytes); }
};

// Packets are written at the start of one allocation of the largest packet size; the bytes after
// a packet's received bytes are poisoned while the assembler runs.
struct packet_buffer {
  std::unique_ptr<unsigned char[]> storage{new unsigned char[qmx::max_packet_bytes]};
  std::size_t length = 0;
  std::size_t fed = 0; // bytes fed for the current input

  unsigned char* begin(std::size_t bytes) {
    length = std::min<std::size_t>(bytes, qmx::max_packet_bytes);
    return storage.get();
  }
  void header(std::uint16_t magic, std::uint32_t index_word, std::uint32_t frame,
              std::uint32_t word8) {
    unsigned char h[qmx::packet_header_bytes] = {};
    h[0] = static_cast<unsigned char>(magic);
    h[1] = static_cast<unsigned char>(magic >> 8);
    h[2] = static_cast<unsigned char>(index_word);
    h[3] = static_cast<unsigned char>(index_word >> 8);
    for (int i = 0; i < 4; ++i) {
      h[4 + i] = static_cast<unsigned char>(frame >> (8 * i));
      h[8 + i] = static_cast<unsigned char>(word8 >> (8 * i));
    }
    std::memcpy(storage.get(), h, std::min<std::size_t>(length, sizeof h));
  }
  // Hands the packet over as exactly its `length` received bytes.
  void feed(qmx::frame_path& path) {
    if (fed + length > max_packet_bytes_per_input) {
      return;
    }
    fed += length;
    ASAN_POISON_MEMORY_REGION(storage.get() + length, qmx::max_packet_bytes - length);
    qmx::assemble_received_packet(path, length == 0 ? nullptr : storage.get(),
                                  static_cast<std::int32_t>(length));
    ASAN_UNPOISON_MEMORY_REGION(storage.get(), qmx::max_packet_bytes);
  }
};

// The payload bytes of the whole frames: byte i of a frame's stream is (i * 31 + seed) & 255.
// 31 is odd, so the sequence for any seed is the one for seed 0 shifted; one period of it is
// copied from here instead of computing every byte.
struct stream_pattern {
  std::array<unsigned char, 256 + qmx::max_packet_bytes> bytes{};
  stream_pattern() {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<unsigned char>(i * 31);
    }
  }
  // Writes stream bytes [start, start + n) for `seed` to `out`.
  void copy(unsigned char* out, std::size_t start, std::size_t n, std::uint8_t seed) const {
    constexpr unsigned inverse_31 = 223; // 31 * 223 = 6913 = 27 * 256 + 1
    const std::size_t shift = (seed * inverse_31) & 255u;
    std::memcpy(out, bytes.data() + ((start + shift) & 255u), n);
  }
};

// FNV-1a over 8-byte words and the tail: a checksum of a held slot.
std::uint64_t checksum(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p + i, 8);
    h = (h ^ word) * 0x100000001b3ull;
  }
  for (; i < n; ++i) {
    h = (h ^ p[i]) * 0x100000001b3ull;
  }
  return h;
}

// A slot the host holds through one of the hand-outs: poisoned while held, its checksum taken
// when it was handed out.
struct held_slot {
  unsigned char* slot = nullptr;
  std::uint64_t sum = 0;
};

struct fuzz_world {
  host_buffer buffer;
  packet_buffer packet;
  stream_pattern pattern;
};

fuzz_world& world() {
  static fuzz_world w;
  return w;
}

// Prepares `path` as arming does, for a geometry drawn from the input (widths that are not
// whole groups, odd fill counts and packet counts included).
void arm(qmx::frame_path& path, host_buffer& buffer, reader& in) {
  const std::uint8_t shape = in.byte();
  const int width = (shape & 0x80) != 0 ? 1280 + 4 * (in.byte() % 3) : 1 + in.byte() % 64;
  const int height = 1 + in.byte() % ((shape & 0x80) != 0 ? 24 : 40);
  const int calibration = in.byte() % 4;
  const int hbin = 1 + in.byte() % 4;
  const int vbin = 1 + in.byte() % 4;
  qmx::frame_geometry g = qmx::geometry_for_region(width, height, calibration, hbin, vbin, 0);
  if ((shape & 0x40) != 0) {
    g.row_fill_bytes = in.byte() % 3; // a stream the camera would not send
  }
  const int stream = (height + calibration) * (width * 10 / 8 + g.row_fill_bytes);
  g.packets_per_frame = (stream + payload_bytes - 1) / payload_bytes;
  if ((shape & 0x10) != 0) {
    g.packets_per_frame += static_cast<int>(in.byte() % 5) - 2;
  }
  path.assembly.metadata_enabled = (shape & 0x20) != 0;
  const int slots = 1 + (shape & 3);
  unsigned char* slots_start = buffer.place(slots, g.slot_bytes);
  require(qmx::prepare_frame_path(path, g, slots_start, slots * g.slot_bytes));
}

// Every node is in exactly one place and names a slot start inside the buffer, and the
// assembler's progress agrees with its filling node.
void check_nodes(qmx::frame_assembly_state& a, const host_buffer& buffer) {
  std::array<bool, max_slots> seen{};
  int count = 0;
  const auto note = [&](const qmx::frame_node* node) {
    const std::ptrdiff_t offset = node->slot - buffer.slots_start;
    require(offset >= 0 && offset % buffer.slot_bytes == 0 &&
            offset / buffer.slot_bytes < buffer.slots);
    const auto index = static_cast<std::size_t>(offset / buffer.slot_bytes);
    require(!seen[index]);
    seen[index] = true;
    ++count;
  };
  for (qmx::frame_queue* q : {&a.free_queue, &a.filled_queue}) {
    std::lock_guard lock(q->lock);
    for (const qmx::frame_node* n = q->head; n != nullptr; n = n->next) {
      note(n);
    }
  }
  for (const qmx::frame_node* n : {a.fill_node, a.held_wait_frame, a.held_poll_frame}) {
    if (n != nullptr) {
      note(n);
    }
  }
  require(count == buffer.slots);
  require(a.awaiting_frame_start == (a.fill_node == nullptr));
}

// The tag block starts the slot, or (a frame begun without metadata) follows the pixels.
bool tagged(const unsigned char* slot, std::int32_t unpacked_frame_bytes) {
  const auto has_tags = [](const unsigned char* tag) {
    return std::memcmp(tag + 8, "FCNT", 4) == 0 && std::memcmp(tag + 32, "IOFF", 4) == 0;
  };
  return has_tags(slot) || has_tags(slot + unpacked_frame_bytes);
}

// The host gives a held slot back (its bytes unchanged since it was handed out) and then holds
// the slot at `address`, if any, until the next hand-out of the same kind. A frame handed out
// must carry a tag block: checked before the slot is poisoned.
void hold(held_slot& held, std::uint64_t address, const host_buffer& buffer,
          std::int32_t unpacked_frame_bytes) {
  const auto bytes = static_cast<std::size_t>(buffer.slot_bytes);
  if (held.slot != nullptr) {
    ASAN_UNPOISON_MEMORY_REGION(held.slot, bytes);
    require(checksum(held.slot, bytes) == held.sum);
    held.slot = nullptr;
  }
  if (address == 0) {
    return;
  }
  auto* slot = reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(address));
  const std::ptrdiff_t offset = slot - buffer.slots_start;
  require(offset >= 0 && offset % buffer.slot_bytes == 0 &&
          offset / buffer.slot_bytes < buffer.slots);
  require(tagged(slot, unpacked_frame_bytes));
  held.slot = slot;
  held.sum = checksum(slot, bytes);
  ASAN_POISON_MEMORY_REGION(slot, bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_world& w = world();
  w.packet.fed = 0;
  reader in(data, size);
  auto path = std::make_unique<qmx::frame_path>();
  qmx::frame_assembly_state& a = path->assembly;
  arm(*path, w.buffer, in);
  std::uint32_t frame = 0;
  held_slot held_wait;
  held_slot held_poll;
  const auto release_holds = [&] {
    hold(held_wait, 0, w.buffer, 0);
    hold(held_poll, 0, w.buffer, 0);
  };
  for (std::size_t n = 0; n < max_operations && !in.empty(); ++n) {
    const std::uint8_t op = in.byte();
    switch (op % 8) {
    case 0: { // a whole frame as the camera splits it, its payload drawn from the input
      ++frame;
      const int rows = a.height + (a.calibration_packed_bytes * 8 / 10 / std::max(1, a.width));
      const std::size_t stream = static_cast<std::size_t>(rows) *
                                 static_cast<std::size_t>(a.width * 10 / 8 + a.row_fill_bytes);
      const std::uint8_t seed = in.byte();
      for (std::size_t start = 0, index = 0; start < std::max<std::size_t>(stream, 1);
           start += payload_bytes, ++index) {
        const std::size_t end = std::min(stream, start + payload_bytes);
        const bool last = end >= stream;
        const std::size_t bytes = end > start ? end - start : 0;
        unsigned char* p = w.packet.begin(qmx::packet_header_bytes + bytes);
        w.packet.header(qmx::packet_magic,
                        static_cast<std::uint32_t>(index) | (last ? 0x8000u : 0u), frame,
                        frame * 3);
        w.pattern.copy(p + qmx::packet_header_bytes, start, bytes, seed);
        w.packet.feed(*path);
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
      const std::uint32_t word8 = in.u32();
      // Full, a header with a few payload bytes, under 256 bytes, or any length.
      const std::uint8_t kind = (op & 0x10) != 0 ? 0xFF : in.byte();
      const std::size_t length = kind == 0xFF  ? qmx::max_packet_bytes
                                 : kind < 0x60 ? 16 + kind % 8
                                 : kind < 0xC0 ? in.byte()
                                               : in.u16() % (qmx::max_packet_bytes + 1);
      const std::uint8_t fill = in.byte();
      unsigned char* p = w.packet.begin(length);
      std::memset(p, fill, length);
      w.packet.header(magic, index_word, counter, word8);
      w.packet.feed(*path);
      break;
    }
    case 3: { // fewer than 16 bytes, or none
      const std::uint32_t index_word = in.byte() % 2;
      w.packet.begin(in.byte() % 16);
      w.packet.header(qmx::packet_magic, index_word, frame, 0);
      w.packet.feed(*path);
      break;
    }
    case 4: { // the host gives its held frame back and takes the oldest completed one
      // The host holds what a hand-out gave it, by address, until its next call of the same one.
      if ((op & 0x80) != 0) {
        // The waiting hand-out waits without limit: only when it would return at once.
        bool ready = false;
        {
          std::lock_guard lock(a.filled_queue.lock);
          ready = a.filled_queue.head != nullptr || a.filled_queue.aborted;
        }
        if (ready) {
          hold(held_wait, 0, w.buffer, 0);
          hold(held_wait, qmx::take_frame_for_wait(a), w.buffer, a.unpacked_frame_bytes);
        }
      } else {
        hold(held_poll, 0, w.buffer, 0);
        hold(held_poll, qmx::take_frame_for_poll(a), w.buffer, a.unpacked_frame_bytes); // 0 ms
      }
      break;
    }
    case 5: // the metadata setting changes at any moment
      a.metadata_enabled = !a.metadata_enabled;
      break;
    case 6: // stop, or arming again after a stop
      if (!a.stop_flag.load() && (op & 0x80) == 0) {
        qmx::abort_delivery(a, false);
      } else {
        release_holds();
        arm(*path, w.buffer, in);
      }
      break;
    default: { // a packet of another frame, a repeated index or a huge index, full length
      const std::uint32_t index_word = (op & 0x80) != 0 ? 0x7FFF : in.byte() % 3;
      const std::uint32_t last = (in.byte() & 0x80u) << 8;
      const std::uint32_t counter = frame + 1 + in.byte() % 2;
      unsigned char* p = w.packet.begin(qmx::max_packet_bytes);
      std::memset(p, in.byte(), qmx::max_packet_bytes);
      w.packet.header(qmx::packet_magic, index_word | last, counter, 0);
      w.packet.feed(*path);
      break;
    }
    }
    check_nodes(a, w.buffer);
  }
  release_holds();
  w.buffer.release();
  return 0;
}
