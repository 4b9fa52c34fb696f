// Binning: every 2 x 2 kernel this processor can run against an independent reference, in place
// (the first output row on its first input row) and into a row before its inputs, and binning a
// frame a few rows at a time against binning it at once.
#include "camera/binning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

const qmx::binning_path all_paths[] = {qmx::binning_path::scalar, qmx::binning_path::sse2,
                                       qmx::binning_path::avx, qmx::binning_path::avx2};

std::uint16_t pixel_at(const std::vector<unsigned char>& bytes, std::size_t i) {
  return static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

void set_pixel(std::vector<unsigned char>& bytes, std::size_t i, std::uint16_t value) {
  bytes[2 * i] = static_cast<unsigned char>(value & 0xFF);
  bytes[2 * i + 1] = static_cast<unsigned char>(value >> 8);
}

// Two rows of `width` random 10-bit pixels, a quarter of them near the top of the range so that
// many sums exceed 1023.
std::vector<unsigned char> random_rows(std::mt19937& random, std::size_t width) {
  std::vector<unsigned char> rows(4 * width);
  for (std::size_t i = 0; i < 2 * width; ++i) {
    const auto value =
        static_cast<std::uint16_t>(random() % 4 == 0 ? 1000 + random() % 24 : random() % 1024);
    set_pixel(rows, i, value);
  }
  return rows;
}

std::vector<std::uint16_t> reference_row(const std::vector<unsigned char>& rows,
                                         std::size_t width) {
  std::vector<std::uint16_t> out(width / 2);
  for (std::size_t c = 0; c < out.size(); ++c) {
    const unsigned sum = pixel_at(rows, 2 * c) + pixel_at(rows, 2 * c + 1) +
                         pixel_at(rows, width + 2 * c) + pixel_at(rows, width + 2 * c + 1);
    out[c] = static_cast<std::uint16_t>(std::min(sum, 1023u));
  }
  return out;
}

TEST(binning_kernel, the_scalar_path_is_always_available_and_the_chosen_one_can_run) {
  EXPECT_NE(qmx::bin_2x2_kernel_for(qmx::binning_path::scalar), nullptr);
  EXPECT_NE(qmx::bin_2x2_kernel_for(qmx::selected_binning_path()), nullptr);
}

// Every width up to 80 output pixels and some long odd ones, each kernel in place and into a
// separate row; guard bytes after the output catch a write beyond it.
TEST(binning_kernel, every_available_path_matches_the_reference) {
  const std::uint32_t seed = 20261206;
  std::mt19937 random(seed);
  std::vector<std::size_t> widths;
  for (std::size_t w = 0; w <= 160; w += 2) {
    widths.push_back(w);
  }
  for (std::size_t w : {1280u, 1288u, 1034u, 4096u}) {
    widths.push_back(w);
  }
  int paths_run = 0;
  for (qmx::binning_path path : all_paths) {
    const qmx::bin_2x2_row_kernel kernel = qmx::bin_2x2_kernel_for(path);
    if (kernel == nullptr) {
      continue;
    }
    ++paths_run;
    for (std::size_t width : widths) {
      const std::vector<unsigned char> rows = random_rows(random, width);
      const std::vector<std::uint16_t> expected = reference_row(rows, width);
      constexpr std::size_t guard = 64;
      // In place: the output starts where the top row does.
      std::vector<unsigned char> image(rows);
      image.resize(rows.size() + guard, 0xA5);
      kernel(image.data(), image.data() + 2 * width, image.data(),
             static_cast<std::int64_t>(width / 2));
      for (std::size_t c = 0; c < expected.size(); ++c) {
        ASSERT_EQ(pixel_at(image, c), expected[c])
            << qmx::binning_path_name(path) << " in place, width " << width << ", pixel " << c
            << ", seed " << seed;
      }
      EXPECT_TRUE(std::all_of(image.begin() + static_cast<std::ptrdiff_t>(rows.size()), image.end(),
                              [](unsigned char b) { return b == 0xA5; }));
      // Into a separate row, whose bytes beyond the output stay untouched.
      std::vector<unsigned char> out(width + guard, 0x5A);
      kernel(rows.data(), rows.data() + 2 * width, out.data(),
             static_cast<std::int64_t>(width / 2));
      for (std::size_t c = 0; c < expected.size(); ++c) {
        ASSERT_EQ(pixel_at(out, c), expected[c])
            << qmx::binning_path_name(path) << ", width " << width << ", pixel " << c;
      }
      EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(width), out.end(),
                              [](unsigned char b) { return b == 0x5A; }))
          << qmx::binning_path_name(path) << " wrote past width " << width;
    }
  }
  EXPECT_GE(paths_run, 2) << "the scalar path and at least one vector path on x86";
}

// Binning a frame a few output rows at a time, in order, gives what binning it at once gives,
// for 2 x 2 and for other block sizes.
TEST(binning, rows_binned_in_pieces_match_the_whole_frame_binned_at_once) {
  std::mt19937 random(7);
  for (const auto& [hbin, vbin] :
       {std::pair{2, 2}, std::pair{3, 2}, std::pair{1, 4}, std::pair{4, 1}, std::pair{8, 8}}) {
    const std::int32_t width = 136;
    const std::int32_t height = 40;
    std::vector<unsigned char> frame(2 * static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < frame.size() / 2; ++i) {
      set_pixel(frame, i, static_cast<std::uint16_t>(random() % 1024));
    }
    std::vector<unsigned char> whole(frame);
    qmx::bin_in_place(whole.data(), width, height, hbin, vbin);
    std::vector<unsigned char> pieces(frame);
    for (std::int32_t row = 0; row < height / vbin; row += 3) {
      qmx::bin_rows_in_place(pieces.data(), width, height, hbin, vbin, row, row + 3);
    }
    EXPECT_EQ(pieces, whole) << hbin << " x " << vbin;
    // A block's sum, checked by hand at one place: output (1, 2).
    unsigned sum = 0;
    for (int dr = 0; dr < vbin; ++dr) {
      for (int dc = 0; dc < hbin; ++dc) {
        sum += pixel_at(frame, static_cast<std::size_t>((vbin + dr) * width + 2 * hbin + dc));
      }
    }
    EXPECT_EQ(pixel_at(whole, static_cast<std::size_t>(width / hbin + 2)), std::min(sum, 1023u))
        << hbin << " x " << vbin;
  }
}

} // namespace
