// The frame path on hand-made packets, prepared as arming prepares it: frames filled and
// delivered pixel for pixel, groups and row fill bytes cut by packet boundaries, dropped frames
// and where their slots go, overwriting the oldest frame, binning, the slot layout with and
// without metadata, short and hostile packets, the unarmed image-wait event, the acquisition
// statistics, and the preparation itself (geometry, slots, what a new preparation discards).
#include "camera/frame_assembler.h"
#include "camera/frame_delivery.h"
#include "camera/usb_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr int payload_per_packet = qmx::max_packet_bytes - qmx::packet_header_bytes; // 16368
constexpr std::size_t guard_bytes = 64;
constexpr std::uint8_t guard_value = 0xA5;
constexpr std::uint8_t fill_value = 0xEE;

struct geometry {
  int width = 4;
  int height = 2;
  int calibration_lines = 0;
  int row_fill_bytes = -1; // -1: as arming derives it from the width
  int hbin = 1;
  int vbin = 1;
  bool metadata = true;
  int slots = 2;

  int fill() const {
    if (row_fill_bytes >= 0) {
      return row_fill_bytes;
    }
    const int row_bits = 10 * width;
    return (row_bits / 8) % 2 == 1 ? 1 : ((row_bits / 16) % 2 == 1 ? 2 : 0);
  }
  int rows() const { return height + calibration_lines; }
  int row_stream_bytes() const { return width * 10 / 8 + fill(); }
  int stream_bytes() const { return rows() * row_stream_bytes(); }
  int packets() const { return (stream_bytes() + payload_per_packet - 1) / payload_per_packet; }
  int unpacked_bytes() const { return 2 * width * rows(); }
  int slot_bytes() const { return 48 + unpacked_bytes(); }
};

// The test pattern: a value for each frame, stream row (calibration lines first) and column.
std::uint16_t pattern(std::uint32_t frame, int row, int column) {
  std::uint32_t x = frame * 0x9E3779B1u ^ static_cast<std::uint32_t>(row) * 0x85EBCA77u ^
                    static_cast<std::uint32_t>(column) * 0xC2B2AE3Du;
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 12;
  return static_cast<std::uint16_t>(x & 1023);
}

// The frame's packed stream: every row in 5-byte groups, then its fill bytes.
bytes pack_frame(const geometry& g, std::uint32_t frame) {
  bytes stream;
  stream.reserve(static_cast<std::size_t>(g.stream_bytes()));
  for (int row = 0; row < g.rows(); ++row) {
    for (int column = 0; column < g.width; column += 4) {
      unsigned low = 0;
      for (int k = 0; k < 4; ++k) {
        const unsigned value = pattern(frame, row, column + k);
        stream.push_back(static_cast<std::uint8_t>(value >> 2));
        low |= (value & 3u) << (2 * k);
      }
      stream.push_back(static_cast<std::uint8_t>(low));
    }
    stream.insert(stream.end(), static_cast<std::size_t>(g.fill()), fill_value);
  }
  return stream;
}

