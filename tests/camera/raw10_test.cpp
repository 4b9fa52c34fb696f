// RAW10 unpacking: every kernel this processor can run against an independent reference decode,
// and the frame-aware unpacker with groups and row fill bytes cut by packet boundaries.
#include "camera/frame_path.h"
#include "camera/raw10.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

namespace {

// The reference: each pixel is its high byte times 4 plus its two bits of the group's fifth byte.
std::vector<std::uint16_t> reference_decode(const std::vector<std::uint8_t>& packed) {
  std::vector<std::uint16_t> pixels;
  for (std::size_t g = 0; g + 5 <= packed.size(); g += 5) {
    const unsigned low = packed[g + 4];
    pixels.push_back(static_cast<std::uint16_t>(packed[g] * 4 + (low & 3)));
    pixels.push_back(static_cast<std::uint16_t>(packed[g + 1] * 4 + ((low >> 2) & 3)));
    pixels.push_back(static_cast<std::uint16_t>(packed[g + 2] * 4 + ((low >> 4) & 3)));
    pixels.push_back(static_cast<std::uint16_t>(packed[g + 3] * 4 + (low >> 6)));
  }
  return pixels;
}

std::vector<std::uint16_t> as_pixels(const unsigned char* bytes, std::size_t count) {
  std::vector<std::uint16_t> pixels(count);
  for (std::size_t i = 0; i < count; ++i) {
    pixels[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return pixels;
}

const qmx::raw10_path all_paths[] = {qmx::raw10_path::scalar, qmx::raw10_path::ssse3,
                                     qmx::raw10_path::avx2};

TEST(raw10_kernel, decodes_a_hand_made_group) {
  // b4 = 0b11'10'01'00: p0 gets 0, p1 gets 1, p2 gets 2, p3 gets 3 as low bits.
  const unsigned char group[5] = {0x00, 0x01, 0x80, 0xFF, 0xE4};
  unsigned char out[8] = {};
  qmx::unpack_groups_scalar(group, out, 1);
  EXPECT_EQ(as_pixels(out, 4), (std::vector<std::uint16_t>{0, 5, 514, 1023}));
}

TEST(raw10_kernel, the_scalar_path_is_always_available_and_the_chosen_one_can_run) {
  EXPECT_NE(qmx::raw10_kernel_for(qmx::raw10_path::scalar), nullptr);
  EXPECT_NE(qmx::raw10_kernel_for(qmx::selected_raw10_path()), nullptr);
  for (qmx::raw10_path path : all_paths) {
    std::printf("[ info     ] %s kernel: %s%s\n", qmx::raw10_path_name(path),
                qmx::raw10_kernel_for(path) != nullptr ? "available" : "not available here",
                path == qmx::selected_raw10_path() ? " (chosen)" : "");
  }
}

// Every kernel the processor supports, on random data of every group count up to 70 and some
// long odd runs. The input is an allocation of exactly the bytes given, so that a read beyond
// them is reported by AddressSanitizer; guard bytes after the output catch a write beyond it.
TEST(raw10_kernel, every_available_path_matches_the_reference) {
  const std::uint32_t seed = 20240611;
  std::mt19937 random(seed);
  std::vector<std::size_t> counts;
  for (std::size_t n = 0; n <= 70; ++n) {
    counts.push_back(n);
  }
  for (std::size_t n : {3273u, 3274u, 1021u, 4097u, 12345u}) {
    counts.push_back(n);
  }
  int paths_run = 0;
  for (qmx::raw10_path path : all_paths) {
    const qmx::raw10_kernel kernel = qmx::raw10_kernel_for(path);
    if (kernel == nullptr) {
      continue;
    }
    ++paths_run;
    for (std::size_t groups : counts) {
      const std::size_t bytes = 5 * groups;
      std::unique_ptr<unsigned char[]> input(new unsigned char[bytes == 0 ? 1 : bytes]);
      std::vector<std::uint8_t> copy(bytes);
      for (std::size_t i = 0; i < bytes; ++i) {
        input[i] = static_cast<unsigned char>(random());
        copy[i] = input[i];
      }
      constexpr std::size_t guard = 64;
      std::vector<unsigned char> output(8 * groups + guard, 0xA5);
      kernel(input.get(), output.data(), groups);
      EXPECT_EQ(as_pixels(output.data(), 4 * groups), reference_decode(copy))
          << qmx::raw10_path_name(path) << " with " << groups << " groups, seed " << seed;
      for (std::size_t i = 8 * groups; i < output.size(); ++i) {
        ASSERT_EQ(output[i], 0xA5)
            << qmx::raw10_path_name(path) << " wrote past " << groups << " groups";
      }
    }
  }
  EXPECT_GE(paths_run, 1);
}

TEST(raw10_kernel, every_available_path_decodes_each_value_of_each_pixel_position) {
  // All 1024 values in each of the four positions of a group.
  std::vector<std::uint8_t> packed;
  std::vector<std::uint16_t> expected;
  for (unsigned v = 0; v < 1024; ++v) {
    const unsigned values[4] = {v, 1023 - v, (v * 7) & 1023, (v * 13 + 5) & 1023};
    unsigned low = 0;
    for (unsigned k = 0; k < 4; ++k) {
      packed.push_back(static_cast<std::uint8_t>(values[k] >> 2));
      low |= (values[k] & 3) << (2 * k);
      expected.push_back(static_cast<std::uint16_t>(values[k]));
    }
    packed.push_back(static_cast<std::uint8_t>(low));
  }
  for (qmx::raw10_path path : all_paths) {
    if (const qmx::raw10_kernel kernel = qmx::raw10_kernel_for(path)) {
      std::vector<unsigned char> output(2 * expected.size());
      kernel(packed.data(), output.data(), packed.size() / 5);
      EXPECT_EQ(as_pixels(output.data(), expected.size()), expected) << qmx::raw10_path_name(path);
    }
  }
}

// A frame state with no calibration lines and the given rows, for the unpacker alone.
struct unpacker {
  qmx::frame_assembly_state a;
  std::vector<unsigned char> out;
  qmx::raw10_destination destination;

  unpacker(int width, int rows, int fill) : out(static_cast<std::size_t>(2 * width * rows), 0) {
    a.pixels_per_row = width;
    a.pixels_per_frame = width * rows;
    a.row_fill_bytes = fill;
    destination.image = out.data();
    destination.image_bytes = static_cast<std::int32_t>(out.size());
  }
  // Feeds `bytes` as one payload of exactly that size.
  std::int32_t feed(const std::vector<std::uint8_t>& bytes) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return qmx::unpack_raw10(a, destination, exact.get(), static_cast<std::int32_t>(bytes.size()));
  }
  std::vector<std::uint16_t> pixels() const { return as_pixels(out.data(), out.size() / 2); }
};

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::size_t from,
                                std::size_t to) {
  return {v.begin() + static_cast<std::ptrdiff_t>(from),
          v.begin() + static_cast<std::ptrdiff_t>(to)};
}

TEST(unpack_raw10, a_group_split_two_and_three_decodes_like_the_whole_group) {
  const std::vector<std::uint8_t> group = {0x12, 0x34, 0x56, 0x78, 0x9B};
  unpacker whole(4, 1, 0);
  EXPECT_EQ(whole.feed(group), 8);
  unpacker split(4, 1, 0);
  EXPECT_EQ(split.feed(slice(group, 0, 2)), 0);
  EXPECT_EQ(split.a.carry_count, 2);
  EXPECT_EQ(split.feed(slice(group, 2, 5)), 8);
  EXPECT_EQ(split.a.carry_count, 0);
  EXPECT_EQ(split.pixels(), whole.pixels());
  EXPECT_EQ(whole.pixels(), reference_decode(group));
}

TEST(unpack_raw10, a_payload_too_short_to_complete_the_carried_group_keeps_carrying) {
  const std::vector<std::uint8_t> stream = {0x12, 0x34, 0x56, 0x78, 0x9B,
                                            0xFF, 0x00, 0x80, 0x7F, 0xC3};
  unpacker u(8, 1, 0);
  EXPECT_EQ(u.feed(slice(stream, 0, 2)), 0);
  EXPECT_EQ(u.feed(slice(stream, 2, 3)), 0) << "one byte: the group is still incomplete";
  EXPECT_EQ(u.a.carry_count, 3);
  EXPECT_EQ(u.feed(slice(stream, 3, 4)), 0);
  EXPECT_EQ(u.feed(slice(stream, 4, 10)), 16);
  EXPECT_EQ(u.pixels(), reference_decode(stream));
  EXPECT_EQ(u.a.pixels_written, 8);
}

// Packs rows of `width` pixels with `fill` bytes of 0xEE after each row.
std::vector<std::uint8_t> pack_rows(const std::vector<std::uint16_t>& pixels, int width, int fill) {
  std::vector<std::uint8_t> packed;
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    unsigned low = 0;
    for (unsigned k = 0; k < 4; ++k) {
      packed.push_back(static_cast<std::uint8_t>(pixels[i + k] >> 2));
      low |= (pixels[i + k] & 3u) << (2 * k);
    }
    packed.push_back(static_cast<std::uint8_t>(low));
    if ((i + 4) % static_cast<std::size_t>(width) == 0) {
      packed.insert(packed.end(), static_cast<std::size_t>(fill), 0xEE);
    }
  }
  return packed;
}

