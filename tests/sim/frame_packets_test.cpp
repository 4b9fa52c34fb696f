// Tests, simulator: a frame's packets decoded by the independent reference decoder.
#include "reference_decoder.h"
#include "sim/camera_model.h"
#include "sim/frame_packets.h"

#include <gtest/gtest.h>

#include <span>
#include <string>

namespace {

using sim_test::decode_header;
using sim_test::expected_calibration_pixel;
using sim_test::expected_fill;
using sim_test::expected_image_pixel;

constexpr std::size_t packet_limit = 16384;
constexpr std::size_t header_size = 16;

// Checks every header and every pixel of `frame`.
void check_frame(const sim::frame_packets& frame, const sim::frame_geometry& geometry,
                 std::uint32_t frame_number, std::uint64_t timestamp) {
  const std::size_t rows = std::size_t{geometry.calibration_lines} + geometry.height;
  const std::size_t total_pixels = rows * geometry.width;
  sim_test::streaming_unpacker unpacker(geometry.width, expected_fill(geometry.width),
                                        total_pixels);
  ASSERT_FALSE(frame.packets.empty());
  for (std::size_t i = 0; i < frame.packets.size(); ++i) {
    const auto packet = frame.packet(i);
    ASSERT_GT(packet.size(), header_size) << "packet " << i;
    ASSERT_LE(packet.size(), packet_limit) << "packet " << i;
    const auto header = decode_header(packet);
    EXPECT_EQ(header.magic, 0x9090) << "packet " << i;
    EXPECT_EQ(header.index, i);
    EXPECT_EQ(header.last, i + 1 == frame.packets.size()) << "packet " << i;
    EXPECT_EQ(header.frame_counter, frame_number);
    EXPECT_EQ(header.word_8, static_cast<std::uint32_t>(timestamp & 0xFFFFFFFF));
    EXPECT_EQ(header.word_12, static_cast<std::uint32_t>(timestamp >> 32));
    unpacker.feed(std::span<const std::uint8_t>(packet).subspan(header_size));
  }
  EXPECT_EQ(unpacker.problems(), "");
  const auto& pixels = unpacker.pixels();
  ASSERT_EQ(pixels.size(), total_pixels);
  std::size_t mismatches = 0;
  for (std::uint32_t line = 0; line < geometry.calibration_lines; ++line) {
    for (std::uint32_t column = 0; column < geometry.width; ++column) {
      const auto expected =
          expected_calibration_pixel(frame_number, line, geometry.first_column + column);
      if (pixels[std::size_t{line} * geometry.width + column] != expected && ++mismatches < 5) {
        ADD_FAILURE() << "calibration line " << line << " column " << column;
      }
    }
  }
  const std::size_t image_start = std::size_t{geometry.calibration_lines} * geometry.width;
  for (std::uint32_t row = 0; row < geometry.height; ++row) {
    for (std::uint32_t column = 0; column < geometry.width; ++column) {
      const auto expected = expected_image_pixel(frame_number, geometry.first_row + row,
                                                 geometry.first_column + column);
      if (pixels[image_start + std::size_t{row} * geometry.width + column] != expected &&
          ++mismatches < 5) {
        ADD_FAILURE() << "image row " << row << " column " << column;
      }
    }
  }
  EXPECT_EQ(mismatches, 0U);
}

TEST(raw10_packing, low_bits_of_each_pixel_go_to_the_fifth_byte_in_pixel_order) {
  const std::uint16_t pixels[4] = {1023, 0, 513, 2};
  std::uint8_t group[5] = {};
  sim::pack_raw10_group(pixels, group);
  EXPECT_EQ(group[0], 255);
  EXPECT_EQ(group[1], 0);
  EXPECT_EQ(group[2], 128);
  EXPECT_EQ(group[3], 0);
  // 1023 -> low bits 3 at bits 0-1; 513 -> 1 at bits 4-5; 2 -> 2 at bits 6-7.
  EXPECT_EQ(group[4], 3 | (1 << 4) | (2 << 6));
}

TEST(row_fill, follows_the_packed_row_size) {
  EXPECT_EQ(sim::row_fill_bytes(1280), 0U);
  EXPECT_EQ(sim::row_fill_bytes(1440), 0U);
  EXPECT_EQ(sim::row_fill_bytes(1284), 1U); // 1605 packed bytes
  EXPECT_EQ(sim::row_fill_bytes(1288), 2U); // 1610 packed bytes
  for (std::uint32_t width = 4; width <= 2048; width += 4) {
    EXPECT_EQ(sim::row_fill_bytes(width), expected_fill(width)) << width;
  }
}

TEST(frame_packets, full_sensor_frame_decodes_to_the_pattern) {
  sim::camera_model camera;
  const std::uint32_t frame_number = 1234567;
  const std::uint64_t timestamp = 0x0123456789ABCDEFull;
  const sim::frame_packets frame = camera.build_frame_packets(frame_number, timestamp);
  const std::string reported = camera.handle_command("data_packets_per_frame");
  EXPECT_EQ(reported, std::to_string(frame.packets.size()));
  // 1026 rows of 1600 packed bytes, no fill, in payloads of 16368 bytes.
  EXPECT_EQ(frame.packets.size(), 101U);
  EXPECT_EQ(frame.packets.front().length, packet_limit);
  check_frame(frame, camera.geometry(), frame_number, timestamp);
  EXPECT_EQ(camera.frames_built(), 1U);
}

TEST(frame_packets, roi_with_one_fill_byte_per_row) {
  sim::camera_config config;
  config.sensor_width = 1288;
  sim::camera_model camera(config);
  ASSERT_EQ(camera.handle_command("roi 4 10 1287 209"), "ok");
  const sim::frame_geometry geometry = camera.geometry();
  EXPECT_EQ(geometry.width, 1284U);
  EXPECT_EQ(expected_fill(geometry.width), 1U);
  const sim::frame_packets frame = camera.build_frame_packets(7, 99);
  EXPECT_EQ(camera.handle_command("data_packets_per_frame"), std::to_string(frame.packets.size()));
  check_frame(frame, geometry, 7, 99);
}

TEST(frame_packets, roi_with_two_fill_bytes_per_row) {
  sim::camera_config config;
  config.sensor_width = 1288;
  config.calibration_lines = 3;
  sim::camera_model camera(config);
  ASSERT_EQ(camera.handle_command("roi 0 0 1287 299"), "ok");
  EXPECT_EQ(expected_fill(camera.geometry().width), 2U);
  const sim::frame_packets frame = camera.build_frame_packets(0, 0);
  EXPECT_EQ(camera.handle_command("data_packets_per_frame"), std::to_string(frame.packets.size()));
  check_frame(frame, camera.geometry(), 0, 0);
}

// Every width, each frame three packets long: packet cuts land at many offsets inside rows,
// and the decoder fails if a cut ever separates a row from its fill bytes.
TEST(frame_packets, every_width_survives_the_packet_split) {
  constexpr std::size_t packets_wanted = 3;
  for (std::uint32_t width = 4; width <= 640; width += 4) {
    const std::size_t row_unit = width / 4 * 5 + expected_fill(width);
    const auto height = static_cast<std::uint32_t>(packets_wanted * (packet_limit - 16) / row_unit);
    const sim::frame_geometry geometry{width, height, 2, 8, 3};
    const sim::frame_packets frame = sim::build_frame_packets(geometry, width, width * 3ULL);
    SCOPED_TRACE("width " + std::to_string(width));
    check_frame(frame, geometry, width, width * 3ULL);
    EXPECT_EQ(frame.packets.size(), sim::plan_packet_split(geometry).size());
    // Every packet but the last is full.
    for (std::size_t i = 0; i + 1 < frame.packets.size(); ++i) {
      EXPECT_EQ(frame.packets[i].length, packet_limit);
    }
    if (::testing::Test::HasFailure()) {
      return;
    }
  }
}

// Frames of one geometry share prepared image rows; every frame number places its rows at its
// own point of the pattern's cycle of 1024 rows, the last point included.
TEST(frame_builder, every_frame_of_a_cycle_decodes_to_the_pattern) {
  const sim::frame_geometry geometry{4, 1024, 2, 12, 5};
  sim::frame_builder builder;
  for (std::uint32_t frame_number = 0; frame_number < 1024; ++frame_number) {
    SCOPED_TRACE("frame " + std::to_string(frame_number));
    check_frame(builder.build(geometry, frame_number, frame_number), geometry, frame_number,
                frame_number);
    if (::testing::Test::HasFailure()) {
      return;
    }
  }
}

TEST(frame_builder, a_frame_outlives_a_change_of_geometry) {
  sim::frame_builder builder;
  const sim::frame_geometry before{64, 40, 2, 0, 0};
  const sim::frame_geometry after{128, 20, 2, 4, 4};
  const sim::frame_packets kept = builder.build(before, 3, 4);
  const sim::frame_packets next = builder.build(after, 4, 5);
  check_frame(kept, before, 3, 4);
  check_frame(next, after, 4, 5);
}

TEST(frame_packets, tiny_frame_is_one_last_packet) {
  const sim::frame_geometry geometry{4, 2, 1, 0, 0};
  const sim::frame_packets frame = sim::build_frame_packets(geometry, 5, 6);
  ASSERT_EQ(frame.packets.size(), 1U);
  // Three rows of one 5-byte group, each followed by one fill byte (40 bits = 5 bytes, odd).
  EXPECT_EQ(frame.packets[0].length, header_size + 3 * (5 + 1));
  check_frame(frame, geometry, 5, 6);
}

} // namespace