bytes header(std::uint32_t index_word, std::uint32_t frame, std::uint32_t word8 = 0,
             std::uint32_t word12 = 0, std::uint16_t magic = qmx::packet_magic) {
  bytes h(16);
  h[0] = static_cast<std::uint8_t>(magic);
  h[1] = static_cast<std::uint8_t>(magic >> 8);
  h[2] = static_cast<std::uint8_t>(index_word);
  h[3] = static_cast<std::uint8_t>(index_word >> 8);
  for (int i = 0; i < 4; ++i) {
    h[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(frame >> (8 * i));
    h[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(word8 >> (8 * i));
    h[static_cast<std::size_t>(12 + i)] = static_cast<std::uint8_t>(word12 >> (8 * i));
  }
  return h;
}

bytes packet(std::uint32_t index_word, std::uint32_t frame, const bytes& payload,
             std::uint32_t word8 = 0, std::uint32_t word12 = 0) {
  bytes p = header(index_word, frame, word8, word12);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

// The frame's packets as the camera splits them: full packets, the last with the rest.
std::vector<bytes> frame_packets(const geometry& g, std::uint32_t frame, std::uint32_t word8 = 0,
                                 std::uint32_t word12 = 0) {
  const bytes stream = pack_frame(g, frame);
  std::vector<bytes> packets;
  for (std::size_t start = 0, index = 0; start < stream.size();
       start += payload_per_packet, ++index) {
    const std::size_t end = std::min(stream.size(), start + payload_per_packet);
    const bool last = end == stream.size();
    const bytes payload(stream.begin() + static_cast<std::ptrdiff_t>(start),
                        stream.begin() + static_cast<std::ptrdiff_t>(end));
    packets.push_back(packet(static_cast<std::uint32_t>(index) | (last ? 0x8000u : 0u), frame,
                             payload, word8 + static_cast<std::uint32_t>(index), word12));
  }
  return packets;
}

std::uint16_t pixel_at(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32_at(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

// A frame path prepared as arming prepares it, over a buffer with guard bytes on both sides.
class frame_assembly : public ::testing::Test {
protected:
  qmx::frame_path path;
  qmx::frame_assembly_state& a = path.assembly;
  qmx::acquisition_statistics& s = path.statistics;
  bytes storage;
  geometry g;

  void arm(const geometry& geo) {
    g = geo;
    storage.assign(guard_bytes + static_cast<std::size_t>(g.slots) * g.slot_bytes() + guard_bytes,
                   guard_value);
    a.metadata_enabled = g.metadata;
    qmx::frame_geometry prepared = qmx::geometry_for_region(g.width, g.height, g.calibration_lines,
                                                            g.hbin, g.vbin, g.packets());
    if (g.row_fill_bytes >= 0) {
      prepared.row_fill_bytes = g.row_fill_bytes; // a stream the camera would not send
    }
    ASSERT_EQ(prepared.slot_bytes, g.slot_bytes());
    ASSERT_EQ(prepared.row_fill_bytes, g.fill());
    ASSERT_TRUE(qmx::prepare_frame_path(path, prepared, storage.data() + guard_bytes,
                                        g.slots * g.slot_bytes()));
  }

  void TearDown() override {
    for (std::size_t i = 0; i < guard_bytes && !storage.empty(); ++i) {
      ASSERT_EQ(storage[i], guard_value) << "written before the buffer";
      ASSERT_EQ(storage[storage.size() - 1 - i], guard_value) << "written after the buffer";
    }
  }

  // Hands one packet over as exactly its bytes (a read beyond them is an ASan report).
  void feed(const bytes& p) {
    std::vector<unsigned char> exact(p.begin(), p.end());
    exact.shrink_to_fit();
    qmx::assemble_received_packet(path, exact.empty() ? nullptr : exact.data(),
                                  static_cast<std::int32_t>(exact.size()));
  }
  void feed_all(const std::vector<bytes>& packets) {
    for (const bytes& p : packets) {
      feed(p);
    }
  }

  unsigned char* slot(int i) {
    return a.frame_buffer + static_cast<std::ptrdiff_t>(i) * g.slot_bytes();
  }

  // The slots of a queue, head first, by slot number.
  std::vector<int> slots_in(qmx::frame_queue& q) {
    std::vector<int> numbers;
    std::lock_guard lock(q.lock);
    for (qmx::frame_node* n = q.head; n != nullptr; n = n->next) {
      numbers.push_back(static_cast<int>((n->slot - a.frame_buffer) / g.slot_bytes()));
    }
    return numbers;
  }

  // Takes the oldest delivered frame as the host does; null when none.
  qmx::frame_node* take_delivered() { return qmx::take(a.filled_queue, 0); }

  // Checks a delivered slot against the pattern of `frame`: the tag block (with metadata), then
  // the image (binned as a reference computes it from the pattern when binning applies).
  void expect_frame(const unsigned char* slot_start, std::uint32_t frame, bool binned,
                    std::uint32_t word8 = 0, std::uint32_t word12 = 0) {
    const unsigned char* image = slot_start + (g.metadata ? 48 : 0);
    if (g.metadata) {
      EXPECT_EQ(std::memcmp(slot_start, "QMX\0", 4), 0);
      EXPECT_EQ(std::memcmp(slot_start + 8, "FCNT", 4), 0);
      EXPECT_EQ(u32_at(slot_start + 12), frame);
      EXPECT_EQ(u32_at(slot_start + 20), word8);
      EXPECT_EQ(u32_at(slot_start + 28), word12);
      EXPECT_EQ(std::memcmp(slot_start + 32, "IOFF", 4), 0);
      EXPECT_EQ(u32_at(slot_start + 36), 6u);
      EXPECT_EQ(std::memcmp(slot_start + 40, "ENDT", 4), 0);
    }
    int mismatches = 0;
    if (!binned) {
      for (int r = 0; r < g.height && mismatches < 5; ++r) {
        for (int c = 0; c < g.width && mismatches < 5; ++c) {
          const std::uint16_t want = pattern(frame, g.calibration_lines + r, c);
          const std::uint16_t got = pixel_at(image + 2 * (r * g.width + c));
          if (want != got) {
            ADD_FAILURE() << "frame " << frame << " pixel (" << r << ", " << c << "): " << got
                          << " instead of " << want;
            ++mismatches;
          }
        }
      }
      return;
    }
    const int out_w = g.width / g.hbin;
    for (int r = 0; r < g.height / g.vbin && mismatches < 5; ++r) {
      for (int c = 0; c < out_w && mismatches < 5; ++c) {
        unsigned sum = 0;
        for (int dr = 0; dr < g.vbin; ++dr) {
          for (int dc = 0; dc < g.hbin; ++dc) {
            sum += pattern(frame, g.calibration_lines + r * g.vbin + dr, c * g.hbin + dc);
          }
        }
        const unsigned want = std::min(sum, 1023u);
        const unsigned got = pixel_at(image + 2 * (r * out_w + c));
        if (want != got) {
          ADD_FAILURE() << "frame " << frame << " binned pixel (" << r << ", " << c << "): " << got
                        << " instead of " << want;
          ++mismatches;
        }
      }
    }
  }
};

TEST_F(frame_assembly, a_one_packet_frame_is_delivered_with_its_image_at_offset_48) {
  geometry geo;
  geo.width = 4;
  geo.height = 2;
  geo.calibration_lines = 1;
  geo.row_fill_bytes = 0;
  geo.slots = 1;
  arm(geo);
  ASSERT_EQ(a.packets_per_frame, 1);
  const bytes stream = pack_frame(g, 77);
  ASSERT_EQ(stream.size(), 15u);
  feed(packet(0x8000, 77, stream, 0x11223344, 0x55667788));
  EXPECT_EQ(a.write_offset, 48 + 24);
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->slot, slot(0));
  expect_frame(node->slot, 77, false, 0x11223344, 0x55667788);
  EXPECT_TRUE(a.awaiting_frame_start);
  EXPECT_EQ(a.fill_node, nullptr);
  EXPECT_EQ(s.frames_delivered.load(), 1u);
  EXPECT_EQ(s.packets_seen.load(), 1u);
  delete node;
}

TEST_F(frame_assembly, a_frame_of_many_packets_with_calibration_lines_is_pixel_exact) {
  geometry geo;
  geo.width = 1280;
  geo.height = 64;
  geo.calibration_lines = 2;
  arm(geo);
  ASSERT_GT(g.packets(), 5);
  for (std::uint32_t frame = 10; frame < 13; ++frame) {
    feed_all(frame_packets(g, frame, 1000 * frame, 7));
    qmx::frame_node* node = take_delivered();
    ASSERT_NE(node, nullptr) << frame;
    expect_frame(node->slot, frame, false, 1000 * frame, 7);
    qmx::push(a.free_queue, node);
  }
  EXPECT_EQ(s.frames_delivered.load(), 3u);
  EXPECT_EQ(s.dropped_disorder.load() + s.dropped_short_packet.load() +
                s.dropped_bad_length.load() + s.dropped_no_slot.load(),
            0u);
}

TEST_F(frame_assembly, a_group_cut_two_and_three_by_a_packet_boundary_decodes_whole) {
  // Rows of one group and two fill bytes (7 bytes): 16368 = 2338 rows + 2 bytes, so the first
  // packet ends with the first two bytes of a group.
  geometry geo;
  geo.width = 4;
  geo.height = 3000;
  geo.row_fill_bytes = 2;
  arm(geo);
  ASSERT_EQ(payload_per_packet % g.row_stream_bytes(), 2);
  feed_all(frame_packets(g, 5));
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 5, false);
  delete node;
}

// Width 1284 has one fill byte per row and width 1288 two, as arming derives them.
TEST_F(frame_assembly, rows_with_one_and_two_fill_bytes_are_pixel_exact) {
  for (int width : {1284, 1288}) {
    geometry geo;
    geo.width = width;
    geo.height = 40;
    geo.calibration_lines = 2;
    arm(geo);
    ASSERT_EQ(g.fill(), width == 1284 ? 1 : 2);
    feed_all(frame_packets(g, 3));
    qmx::frame_node* node = take_delivered();
    ASSERT_NE(node, nullptr) << width;
    expect_frame(node->slot, 3, false);
    delete node;
  }
}

// The packet boundaries of these geometries fall inside a row's fill bytes (between the two
// bytes for width 12 with two, just before the one byte for width 32 with one): the rest of
// the skip is carried into the next packet.
TEST_F(frame_assembly, fill_bytes_cut_by_a_packet_boundary_are_skipped_in_the_next_packet) {
  for (const auto& [width, fill] : {std::pair{12, 2}, std::pair{32, 1}}) {
    geometry geo;
    geo.width = width;
    geo.row_fill_bytes = fill;
    geo.height = 12 * payload_per_packet / geo.row_stream_bytes();
    arm(geo);
    bool fill_cut = false;
    for (int k = 1; k < g.packets(); ++k) {
      const int in_row = (k * payload_per_packet) % g.row_stream_bytes();
      fill_cut = fill_cut || in_row >= g.row_stream_bytes() - fill;
    }
    ASSERT_TRUE(fill_cut) << "a boundary must cut the fill of width " << width;
    feed_all(frame_packets(g, 9));
    qmx::frame_node* node = take_delivered();
    ASSERT_NE(node, nullptr) << width;
    expect_frame(node->slot, 9, false);
    delete node;
  }
}

TEST_F(frame_assembly, packets_0_1_3_drop_the_frame_and_its_slot_goes_back_to_the_free_queue) {
  geometry geo;
  geo.width = 1280;
  geo.height = 100;
  geo.slots = 2;
  arm(geo);
  const auto packets = frame_packets(g, 1);
  ASSERT_GE(packets.size(), 5u);
  feed(packets[0]);
  feed(packets[1]);
  EXPECT_EQ(slots_in(a.free_queue), std::vector<int>{1});
  feed(packets[3]);
  EXPECT_TRUE(a.awaiting_frame_start);
  EXPECT_EQ(a.fill_node, nullptr);
  EXPECT_EQ(slots_in(a.free_queue), (std::vector<int>{1, 0}));
  EXPECT_EQ(s.dropped_disorder.load(), 1u);
  // The rest of that frame is ignored; the next first packet starts a frame in slot 1.
  feed(packets[4]);
  EXPECT_TRUE(a.awaiting_frame_start);
  feed_all(frame_packets(g, 2));
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->slot, slot(1));
  expect_frame(node->slot, 2, false);
  EXPECT_EQ(s.frames_delivered.load(), 1u);
  EXPECT_EQ(s.dropped_disorder.load(), 1u);
  delete node;
}

TEST_F(frame_assembly, a_first_packet_while_a_frame_is_open_drops_it_and_starts_a_new_one) {
  geometry geo;
  geo.width = 1280;
  geo.height = 100;
  geo.slots = 1;
  arm(geo);
  const auto first = frame_packets(g, 1);
  feed(first[0]);
  feed(first[1]);
  // With no other free slot the new frame takes the slot just dropped.
  feed_all(frame_packets(g, 2));
  EXPECT_EQ(s.dropped_disorder.load(), 1u);
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->slot, slot(0));
  expect_frame(node->slot, 2, false);
  delete node;

  // With two slots the new frame starts in the slot at the head of the free queue.
  arm([] {
    geometry two;
    two.width = 1280;
    two.height = 100;
    two.slots = 2;
    return two;
  }());
  const auto third = frame_packets(g, 3);
  feed(third[0]);
  feed(frame_packets(g, 4)[0]);
  EXPECT_EQ(a.fill_node->slot, slot(1));
  EXPECT_EQ(slots_in(a.free_queue), std::vector<int>{0});
  EXPECT_EQ(a.current_frame_id, 4u);
}

TEST_F(frame_assembly, a_packet_of_another_frame_inside_a_frame_drops_it) {
  geometry geo;
  geo.width = 1280;
  geo.height = 100;
  arm(geo);
  const auto packets = frame_packets(g, 1);
  feed(packets[0]);
  feed(frame_packets(g, 2)[1]); // index 1, but of frame 2
  EXPECT_TRUE(a.awaiting_frame_start);
  EXPECT_EQ(s.dropped_disorder.load(), 1u);
  EXPECT_EQ(slots_in(a.free_queue).size(), 2u);
  // A repeated packet drops the frame too.
  feed(packets[0]);
  feed(packets[1]);
  feed(packets[1]);
  EXPECT_TRUE(a.awaiting_frame_start);
  EXPECT_EQ(s.dropped_disorder.load(), 2u);
}

TEST_F(frame_assembly, with_no_free_slot_the_oldest_completed_frame_is_overwritten) {
  geometry geo;
  geo.width = 8;
  geo.height = 4;
  geo.slots = 2;
  arm(geo);
  feed_all(frame_packets(g, 1));
  feed_all(frame_packets(g, 2));
  EXPECT_EQ(slots_in(a.filled_queue), (std::vector<int>{0, 1}));
  feed_all(frame_packets(g, 3));
  EXPECT_EQ(slots_in(a.filled_queue), (std::vector<int>{1, 0}));
  EXPECT_EQ(s.dropped_overwritten.load(), 1u);
  EXPECT_EQ(s.frames_delivered.load(), 3u);
  qmx::frame_node* older = take_delivered();
  qmx::frame_node* newer = take_delivered();
  ASSERT_NE(older, nullptr);
  ASSERT_NE(newer, nullptr);
  expect_frame(older->slot, 2, false);
  expect_frame(newer->slot, 3, false);
  // The host now holds both slots: the next frame finds none.
  feed_all(frame_packets(g, 4));
  EXPECT_EQ(s.dropped_no_slot.load(), 1u);
  EXPECT_EQ(take_delivered(), nullptr);
  EXPECT_TRUE(a.awaiting_frame_start);
  // A slot given back is used again.
  qmx::push(a.free_queue, older);
  feed_all(frame_packets(g, 5));
  qmx::frame_node* again = take_delivered();
  ASSERT_EQ(again, older);
  expect_frame(again->slot, 5, false);
  delete again;
  delete newer;
}

// The 2 × 2 blocks of a 4 × 4 image (calibration lines put 48 bytes before it, so the size
// condition holds with metadata).
TEST_F(frame_assembly, binning_two_by_two_sums_each_block_and_clamps_to_1023) {
  geometry geo;
  geo.width = 4;
  geo.height = 4;
  geo.calibration_lines = 6;
  geo.row_fill_bytes = 0;
  geo.hbin = 2;
  geo.vbin = 2;
  arm(geo);
  const std::uint16_t image[16] = {1, 2, 1000, 1000, 3, 4, 1000, 1000, 0, 0, 1023, 1, 0, 5, 0, 1};
  std::vector<std::uint16_t> pixels(24, 9); // the calibration lines
  pixels.insert(pixels.end(), std::begin(image), std::end(image));
  bytes stream;
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    unsigned low = 0;
    for (unsigned k = 0; k < 4; ++k) {
      stream.push_back(static_cast<std::uint8_t>(pixels[i + k] >> 2));
      low |= (pixels[i + k] & 3u) << (2 * k);
    }
    stream.push_back(static_cast<std::uint8_t>(low));
  }
  feed(packet(0x8000, 1, stream));
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  const unsigned char* out = node->slot + 48;
  EXPECT_EQ(pixel_at(out + 0), 10);
  EXPECT_EQ(pixel_at(out + 2), 1023);
  EXPECT_EQ(pixel_at(out + 4), 5);
  EXPECT_EQ(pixel_at(out + 6), 1023) << "1023 + 1 + 0 + 1";
  delete node;
}

