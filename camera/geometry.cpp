// Camera data path, geometry: reading the region of interest and deriving the image size.
#include "camera/geometry.h"

#include "camera/camera.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qmx {

namespace {

constexpr char roi_command[] = "roi";
constexpr int roi_numbers = 4;
constexpr std::int64_t bits_per_pixel = 10;
constexpr int result_read = 0;
constexpr int result_failed = 1;

// Keeps the low 32 bits, so a camera's odd numbers wrap instead of overflowing.
std::int32_t low_32_bits(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

// A binning factor below 1 cannot divide the region; it reads as 1.
std::int64_t usable_bin(std::int32_t bin) { return bin < 1 ? 1 : bin; }

} // namespace

int read_roi(camera& c) {
  char reply[serial_buffer_bytes];
  if (!transact(c, roi_command, sizeof roi_command, reply, sizeof reply)) {
    return result_failed;
  }
  if (std::strlen(reply) > longest_query_reply) {
    return result_failed;
  }
  std::int64_t numbers[roi_numbers] = {};
  const char* next = reply;
  for (auto& number : numbers) {
    char* end = nullptr;
    number = std::strtol(next, &end, 0);
    next = end;
  }
  const std::int64_t x1 = numbers[0];
  const std::int64_t y1 = numbers[1];
  const std::int64_t x2 = numbers[2];
  const std::int64_t y2 = numbers[3];
  acquisition_parameters& p = c.parameters;
  p.roi_width = low_32_bits(x2 - x1 + 1);
  p.roi_height = low_32_bits(y2 - y1 + 1);
  p.image_width = low_32_bits(p.roi_width / usable_bin(p.hbin));
  p.image_height = low_32_bits(p.roi_height / usable_bin(p.vbin));
  p.row_bits = low_32_bits(bits_per_pixel * p.roi_width);
  return result_read;
}

} // namespace qmx
