// Simulator, camera model: the deterministic test pattern that a test can predict pixel by pixel.
#pragma once

#include <cstdint>

namespace sim {

// Largest value a 10-bit pixel can hold; every pattern value is reduced into 0..pixel_value_mask.
inline constexpr std::uint32_t pixel_value_mask = 1023;

// Steps of the image pattern: each frame adds image_frame_step to every pixel, each row
// image_row_step, each column 1. Odd and distinct, so frame, row and column each move every value.
inline constexpr std::uint32_t image_frame_step = 37;
inline constexpr std::uint32_t image_row_step = 3;

// Image pixel at sensor row `row` and sensor column `column` (sensor coordinates, not offsets
// inside the region of interest, so a moved region shows the same scene):
//   (frame_number * 37 + row * 3 + column) & 1023
// Consecutive frames differ at every pixel, so a frame delivered twice or out of place shows.
std::uint16_t pattern_pixel(std::uint32_t frame_number, std::uint32_t row, std::uint32_t column);

// Pixel of calibration line `line` (0 = first line sent) at sensor column `column`:
//   (frame_number * 11 + line * 97 + column * 5 + 512) & 1023
// A different function from the image pattern, so calibration pixels that leak into the image
// (or image pixels that end up in the calibration area) are told apart.
std::uint16_t calibration_pixel(std::uint32_t frame_number, std::uint32_t line,
                                std::uint32_t column);

} // namespace sim