TEST_F(frame_assembly, binning_of_larger_frames_matches_a_reference_also_without_metadata) {
  for (const auto& [hbin, vbin, metadata] :
       {std::tuple{2, 2, true}, std::tuple{3, 2, false}, std::tuple{1, 4, true},
        std::tuple{4, 1, false}, std::tuple{16, 16, true}}) {
    geometry geo;
    geo.width = 1288;
    geo.height = 70;
    geo.calibration_lines = 2;
    geo.hbin = hbin;
    geo.vbin = vbin;
    geo.metadata = metadata;
    arm(geo);
    feed_all(frame_packets(g, 6));
    qmx::frame_node* node = take_delivered();
    ASSERT_NE(node, nullptr);
    expect_frame(node->slot, 6, true);
    delete node;
  }
}

TEST_F(frame_assembly,
       with_metadata_and_no_calibration_lines_the_size_condition_leaves_the_frame_unbinned) {
  geometry geo;
  geo.width = 16;
  geo.height = 8;
  geo.calibration_lines = 0;
  geo.hbin = 2;
  geo.vbin = 2;
  arm(geo);
  feed_all(frame_packets(g, 2));
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 2, false);
  delete node;
  // Without metadata the image starts the slot and the same frame is binned.
  geo.metadata = false;
  arm(geo);
  feed_all(frame_packets(g, 2));
  node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 2, true);
  delete node;
}