std::vector<std::uint16_t> random_pixels(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint16_t> pixels(count);
  for (auto& p : pixels) {
    p = static_cast<std::uint16_t>(random() & 1023);
  }
  return pixels;
}

// Every way to cut the stream in two, for row fill 0, 1 and 2 and rows of one to three groups:
// groups cut anywhere, fill bytes cut between their two bytes or just before them.
TEST(unpack_raw10, every_cut_of_a_stream_with_row_fill_decodes_like_the_whole_stream) {
  for (int fill = 0; fill <= 2; ++fill) {
    for (int width : {4, 8, 12}) {
      const int rows = 5;
      const auto pixels = random_pixels(static_cast<std::size_t>(width * rows),
                                        static_cast<std::uint32_t>(fill * 100 + width));
      const auto stream = pack_rows(pixels, width, fill);
      for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        unpacker u(width, rows, fill);
        const std::int32_t first = u.feed(slice(stream, 0, cut));
        const std::int32_t second = u.feed(slice(stream, cut, stream.size()));
        EXPECT_EQ(first + second, 2 * width * rows)
            << "fill " << fill << " width " << width << " cut " << cut;
        EXPECT_EQ(u.pixels(), pixels) << "fill " << fill << " width " << width << " cut " << cut;
        EXPECT_EQ(u.a.carry_count, 0);
      }
    }
  }
}

