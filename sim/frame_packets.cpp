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

void put_u16(std::uint8_t* destination, std::uint16_t value) {
  destination[0] = static_cast<std::uint8_t>(value & byte_mask);
  destination[1] = static_cast<std::uint8_t>((value >> bits_per_byte) & byte_mask);
}

void put_u32(std::uint8_t* destination, std::uint32_t value) {
  for (std::size_t i = 0; i < sizeof value; ++i) {
    destination[i] = static_cast<std::uint8_t>((value >> (bits_per_byte * i)) & byte_mask);
  }
}

// Packs one row of pixels (width a multiple of 4) and appends its fill bytes as zeros.
template <typename pixel_function>
std::uint8_t* pack_row(std::uint8_t* destination, std::uint32_t width, std::uint32_t fill,
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

std::size_t frame_payload_bytes(const frame_geometry& geometry) {
  const std::size_t rows = std::size_t{geometry.height} + geometry.calibration_lines;
  return rows * (packed_row_bytes(geometry.width) + row_fill_bytes(geometry.width));
}

// A row with one fill byte spans an even number of bytes with the fill byte at an odd offset;
// a row with two spans a multiple of 4 bytes with the fill bytes at offsets 2 and 3 modulo 4.
// A payload size that is a multiple of 4 therefore never puts a cut at or inside a row's fill
// bytes, which the receiver could not handle: it skips a row's fill bytes in the packet that
// ends the row. Cut groups are fine; the receiver carries them into the next packet.
static_assert(max_packet_payload_bytes % 4 == 0);

std::vector<std::size_t> plan_packet_split(const frame_geometry& geometry) {
  const std::size_t total = frame_payload_bytes(geometry);
  std::vector<std::size_t> payloads;
  for (std::size_t position = 0; position < total; position += max_packet_payload_bytes) {
    payloads.push_back(std::min(max_packet_payload_bytes, total - position));
  }
  return payloads;
}

void pack_raw10_group(const std::uint16_t (&pixels)[pixels_per_group], std::uint8_t* destination) {
  std::uint32_t low_bits = 0;
  for (std::uint32_t k = 0; k < pixels_per_group; ++k) {
    const std::uint32_t value = pixels[k] & pixel_value_mask;
    destination[k] = static_cast<std::uint8_t>(value >> low_bits_per_pixel);
    low_bits |= (value & low_bits_mask) << (low_bits_per_pixel * k);
  }
  destination[pixels_per_group] = static_cast<std::uint8_t>(low_bits);
}

namespace {

// The image pattern repeats every pattern_period rows: row j + pattern_period equals row j.
constexpr std::uint32_t pattern_period = pixel_value_mask + 1;

// The inverse of an odd number modulo 2^32 (Newton's iteration doubles the correct bits).
constexpr std::uint32_t odd_inverse(std::uint32_t odd) {
  std::uint32_t inverse = odd; // correct to 3 bits for any odd number
  for (int round = 0; round < 4; ++round) {
    inverse *= 2 - odd * inverse;
  }
  return inverse;
}
static_assert(image_row_step % 2 == 1 && image_row_step * odd_inverse(image_row_step) == 1);

// Strip row j holds the row whose pixel at column offset c is
// (image_row_step * j + first_column + c) & pixel_value_mask. Image row r of frame f is then
// strip row (frame_row_shift * f + first_row + r) mod pattern_period (or that plus the period),
// because image_row_step * frame_row_shift == image_frame_step modulo the period.
constexpr std::uint32_t frame_row_shift = image_frame_step * odd_inverse(image_row_step);

std::uint32_t first_strip_row(const frame_geometry& geometry, std::uint32_t frame_number) {
  return (frame_row_shift * frame_number + geometry.first_row) % pattern_period;
}

std::size_t row_stride(std::uint32_t width) {
  return std::size_t{packed_row_bytes(width)} + row_fill_bytes(width);
}

// Packs strip rows first_row .. first_row + row_count - 1 of `geometry`.
std::shared_ptr<const std::vector<std::uint8_t>>
pack_strip(const frame_geometry& geometry, std::uint32_t first_row, std::uint32_t row_count) {
  auto strip = std::make_shared<std::vector<std::uint8_t>>(row_count * row_stride(geometry.width));
  const std::uint32_t fill = row_fill_bytes(geometry.width);
  std::uint8_t* cursor = strip->data();
  for (std::uint32_t j = first_row; j < first_row + row_count; ++j) {
    const std::uint32_t start = image_row_step * j + geometry.first_column;
    cursor = pack_row(cursor, geometry.width, fill, [start](std::uint32_t column) {
      return static_cast<std::uint16_t>((start + column) & pixel_value_mask);
    });
  }
  return strip;
}

// Everything of a frame but its image rows.
frame_packets start_frame(const frame_geometry& geometry, std::uint32_t frame_number,
                          std::uint64_t timestamp) {
  frame_packets frame;
  frame.frame_number = frame_number;
  frame.timestamp = timestamp;
  frame.calibration.resize(std::size_t{geometry.calibration_lines} * row_stride(geometry.width));
  const std::uint32_t fill = row_fill_bytes(geometry.width);
  std::uint8_t* cursor = frame.calibration.data();
  for (std::uint32_t line = 0; line < geometry.calibration_lines; ++line) {
    cursor = pack_row(cursor, geometry.width, fill, [&](std::uint32_t column) {
      return calibration_pixel(frame_number, line, geometry.first_column + column);
    });
  }
  frame.image_bytes = std::size_t{geometry.height} * row_stride(geometry.width);
  const std::vector<std::size_t> payload_sizes = plan_packet_split(geometry);
  frame.packets.reserve(payload_sizes.size());
  std::size_t offset = 0;
  for (std::size_t i = 0; i < payload_sizes.size(); ++i) {
    packet_span span;
    span.payload_offset = offset;
    span.length = packet_header_bytes + payload_sizes[i];
    span.index = static_cast<std::uint16_t>(i);
    span.last = i + 1 == payload_sizes.size();
    frame.packets.push_back(span);
    offset += payload_sizes[i];
  }
  frame.planned_packets = frame.packets.size();
  return frame;
}

} // namespace

std::size_t frame_packets::copy_packet(std::size_t i, std::uint8_t* destination,
                                       std::size_t capacity) const {
  const packet_span& span = packets[i];
  std::uint8_t header[packet_header_bytes];
  put_u16(header + header_magic_offset, span.corrupt_magic ? corrupt_packet_magic : packet_magic);
  put_u16(header + header_index_offset,
          static_cast<std::uint16_t>(span.index | (span.last ? last_packet_flag : 0)));
  put_u32(header + header_frame_counter_offset, frame_number + span.frame_counter_delta);
  put_u32(header + header_timestamp_low_offset, static_cast<std::uint32_t>(timestamp));
  put_u32(header + header_timestamp_high_offset,
          static_cast<std::uint32_t>(timestamp >> (bits_per_word * 2)));
  const std::size_t length = std::min(span.length, capacity);
  std::memcpy(destination, header, std::min(length, packet_header_bytes));
  if (length <= packet_header_bytes) {
    return length;
  }
  // The payload stream is the calibration bytes followed by the image bytes.
  std::size_t position = span.payload_offset;
  std::size_t remaining = length - packet_header_bytes;
  std::uint8_t* cursor = destination + packet_header_bytes;
  if (position < calibration.size()) {
    const std::size_t part = std::min(remaining, calibration.size() - position);
    std::memcpy(cursor, calibration.data() + position, part);
    cursor += part;
    position += part;
    remaining -= part;
  }
  if (remaining > 0) {
    std::memcpy(cursor, image_rows->data() + image_offset + (position - calibration.size()),
                remaining);
  }
  return length;
}

std::vector<std::uint8_t> frame_packets::packet(std::size_t i) const {
  std::vector<std::uint8_t> bytes(packets[i].length);
  copy_packet(i, bytes.data(), bytes.size());
  return bytes;
}

frame_packets frame_builder::build(const frame_geometry& geometry, std::uint32_t frame_number,
                                   std::uint64_t timestamp) {
  const bool same_strip = strip_ && strip_geometry_.width == geometry.width &&
                          strip_geometry_.height == geometry.height &&
                          strip_geometry_.first_column == geometry.first_column;
  if (!same_strip) {
    // One period of rows plus the rows a frame starting at the period's last row runs into.
    strip_ = pack_strip(geometry, 0, pattern_period - 1 + geometry.height);
    strip_geometry_ = geometry;
  }
  frame_packets frame = start_frame(geometry, frame_number, timestamp);
  frame.image_rows = strip_;
  frame.image_offset = first_strip_row(geometry, frame_number) * row_stride(geometry.width);
  return frame;
}

frame_packets build_frame_packets(const frame_geometry& geometry, std::uint32_t frame_number,
                                  std::uint64_t timestamp) {
  frame_packets frame = start_frame(geometry, frame_number, timestamp);
  frame.image_rows = pack_strip(geometry, first_strip_row(geometry, frame_number), geometry.height);
  return frame;
}

} // namespace sim