TEST_F(frame_assembly, without_metadata_the_image_starts_the_slot) {
  geometry geo;
  geo.width = 1280;
  geo.height = 30;
  geo.calibration_lines = 2;
  geo.metadata = false;
  arm(geo);
  feed_all(frame_packets(g, 8, 0xABCD, 0x1234));
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 8, false);
  // The tag block is still written, after the image and its calibration lines.
  const unsigned char* tag = node->slot + g.unpacked_bytes();
  EXPECT_EQ(std::memcmp(tag, "QMX\0", 4), 0);
  EXPECT_EQ(u32_at(tag + 12), 8u);
  EXPECT_EQ(u32_at(tag + 20), 0xABCDu);
  delete node;
  // The setting is taken at each frame's first packet: a change inside a frame waits for the next.
  arm(geo);
  const auto packets = frame_packets(g, 9);
  feed(packets[0]);
  a.metadata_enabled = true;
  feed_all(std::vector<bytes>(packets.begin() + 1, packets.end()));
  node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 9, false);
  qmx::push(a.free_queue, node);
  g.metadata = true;
  feed_all(frame_packets(g, 10));
  node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 10, false);
  delete node;
}

TEST_F(frame_assembly, a_short_packet_drops_its_frame_and_no_damaged_frame_is_delivered) {
  geometry geo;
  geo.width = 1280;
  geo.height = 100;
  arm(geo);
  auto packets = frame_packets(g, 1);
  packets[2].resize(packets[2].size() - 100);
  feed_all(packets);
  EXPECT_EQ(take_delivered(), nullptr);
  EXPECT_EQ(s.dropped_short_packet.load(), 1u);
  EXPECT_EQ(slots_in(a.free_queue).size(), 2u);
  // A short first packet loses its frame before it takes a slot.
  packets = frame_packets(g, 2);
  packets[0].resize(5000);
  feed_all(packets);
  EXPECT_EQ(s.dropped_short_packet.load(), 2u);
  EXPECT_EQ(take_delivered(), nullptr);
  // The next whole frame is delivered.
  feed_all(frame_packets(g, 3));
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 3, false);
  EXPECT_EQ(s.frames_delivered.load(), 1u);
  delete node;
}

