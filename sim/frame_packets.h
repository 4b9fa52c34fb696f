// Simulator, camera model: the wire form of a frame (RAW10 packing, packet headers, packet split).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sim {

inline constexpr std::uint16_t packet_magic = 0x9090;
inline constexpr std::size_t packet_header_bytes = 16;
inline constexpr std::size_t max_packet_bytes = 16384;
inline constexpr std::size_t max_packet_payload_bytes = max_packet_bytes - packet_header_bytes;
// Bit 15 of the index word marks the last packet; the other 15 bits carry the index.
inline constexpr std::uint16_t last_packet_flag = 0x8000;
inline constexpr std::uint32_t max_packets_per_frame = 0x8000;
// RAW10: 4 pixels share one 5-byte group.
inline constexpr std::uint32_t pixels_per_group = 4;
inline constexpr std::uint32_t bytes_per_group = 5;

// Byte offsets of the header fields; every field is little-endian.
inline constexpr std::size_t header_magic_offset = 0;
inline constexpr std::size_t header_index_offset = 2;
inline constexpr std::size_t header_frame_counter_offset = 4;
// The 64-bit timestamp travels as two 32-bit words: low half at 8, high half at 12.
inline constexpr std::size_t header_timestamp_low_offset = 8;
inline constexpr std::size_t header_timestamp_high_offset = 12;

// What is sent of one frame: calibration lines first, then the image rows, all `width` pixels
// wide; `first_row` and `first_column` place the region on the sensor (for the test pattern).
struct frame_geometry {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t calibration_lines = 0;
  std::uint32_t first_column = 0;
  std::uint32_t first_row = 0;
};

// Bytes that pad a packed row of `width` pixels: 1 when the row's packed byte count
// (10 * width / 8) is odd, else 2 when 10 * width / 16 is odd, else 0. The receiver derives the
// same count from the width alone, so both sides must use exactly this rule.
std::uint32_t row_fill_bytes(std::uint32_t width);

// Packed bytes of one row without its fill bytes; `width` must be a multiple of 4.
std::uint32_t packed_row_bytes(std::uint32_t width);

// Packed payload bytes of a whole frame: every row (calibration and image) with its fill bytes.
std::size_t frame_payload_bytes(const frame_geometry& geometry);

// Payload bytes of each packet of a frame, in order: every packet but the last carries the
// maximum payload, the last one the rest. A row's fill bytes are never separated from the row
// by this split (see the .cpp); RAW10 groups may be. Requires a width that is a positive
// multiple of 4.
std::vector<std::size_t> plan_packet_split(const frame_geometry& geometry);

// One packet of a frame as it is sent: the header names packet `index` of the frame's packet
// split, and the payload is `length - packet_header_bytes` bytes of the frame's payload stream
// from `payload_offset`. Faults may drop, repeat, swap, shorten or corrupt packets, so the list
// of a damaged frame no longer follows the split one to one.
struct packet_span {
  std::size_t payload_offset = 0;
  std::size_t length = 0; // header and payload bytes
  std::uint16_t index = 0;
  bool last = false;          // bit 15 of the index word
  bool corrupt_magic = false; // the header carries corrupt_packet_magic instead of the magic
  // A packet of another frame: its header carries the frame's counter plus this (0: own frame).
  std::uint32_t frame_counter_delta = 0;
  bool unplug_after = false; // the camera is unplugged right after sending this packet
};

// The magic word written into a corrupted packet.
inline constexpr std::uint16_t corrupt_packet_magic = 0x6F6F;

// A frame ready to send. Its payload stream is the packed calibration lines followed by packed
// image rows that may be shared with other frames (the test pattern repeats), so a sender only
// copies: nothing is packed per packet.
struct frame_packets {
  std::vector<packet_span> packets;
  std::uint32_t frame_number = 0;
  std::uint64_t timestamp = 0;
  std::vector<std::uint8_t> calibration;                       // packed calibration lines
  std::shared_ptr<const std::vector<std::uint8_t>> image_rows; // kept alive by every frame
  std::size_t image_offset = 0;                                // the frame's first image byte
  std::size_t image_bytes = 0;
  std::size_t planned_packets = 0; // packets of the frame's undamaged split
  bool damaged = false;            // a fault changed, added, moved or removed some packet
  bool packet_dropped = false;     // a fault removed a packet: the frame cannot arrive whole

  // Writes packet `i` (header, then payload) to `destination`, at most `capacity` bytes;
  // returns the bytes written.
  std::size_t copy_packet(std::size_t i, std::uint8_t* destination, std::size_t capacity) const;

  // Packet `i` as a byte vector (for tests and for packets kept while no request waits).
  [[nodiscard]] std::vector<std::uint8_t> packet(std::size_t i) const;
};

// Packs 4 pixels (10-bit values) into one group: byte k holds the top 8 bits of pixel k
// (k = 0..3), and byte 4 holds the low 2 bits of pixel k in its bits 2k and 2k+1.
void pack_raw10_group(const std::uint16_t (&pixels)[pixels_per_group], std::uint8_t* destination);

// Builds frames of the test pattern. The image rows of every frame of one geometry are slices
// of one strip of packed rows, packed the first time that geometry is asked for; a frame then
// costs the packing of its calibration lines only. Not thread-safe: the owner serialises calls.
class frame_builder {
public:
  // Every packet of frame `frame_number`, stamped with `timestamp`.
  frame_packets build(const frame_geometry& geometry, std::uint32_t frame_number,
                      std::uint64_t timestamp);

private:
  frame_geometry strip_geometry_{};
  std::shared_ptr<const std::vector<std::uint8_t>> strip_;
};

// Builds every packet of frame `frame_number` with the test pattern, stamped with `timestamp`,
// packing only the rows this frame needs (for one-off frames).
frame_packets build_frame_packets(const frame_geometry& geometry, std::uint32_t frame_number,
                                  std::uint64_t timestamp);

} // namespace sim
