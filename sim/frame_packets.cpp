// Simulator, camera model: RAW10 packing, packet headers and the packet split of one frame.
#include "sim/frame_packets.h"

#include "sim/test_pattern.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint32_t bits_per_pixel = 10;
constexpr std::uint32_t bits_per_byte = 8;
constexpr std::uint32_t bits_per_word = 16;
constexpr std::uint32_t low_bits_per_pixel = 2;
constexpr std::uint32_t low_bits_mask = 3;
constexpr std::uint32_t byte_mask = 0xFF;
constexpr std::uint32_t fill_for_odd_bytes = 1;
constexpr std::uint32_t fill_for_odd_words = 2;

void put_u16(std::uint8_t *destination, std::uint16_t value) {
  destination[0] = static_cast<std::uint8_t>(value & byte_mask);
  destination[1] = static_cast<std::uint8_t>((value >> bits_per_byte) & byte_mask);
}

void put_u32(std::uint8_t *destination, std::uint32_t value) {
  for (std::size_t i = 0; i < sizeof value; ++i) {
    destination[i] = static_cast<std::uint8_t>((value >> (bits_per_byte * i)) & byte_mask);
  }
}

// Packs one row of pixels (width a multiple of 4) and appends its fill bytes as zeros.
template <typename pixel_function>
std::uint8_t *pack_row(std::uint8_t *destination, std::uint32_t width, std::uint32_t fill,
                       pixel_function pixel_at) {
  for (std::uint32_t column = 0; column < width; column += pixels_per_group) {
    std::uint16_t group[pixels_per_group];
    for (std::uint32_t k = 0; k < pixels_per_group; ++k) {
      group[k] = pixel_at(column + k);
    }
    pack_raw10_group(group, destination);
    destination += bytes_per_group;
  }
  std::memset(destination, 0, fill);
  return destination + fill;
}

} // namespace

std::uint32_t row_fill_bytes(std::uint32_t width) {
  const std::uint32_t row_bits = bits_per_pixel * width;
  if ((row_bits / bits_per_byte) % 2 == 1) {
    return fill_for_odd_bytes;
  }
  if ((row_bits / bits_per_word) % 2 == 1) {
    return fill_for_odd_words;
  }
  return 0;
}

std::uint32_t packed_row_bytes(std::uint32_t width) {
  return width / pixels_per_group * bytes_per_group;
}

std::size_t frame_payload_bytes(const frame_geometry &geometry) {
  const std::size_t rows = std::size_t{geometry.height} + geometry.calibration_lines;
  return rows * (packed_row_bytes(geometry.width) + row_fill_bytes(geometry.width));
}

// A row with one fill byte spans an even number of bytes with the fill byte at an odd offset;
// a row with two spans a multiple of 4 bytes with the fill bytes at offsets 2 and 3 modulo 4.
// A payload size that is a multiple of 4 therefore never puts a cut at or inside a row's fill
// bytes, which the receiver could not handle: it skips a row's fill bytes in the packet that
// ends the row. Cut groups are fine; the receiver carries them into the next packet.
static_assert(max_packet_payload_bytes % 4 == 0);

std::vector<std::size_t> plan_packet_split(const frame_geometry &geometry) {
  const std::size_t total = frame_payload_bytes(geometry);
  std::vector<std::size_t> payloads;
  for (std::size_t position = 0; position < total; position += max_packet_payload_bytes) {
    payloads.push_back(std::min(max_packet_payload_bytes, total - position));
  }
  return payloads;
}

void pack_raw10_group(const std::uint16_t (&pixels)[pixels_per_group], std::uint8_t *destination) {
  std::uint32_t low_bits = 0;
  for (std::uint32_t k = 0; k < pixels_per_group; ++k) {
    const std::uint32_t value = pixels[k] & pixel_value_mask;
    destination[k] = static_cast<std::uint8_t>(value >> low_bits_per_pixel);
    low_bits |= (value & low_bits_mask) << (low_bits_per_pixel * k);
  }
  destination[pixels_per_group] = static_cast<std::uint8_t>(low_bits);
}

frame_packets build_frame_packets(const frame_geometry &geometry, std::uint32_t frame_number,
                                  std::uint64_t timestamp) {
  std::vector<std::uint8_t> payload(frame_payload_bytes(geometry));
  const std::uint32_t fill = row_fill_bytes(geometry.width);
  std::uint8_t *cursor = payload.data();
  for (std::uint32_t line = 0; line < geometry.calibration_lines; ++line) {
    cursor = pack_row(cursor, geometry.width, fill, [&](std::uint32_t column) {
      return calibration_pixel(frame_number, line, geometry.first_column + column);
    });
  }
  for (std::uint32_t row = 0; row < geometry.height; ++row) {
    cursor = pack_row(cursor, geometry.width, fill, [&](std::uint32_t column) {
      return pattern_pixel(frame_number, geometry.first_row + row, geometry.first_column + column);
    });
  }

  const std::vector<std::size_t> payload_sizes = plan_packet_split(geometry);
  frame_packets frame;
  frame.bytes.resize(payload.size() + payload_sizes.size() * packet_header_bytes);
  frame.packets.reserve(payload_sizes.size());
  std::size_t source = 0;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < payload_sizes.size(); ++i) {
    std::uint8_t *packet = frame.bytes.data() + offset;
    auto index_word = static_cast<std::uint16_t>(i);
    if (i + 1 == payload_sizes.size()) {
      index_word |= last_packet_flag;
    }
    put_u16(packet + header_magic_offset, packet_magic);
    put_u16(packet + header_index_offset, index_word);
    put_u32(packet + header_frame_counter_offset, frame_number);
    put_u32(packet + header_timestamp_low_offset, static_cast<std::uint32_t>(timestamp));
    put_u32(packet + header_timestamp_high_offset,
            static_cast<std::uint32_t>(timestamp >> (bits_per_word * 2)));
    std::memcpy(packet + packet_header_bytes, payload.data() + source, payload_sizes[i]);
    const std::size_t length = packet_header_bytes + payload_sizes[i];
    frame.packets.push_back({offset, length});
    source += payload_sizes[i];
    offset += length;
  }
  return frame;
}

} // namespace sim