TEST_F(frame_assembly, a_short_last_packet_completes_nothing_and_counts_as_a_bad_length) {
  geometry geo;
  geo.width = 1280;
  geo.height = 100;
  arm(geo);
  auto packets = frame_packets(g, 1);
  packets.back().resize(packets.back().size() - 3);
  feed_all(packets);
  EXPECT_EQ(take_delivered(), nullptr);
  EXPECT_FALSE(a.awaiting_frame_start) << "the frame stays open until the next packet";
  feed_all(frame_packets(g, 2));
  EXPECT_EQ(s.dropped_bad_length.load(), 1u);
  EXPECT_EQ(s.dropped_disorder.load(), 0u);
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 2, false);
  delete node;
}

TEST_F(frame_assembly, a_frame_dropped_after_a_bad_magic_counts_as_bad_magic) {
  geometry geo;
  geo.width = 1280;
  geo.height = 100;
  arm(geo);
  auto packets = frame_packets(g, 1);
  packets[2][0] = 0x00;
  feed_all(packets);
  EXPECT_EQ(s.dropped_bad_magic.load(), 1u);
  EXPECT_EQ(s.dropped_disorder.load(), 0u);
  EXPECT_EQ(take_delivered(), nullptr);
  // A bad magic ignored while no frame is open changes nothing.
  bytes bad = frame_packets(g, 2)[0];
  bad[1] = 0x00;
  feed(bad);
  feed_all(frame_packets(g, 3));
  EXPECT_EQ(s.frames_delivered.load(), 1u);
  EXPECT_EQ(s.dropped_bad_magic.load(), 1u);
  EXPECT_EQ(s.packets_seen.load(), 2 * packets.size() + 1);
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  delete node;
}

