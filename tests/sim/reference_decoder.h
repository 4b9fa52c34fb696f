// Tests, simulator: an independent decoder of image packets, written from the receiver's rules.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim_test {

// Header fields of one packet as read from its bytes.
struct decoded_header {
  std::uint16_t magic = 0;
  std::uint16_t index = 0;
  bool last = false;
  std::uint32_t frame_counter = 0;
  std::uint32_t word_8 = 0;
  std::uint32_t word_12 = 0;
};

inline std::uint32_t read_le(std::span<const std::uint8_t> bytes, std::size_t offset,
                             std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value |= std::uint32_t{bytes[offset + i]} << (8 * i);
  }
  return value;
}

inline decoded_header decode_header(std::span<const std::uint8_t> packet) {
  decoded_header header;
  header.magic = static_cast<std::uint16_t>(read_le(packet, 0, 2));
  const std::uint32_t index_word = read_le(packet, 2, 2);
  header.index = static_cast<std::uint16_t>(index_word & 0x7FFF);
  header.last = (index_word & 0x8000) != 0;
  header.frame_counter = read_le(packet, 4, 4);
  header.word_8 = read_le(packet, 8, 4);
  header.word_12 = read_le(packet, 12, 4);
  return header;
}

// Row fill bytes from the packed bit count of a row, as the receiver computes them.
inline std::uint32_t expected_fill(std::uint32_t width) {
  const std::uint32_t row_bits = 10 * width;
  if ((row_bits / 8) % 2 == 1) {
    return 1;
  }
  return (row_bits / 16) % 2 == 1 ? 2 : 0;
}

// Unpacks packet payloads one packet at a time, the way the receiver does: a group cut by a
// packet end is carried into the next packet, a row's fill bytes are skipped right after the
// group that ends the row, and a skip that runs past the end of a packet is lost (so a sender
// that cut there would shift every later pixel and fail the pixel checks).
class streaming_unpacker {
public:
  streaming_unpacker(std::uint32_t pixels_per_row, std::uint32_t fill, std::size_t total_pixels)
      : pixels_per_row_(pixels_per_row), fill_(fill), total_pixels_(total_pixels) {}

  void feed(std::span<const std::uint8_t> payload) {
    std::size_t consumed = 0;
    if (carry_count_ > 0 && pixels_.size() < total_pixels_) {
      const std::size_t missing = 5 - carry_count_;
      if (payload.size() < missing) {
        problems_ += "payload too short to complete a carried group\n";
        return;
      }
      for (std::size_t i = 0; i < missing; ++i) {
        carry_[carry_count_ + i] = payload[i];
      }
      consumed = missing;
      decode_group(carry_);
      consumed += fill_after_group();
      carry_count_ = 0;
    }
    while (pixels_.size() < total_pixels_ && consumed + 5 <= payload.size()) {
      decode_group(&payload[consumed]);
      consumed += 5;
      consumed += fill_after_group();
    }
    if (pixels_.size() < total_pixels_ && consumed < payload.size()) {
      // Fewer than 5 bytes are left here, or the loop would have gone on.
      carry_count_ = std::min(payload.size() - consumed, sizeof carry_ - 1);
      for (std::size_t i = 0; i < carry_count_; ++i) {
        carry_[i] = payload[consumed + i];
      }
    } else if (consumed > payload.size()) {
      problems_ += "row fill bytes cut by a packet end\n";
    }
  }

  const std::vector<std::uint16_t>& pixels() const { return pixels_; }
  const std::string& problems() const { return problems_; }

private:
  void decode_group(const std::uint8_t* b) {
    pixels_.push_back(static_cast<std::uint16_t>(b[0] * 4 + (b[4] & 3)));
    pixels_.push_back(static_cast<std::uint16_t>(b[1] * 4 + ((b[4] >> 2) & 3)));
    pixels_.push_back(static_cast<std::uint16_t>(b[2] * 4 + ((b[4] >> 4) & 3)));
    pixels_.push_back(static_cast<std::uint16_t>(b[3] * 4 + (b[4] >> 6)));
  }

  std::size_t fill_after_group() const { return pixels_.size() % pixels_per_row_ == 0 ? fill_ : 0; }

  std::uint32_t pixels_per_row_;
  std::uint32_t fill_;
  std::size_t total_pixels_;
  std::vector<std::uint16_t> pixels_;
  std::uint8_t carry_[5] = {};
  std::size_t carry_count_ = 0;
  std::string problems_;
};

// Expected pixel values, recomputed here from the documented pattern formulas.
inline std::uint16_t expected_image_pixel(std::uint32_t frame, std::uint32_t row,
                                          std::uint32_t column) {
  return static_cast<std::uint16_t>((frame * 37 + row * 3 + column) & 1023);
}

inline std::uint16_t expected_calibration_pixel(std::uint32_t frame, std::uint32_t line,
                                                std::uint32_t column) {
  return static_cast<std::uint16_t>((frame * 11 + line * 97 + column * 5 + 512) & 1023);
}

} // namespace sim_test
