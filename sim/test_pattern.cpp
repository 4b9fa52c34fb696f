// Simulator, camera model: the deterministic test pattern.
#include "sim/test_pattern.h"

namespace sim {

namespace {
// Multipliers chosen odd and distinct so that frame, line and column each move every value.
constexpr std::uint32_t calibration_frame_step = 11;
constexpr std::uint32_t calibration_line_step = 97;
constexpr std::uint32_t calibration_column_step = 5;
// Puts calibration pixels around mid-scale, as a dark reference with an offset would be.
constexpr std::uint32_t calibration_offset = 512;
} // namespace

std::uint16_t pattern_pixel(std::uint32_t frame_number, std::uint32_t row, std::uint32_t column) {
  // Unsigned arithmetic wraps modulo 2^32, a multiple of 1024, so the mask is exact.
  const std::uint32_t value = frame_number * image_frame_step + row * image_row_step + column;
  return static_cast<std::uint16_t>(value & pixel_value_mask);
}

std::uint16_t calibration_pixel(std::uint32_t frame_number, std::uint32_t line,
                                std::uint32_t column) {
  const std::uint32_t value = frame_number * calibration_frame_step + line * calibration_line_step +
                              column * calibration_column_step + calibration_offset;
  return static_cast<std::uint16_t>(value & pixel_value_mask);
}

} // namespace sim