TEST_F(frame_assembly, tiny_packets_huge_indexes_and_wrong_frame_counters_do_no_harm) {
  geometry geo;
  geo.width = 1280;
  geo.height = 100;
  arm(geo);
  const auto packets = frame_packets(g, 1);
  feed(packets[0]);
  for (std::size_t n = 1; n < 16; ++n) {
    feed(bytes(packets[1].begin(), packets[1].begin() + static_cast<std::ptrdiff_t>(n)));
  }
  EXPECT_FALSE(a.awaiting_frame_start) << "packets without a whole header are ignored";
  feed(packets[2]); // packet 1 never came whole
  EXPECT_TRUE(a.awaiting_frame_start);
  EXPECT_EQ(s.dropped_disorder.load(), 1u);

  feed(packets[0]);
  feed(packet(0x7FFF, 1, bytes(payload_per_packet, 0x55)));
  feed(packet(0xFFFF, 1, bytes(payload_per_packet, 0x55)));
  EXPECT_TRUE(a.awaiting_frame_start);
  feed(packet(0x8000 | 1, 0xFFFFFFFF, bytes(100, 0x66))); // nothing open: ignored
  feed(bytes{});
  EXPECT_EQ(s.dropped_disorder.load(), 2u);
  // Payload beyond the frame's pixels is not used: the slot bounds every write.
  geometry one;
  one.width = 4;
  one.height = 2;
  one.row_fill_bytes = 0;
  one.slots = 1;
  arm(one);
  feed(packet(0, 1, bytes(payload_per_packet, 0x12)));
  EXPECT_EQ(a.write_offset, g.slot_bytes());
  EXPECT_TRUE(slots_in(a.filled_queue).empty()) << "the last-packet flag has not come";
  feed(packet(0x8000 | 1, 1, bytes(payload_per_packet, 0x34)));
  qmx::frame_node* node = take_delivered();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(pixel_at(node->slot + 48), 0x12 * 4 + 2);
  delete node;
  // Everything is ready for the next whole frame.
  arm(geo);
  feed_all(frame_packets(g, 2));
  node = take_delivered();
  ASSERT_NE(node, nullptr);
  expect_frame(node->slot, 2, false);
  delete node;
}

TEST_F(frame_assembly, a_stopped_assembler_ignores_packets) {
  geometry geo;
  geo.width = 8;
  geo.height = 4;
  arm(geo);
  a.stop_flag.store(true);
  feed_all(frame_packets(g, 1));
  EXPECT_EQ(take_delivered(), nullptr);
  EXPECT_EQ(s.packets_seen.load(), 0u);
  EXPECT_FALSE(a.image_wait_flag);
}

TEST_F(frame_assembly, unarmed_completions_set_the_image_wait_event) {
  EXPECT_FALSE(a.image_wait_flag);
  qmx::assemble_received_packet(path, nullptr, 0);
  EXPECT_TRUE(a.image_wait_flag);
  qmx::wait_image_event(a); // returns at once
  EXPECT_FALSE(a.image_wait_flag);
  feed(frame_packets(geometry{}, 1)[0]);
  EXPECT_TRUE(a.image_wait_flag);
  EXPECT_EQ(s.packets_seen.load(), 0u);
  EXPECT_EQ(a.fill_node, nullptr);
}

// The preparation that arming runs: geometry of a region, slots cut from the buffer, and
// everything of an earlier acquisition discarded.
TEST(frame_path_preparation, the_geometry_of_a_region_follows_its_formulas) {
  const qmx::frame_geometry g = qmx::geometry_for_region(1280, 1024, 2, 2, 4, 161);
  EXPECT_EQ(g.width, 1280);
  EXPECT_EQ(g.height, 1024);
  EXPECT_EQ(g.hbin, 2);
  EXPECT_EQ(g.vbin, 4);
  EXPECT_EQ(g.row_fill_bytes, 0);
  EXPECT_EQ(g.calibration_packed_bytes, 3200);
  EXPECT_EQ(g.pixels_per_row, 1280);
  EXPECT_EQ(g.pixels_per_frame, 1313280);
  EXPECT_EQ(g.unpacked_frame_bytes, 2626560);
  EXPECT_EQ(g.slot_bytes, 2626608);
  EXPECT_EQ(g.packets_per_frame, 161);
  // Packed rows of 1605 bytes (odd) take one fill byte, of 1610 (odd in 16-bit words) two.
  EXPECT_EQ(qmx::geometry_for_region(1440, 8, 0, 1, 1, 1).row_fill_bytes, 0);
  EXPECT_EQ(qmx::geometry_for_region(1284, 8, 0, 1, 1, 1).row_fill_bytes, 1);
  EXPECT_EQ(qmx::geometry_for_region(1288, 8, 0, 1, 1, 1).row_fill_bytes, 2);
  // Numbers no camera should answer wrap in 32 bits (UBSan checks the arithmetic).
  const qmx::frame_geometry huge = qmx::geometry_for_region(65536, 65536, 65536, 1, 1, 1);
  EXPECT_EQ(huge.pixels_per_frame, 0);
  EXPECT_EQ(huge.unpacked_frame_bytes, 0);
  EXPECT_EQ(huge.slot_bytes, 48);
}