TEST(unpack_raw10, with_one_fill_byte_and_width_four_one_byte_after_every_group_is_skipped) {
  const std::vector<std::uint16_t> pixels = {1, 2, 3, 4, 1023, 0, 512, 7};
  const auto stream = pack_rows(pixels, 4, 1);
  ASSERT_EQ(stream.size(), 12u);
  unpacker u(4, 2, 1);
  EXPECT_EQ(u.feed(stream), 16);
  EXPECT_EQ(u.pixels(), pixels);
}

TEST(unpack_raw10, fill_bytes_cut_by_the_payload_end_are_skipped_in_the_next_payload) {
  const std::vector<std::uint16_t> pixels = {10, 20, 30, 40, 50, 60, 70, 80};
  const auto stream = pack_rows(pixels, 4, 2); // group, 2 fill, group, 2 fill
  unpacker u(4, 2, 2);
  EXPECT_EQ(u.feed(slice(stream, 0, 6)), 8);
  EXPECT_EQ(u.a.pending_skip, 1) << "one fill byte is still to be skipped";
  EXPECT_EQ(u.feed(slice(stream, 6, stream.size())), 8);
  EXPECT_EQ(u.pixels(), pixels);
}

TEST(unpack_raw10, stops_at_the_frame_end_and_never_writes_beyond_the_destination) {
  const auto pixels = random_pixels(16, 7);
  const auto stream = pack_rows(pixels, 16, 0);
  unpacker u(16, 1, 0);
  u.a.pixels_per_frame = 8;
  EXPECT_EQ(u.feed(stream), 16) << "the frame ends after 8 pixels";
  EXPECT_EQ(u.feed(stream), 0) << "a full frame takes nothing more";

  unpacker small(16, 1, 0);
  small.destination.image_bytes = 20; // room for two whole groups
  EXPECT_EQ(small.feed(stream), 16);
  for (std::size_t i = 16; i < small.out.size(); ++i) {
    EXPECT_EQ(small.out[i], 0) << i;
  }
}

TEST(unpack_raw10, calibration_pixels_and_image_pixels_go_to_their_own_places) {
  const auto pixels = random_pixels(12, 9); // one calibration row and two image rows of 4
  const auto stream = pack_rows(pixels, 4, 1);
  qmx::frame_assembly_state a;
  a.pixels_per_row = 4;
  a.pixels_per_frame = 12;
  a.row_fill_bytes = 1;
  std::vector<unsigned char> calibration(8), image(16);
  qmx::raw10_destination d;
  d.calibration = calibration.data();
  d.calibration_bytes = 8;
  d.image = image.data();
  d.image_bytes = 16;
  // Cut inside the first image group: its start is carried, then lands in the image.
  EXPECT_EQ(qmx::unpack_raw10(a, d, stream.data(), 8), 8);
  EXPECT_EQ(
      qmx::unpack_raw10(a, d, stream.data() + 8, static_cast<std::int32_t>(stream.size() - 8)), 16);
  EXPECT_EQ(as_pixels(calibration.data(), 4),
            std::vector<std::uint16_t>(pixels.begin(), pixels.begin() + 4));
  EXPECT_EQ(as_pixels(image.data(), 8),
            std::vector<std::uint16_t>(pixels.begin() + 4, pixels.end()));
}

} // namespace
