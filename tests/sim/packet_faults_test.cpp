// Tests, simulator: seeded fault injection in commands and frame packets.
#include "reference_decoder.h"
#include "sim/camera_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::uint32_t fixed_seed = 20240611;

bool is_error(const std::string& reply) {
  return reply.rfind("error", 0) == 0;
}

sim::camera_model seeded_camera(std::uint32_t seed) {
  sim::camera_config config;
  config.random_seed = seed;
  config.id = "sim id";
  return sim::camera_model(config);
}

// Header index words in sending order, which show drops, repeats and swaps.
// Every packet of `frame` as it goes out, in order.
std::vector<std::vector<std::uint8_t>> packets_sent(const sim::frame_packets& frame) {
  std::vector<std::vector<std::uint8_t>> packets;
  for (std::size_t i = 0; i < frame.packets.size(); ++i) {
    packets.push_back(frame.packet(i));
  }
  return packets;
}

std::vector<std::uint32_t> index_words(const sim::frame_packets& frame) {
  std::vector<std::uint32_t> words;
  for (std::size_t i = 0; i < frame.packets.size(); ++i) {
    words.push_back(sim_test::read_le(frame.packet(i), 2, 2));
  }
  return words;
}

TEST(command_faults, first_queries_of_a_command_get_errors) {
  sim::camera_model camera = seeded_camera(fixed_seed);
  camera.fail_first_queries("id", 2);
  EXPECT_TRUE(is_error(camera.handle_command("id")));
  EXPECT_EQ(camera.handle_command("sernum"), camera.config().serial_number);
  EXPECT_TRUE(is_error(camera.handle_command("id")));
  EXPECT_EQ(camera.handle_command("id"), "sim id");
  EXPECT_EQ(camera.handle_command("id"), "sim id");
}

TEST(command_faults, an_injected_error_does_not_execute_the_command) {
  sim::camera_model camera = seeded_camera(fixed_seed);
  camera.fail_first_queries("arm", 1);
  EXPECT_TRUE(is_error(camera.handle_command("arm")));
  EXPECT_FALSE(camera.armed());
  EXPECT_EQ(camera.handle_command("arm"), "ok");
  EXPECT_TRUE(camera.armed());
}

TEST(packet_faults, seed_is_reported) {
  EXPECT_EQ(seeded_camera(fixed_seed).random_seed(), fixed_seed);
}

TEST(packet_faults, corrupt_magic_on_every_packet) {
  sim::camera_model camera = seeded_camera(fixed_seed);
  sim::packet_fault_settings faults;
  faults.corrupt_magic = 1.0;
  camera.set_packet_faults(faults);
  const sim::frame_packets frame = camera.build_frame_packets(3, 0);
  ASSERT_EQ(frame.packets.size(), camera.data_packets_per_frame());
  for (std::size_t i = 0; i < frame.packets.size(); ++i) {
    EXPECT_NE(sim_test::decode_header(frame.packet(i)).magic, 0x9090) << i;
  }
  EXPECT_EQ(camera.fault_counters().corrupted, frame.packets.size());
}

TEST(packet_faults, drop_every_packet) {
  sim::camera_model camera = seeded_camera(fixed_seed);
  sim::packet_fault_settings faults;
  faults.drop = 1.0;
  camera.set_packet_faults(faults);
  EXPECT_TRUE(camera.build_frame_packets(3, 0).packets.empty());
  EXPECT_EQ(camera.fault_counters().dropped, camera.data_packets_per_frame());
}

TEST(packet_faults, same_seed_gives_the_same_damage) {
  sim::packet_fault_settings faults;
  faults.corrupt_magic = 0.05;
  faults.drop = 0.05;
  faults.repeat = 0.05;
  faults.reorder = 0.05;
  faults.shorten = 0.05;
  SCOPED_TRACE("random seed value " + std::to_string(fixed_seed));
  sim::camera_model first = seeded_camera(fixed_seed);
  sim::camera_model second = seeded_camera(fixed_seed);
  sim::camera_model other = seeded_camera(fixed_seed + 1);
  first.set_packet_faults(faults);
  second.set_packet_faults(faults);
  other.set_packet_faults(faults);
  bool other_differs = false;
  for (std::uint32_t frame_number = 0; frame_number < 4; ++frame_number) {
    const sim::frame_packets a = first.build_frame_packets(frame_number, 1);
    const sim::frame_packets b = second.build_frame_packets(frame_number, 1);
    const sim::frame_packets c = other.build_frame_packets(frame_number, 1);
    EXPECT_EQ(packets_sent(a), packets_sent(b));
    other_differs = other_differs || packets_sent(a) != packets_sent(c);
  }
  const auto& counters = first.fault_counters();
  // With these chances over four frames of 101 packets, every kind of fault happens.
  EXPECT_GT(counters.corrupted, 0U);
  EXPECT_GT(counters.dropped, 0U);
  EXPECT_GT(counters.repeated, 0U);
  EXPECT_GT(counters.reordered, 0U);
  EXPECT_GT(counters.shortened, 0U);
  EXPECT_TRUE(other_differs);
}

TEST(packet_faults, repeated_and_swapped_packets_show_in_the_index_words) {
  sim::camera_model camera = seeded_camera(fixed_seed);
  sim::packet_fault_settings faults;
  faults.repeat = 1.0;
  camera.set_packet_faults(faults);
  const auto repeated = index_words(camera.build_frame_packets(0, 0));
  ASSERT_EQ(repeated.size(), 2 * camera.data_packets_per_frame());
  for (std::size_t i = 0; i < repeated.size(); i += 2) {
    EXPECT_EQ(repeated[i], repeated[i + 1]);
    EXPECT_EQ(repeated[i] & 0x7FFF, i / 2);
  }

  faults = {};
  faults.reorder = 1.0;
  camera.set_packet_faults(faults);
  const auto swapped = index_words(camera.build_frame_packets(1, 0));
  ASSERT_EQ(swapped.size(), camera.data_packets_per_frame());
  EXPECT_EQ(swapped[0] & 0x7FFF, 1U);
  EXPECT_EQ(swapped[1] & 0x7FFF, 0U);
}

TEST(packet_faults, shortened_packets_keep_their_header) {
  sim::camera_model camera = seeded_camera(fixed_seed);
  sim::packet_fault_settings faults;
  faults.shorten = 1.0;
  camera.set_packet_faults(faults);
  const sim::frame_packets frame = camera.build_frame_packets(0, 0);
  ASSERT_EQ(frame.packets.size(), camera.data_packets_per_frame());
  EXPECT_EQ(frame.packets[0].length, 16 + (16384 - 16) / 2);
  EXPECT_EQ(sim_test::decode_header(frame.packet(0)).magic, 0x9090);
}

} // namespace