TEST(frame_path_preparation, writes_the_tag_block_template) {
  unsigned char tag[qmx::tag_block_bytes];
  std::memset(tag, 0xCC, sizeof tag);
  qmx::write_tag_block_template(tag);
  const unsigned char expected[qmx::tag_block_bytes] = {
      'Q', 'M', 'X', 0,   0, 0, 0, 0, 'F', 'C', 'N', 'T', 0, 0, 0, 0,
      'P', 'C', 'K', 'L', 0, 0, 0, 0, 'P', 'C', 'K', 'H', 0, 0, 0, 0,
      'I', 'O', 'F', 'F', 6, 0, 0, 0, 'E', 'N', 'D', 'T', 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(tag, expected, sizeof tag), 0);
}

TEST(frame_path_preparation, cuts_whole_slots_in_address_order_and_refuses_any_other_buffer) {
  qmx::frame_path path;
  qmx::frame_geometry g = qmx::geometry_for_region(8, 2, 1, 1, 1, 1);
  ASSERT_EQ(g.slot_bytes, 48 + 48);
  std::vector<unsigned char> buffer(3 * static_cast<std::size_t>(g.slot_bytes) + 1);
  ASSERT_TRUE(qmx::prepare_frame_path(path, g, buffer.data(), 3 * g.slot_bytes));
  std::vector<unsigned char*> slots;
  while (qmx::frame_node* node = qmx::take(path.assembly.free_queue, 0)) {
    slots.push_back(node->slot);
    delete node;
  }
  const std::vector<unsigned char*> expected{buffer.data(), buffer.data() + g.slot_bytes,
                                             buffer.data() + 2 * g.slot_bytes};
  EXPECT_EQ(slots, expected);
  EXPECT_EQ(path.assembly.frame_buffer, buffer.data());
  EXPECT_EQ(path.assembly.frame_buffer_size, 3 * g.slot_bytes);

  // One byte more, a slot of no bytes, or no buffer: no slot, and nothing changes.
  const qmx::frame_geometry before = g;
  g.width = 4;
  EXPECT_FALSE(qmx::prepare_frame_path(path, g, buffer.data(), 3 * before.slot_bytes + 1));
  g.slot_bytes = 0;
  EXPECT_FALSE(qmx::prepare_frame_path(path, g, buffer.data(), 0));
  g = before;
  EXPECT_FALSE(qmx::prepare_frame_path(path, g, nullptr, g.slot_bytes));
  EXPECT_EQ(path.assembly.width, before.width);
  EXPECT_EQ(path.assembly.frame_buffer_size, 3 * before.slot_bytes);
  EXPECT_FALSE(qmx::cuts_into_slots(before.slot_bytes - 1, before.slot_bytes));
  EXPECT_TRUE(qmx::cuts_into_slots(before.slot_bytes, before.slot_bytes));
}

// Held frames of both hand-outs, an open frame, a stop and counted statistics: the next
// preparation leaves none of them (ASan's leak check sees every discarded node freed).
TEST_F(frame_assembly, preparing_again_discards_every_frame_of_the_earlier_acquisition) {
  geometry geo;
  geo.width = 8;
  geo.height = 4;
  geo.slots = 3;
  arm(geo);
  feed_all(frame_packets(g, 1));
  feed_all(frame_packets(g, 2));
  ASSERT_NE(qmx::take_frame_for_wait(a), 0u);
  ASSERT_NE(qmx::take_frame_for_poll(a), 0u);
  geometry two_packets = geo;
  two_packets.height = 4000; // a frame of more than one packet, left open
  const auto open = frame_packets(two_packets, 3);
  ASSERT_GT(open.size(), 1u);
  feed(open[0]);
  ASSERT_NE(a.fill_node, nullptr);
  ASSERT_NE(a.held_wait_frame, nullptr);
  ASSERT_NE(a.held_poll_frame, nullptr);
  ASSERT_NE(s.frames_delivered.load(), 0u);
  qmx::abort_delivery(a, false);
  ASSERT_TRUE(a.stop_flag.load());
  a.poll_timeout_ms.store(250);

  std::vector<unsigned char> fresh(2 * static_cast<std::size_t>(g.slot_bytes()));
  const qmx::frame_geometry prepared =
      qmx::geometry_for_region(g.width, g.height, 0, 2, 2, g.packets());
  ASSERT_TRUE(qmx::prepare_frame_path(path, prepared, fresh.data(), 2 * g.slot_bytes()));
  EXPECT_EQ(a.held_wait_frame, nullptr);
  EXPECT_EQ(a.held_poll_frame, nullptr);
  EXPECT_EQ(a.fill_node, nullptr);
  EXPECT_FALSE(a.stop_flag.load());
  EXPECT_TRUE(a.awaiting_frame_start);
  EXPECT_EQ(a.write_offset, 0);
  EXPECT_EQ(a.carry_count, 0);
  EXPECT_EQ(a.pixels_written, 0);
  EXPECT_EQ(a.hbin, 2);
  EXPECT_EQ(a.vbin, 2);
  EXPECT_EQ(s.frames_delivered.load(), 0u);
  EXPECT_EQ(s.packets_seen.load(), 0u);
  EXPECT_TRUE(a.metadata_enabled) << "a setting of its own";
  EXPECT_EQ(a.poll_timeout_ms.load(), 250) << "a setting of its own";
  unsigned char tag[qmx::tag_block_bytes];
  qmx::write_tag_block_template(tag);
  EXPECT_EQ(std::memcmp(a.tag_block, tag, sizeof tag), 0) << "the last frame's values are gone";
  {
    std::lock_guard lock(a.filled_queue.lock);
    EXPECT_EQ(a.filled_queue.head, nullptr);
    EXPECT_FALSE(a.filled_queue.aborted);
  }
  std::vector<unsigned char*> free_slots;
  {
    std::lock_guard lock(a.free_queue.lock);
    EXPECT_FALSE(a.free_queue.aborted);
    for (const qmx::frame_node* n = a.free_queue.head; n != nullptr; n = n->next) {
      free_slots.push_back(n->slot);
    }
  }
  EXPECT_EQ(free_slots, (std::vector<unsigned char*>{fresh.data(), fresh.data() + g.slot_bytes()}));
  // The hand-outs take nothing old: the next frame comes from the new buffer.
  g.hbin = g.vbin = 2;
  feed_all(frame_packets(g, 4));
  const std::uint64_t address = qmx::take_frame_for_wait(a);
  EXPECT_EQ(address, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(fresh.data())));
}

// The image handler works on the frame path named by the completion's context and reads the bytes
// the driver delivered, not the transfer's reported length.
TEST(assemble_packet, reads_the_received_length_and_always_asks_for_resubmission) {
  qmx::frame_path path;
  std::vector<unsigned char> buffer(qmx::max_packet_bytes, 0);
  bool resubmit = false;
  qmx::image_completion completion{&path, buffer.data(), qmx::max_packet_bytes, 0, &resubmit};
  qmx::assemble_packet(completion);
  EXPECT_TRUE(resubmit);
  EXPECT_TRUE(path.assembly.image_wait_flag) << "unarmed";
  EXPECT_EQ(path.assembly.completions_seen.load(), 1u);

  // One slot of a width 4, height 2 frame without fill bytes; the packet's last 16368 - 10 bytes
  // are stale.
  qmx::frame_geometry one_packet = qmx::geometry_for_region(4, 2, 0, 1, 1, 1);
  one_packet.row_fill_bytes = 0;
  std::vector<unsigned char> slot(48 + 16, 0);
  path.assembly.metadata_enabled = true;
  ASSERT_TRUE(qmx::prepare_frame_path(path, one_packet, slot.data(),
                                      static_cast<std::int32_t>(slot.size())));
  const bytes h = header(0x8000, 4);
  std::copy(h.begin(), h.end(), buffer.begin());
  const unsigned char group[5] = {1, 2, 3, 4, 0};
  std::memcpy(buffer.data() + 16, group, 5);
  std::memcpy(buffer.data() + 21, group, 5);
  std::fill(buffer.begin() + 26, buffer.end(), 0xFF);
  resubmit = false;
  completion.received_length = 26;
  qmx::assemble_packet(completion);
  EXPECT_TRUE(resubmit);
  qmx::frame_node* done = qmx::take(path.assembly.filled_queue, 0);
  ASSERT_NE(done, nullptr) << "26 bytes received fill the slot exactly";
  EXPECT_EQ(pixel_at(slot.data() + 48), 4);
  EXPECT_EQ(pixel_at(slot.data() + 48 + 14), 16);
  EXPECT_EQ(path.statistics.frames_delivered.load(), 1u);
  qmx::push(path.assembly.free_queue, done);

  // The same bytes as the first of two packets: the transfer reports all 16384 bytes, but 26
  // arrived, so the packet is short and its frame is dropped instead of filled with stale bytes.
  qmx::frame_geometry two_packets = one_packet;
  two_packets.packets_per_frame = 2;
  ASSERT_TRUE(qmx::prepare_frame_path(path, two_packets, slot.data(),
                                      static_cast<std::int32_t>(slot.size())));
  buffer[3] = 0x00; // index 0, last-packet flag clear
  buffer[4] = 5;    // frame counter 5
  qmx::assemble_packet(completion);
  EXPECT_EQ(path.statistics.dropped_short_packet.load(), 1u);
  EXPECT_EQ(path.assembly.fill_node, nullptr);
  EXPECT_TRUE(path.assembly.awaiting_frame_start);
}

} // namespace
