// A whole frame captured at the driver level, through the platform seam's device files, and
// decoded by the independent reference decoder back into the documented test pattern.
#include "platform/device_io.h"
#include "reference_decoder.h"
#include "sim/qmx_sim.h"
#include "tests/support/driver_requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using namespace platform;
using namespace driver_requests;

constexpr std::uint32_t width = 1280;
constexpr std::uint32_t height = 1024;
constexpr std::uint32_t calibration_lines = 2;

TEST(sim_frame_capture, first_frame_decodes_to_the_pattern) {
  qmx_sim_reset();
  const int camera = qmx_sim_camera_add("FRAME001", 0x0300);
  ASSERT_GT(camera, 0);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  char path[512];
  ASSERT_EQ(qmx_sim_camera_path(camera, path, sizeof path), 0);
  device_file file = device_file::open(path, share_mode::exclusive);
  ASSERT_TRUE(file.valid());
  const std::uint32_t packets =
      static_cast<std::uint32_t>(std::stoul(transact(file, "data_packets_per_frame")));
  ASSERT_GT(packets, 0u);
  ASSERT_EQ(transact(file, "num_calibration_lines"), std::to_string(calibration_lines));

  // One request per packet of the first frame, all pending before the camera is armed.
  std::deque<pending_request> requests;
  for (std::uint32_t n = 0; n < packets; ++n) {
    requests.emplace_back(0x83, image_length);
    ASSERT_TRUE(requests.back().record.valid());
    ASSERT_EQ(requests.back().submit(file), error::io_pending);
  }
  ASSERT_EQ(transact(file, "arm").rfind("error", 0), std::string::npos);

  sim_test::streaming_unpacker unpacker(width, sim_test::expected_fill(width),
                                        std::size_t{width} * (height + calibration_lines));
  for (std::uint32_t n = 0; n < packets; ++n) {
    pending_request& r = requests[n];
    ASSERT_TRUE(r.record.completion_event().wait_for(5000)) << "packet " << n;
    std::uint32_t bytes = 0;
    ASSERT_EQ(file.outcome(r.record, &bytes, false), 0u);
    ASSERT_GE(bytes, header_size + 16);
    std::span<const std::uint8_t> packet(r.buffer.data() + header_size, bytes - header_size);
    const sim_test::decoded_header h = sim_test::decode_header(packet);
    ASSERT_EQ(h.magic, 0x9090);
    ASSERT_EQ(h.index, n);
    ASSERT_EQ(h.last, n + 1 == packets);
    ASSERT_EQ(h.frame_counter, 0u);
    unpacker.feed(packet.subspan(16));
  }
  transact(file, "stop");
  ASSERT_TRUE(unpacker.problems().empty()) << unpacker.problems();
  const std::vector<std::uint16_t>& pixels = unpacker.pixels();
  ASSERT_EQ(pixels.size(), std::size_t{width} * (height + calibration_lines));
  std::size_t at = 0;
  for (std::uint32_t line = 0; line < calibration_lines; ++line) {
    for (std::uint32_t column = 0; column < width; ++column, ++at) {
      ASSERT_EQ(pixels[at], sim_test::expected_calibration_pixel(0, line, column))
          << "calibration line " << line << " column " << column;
    }
  }
  for (std::uint32_t row = 0; row < height; ++row) {
    for (std::uint32_t column = 0; column < width; ++column, ++at) {
      ASSERT_EQ(pixels[at], sim_test::expected_image_pixel(0, row, column))
          << "row " << row << " column " << column;
    }
  }
  qmx_sim_counters counters{};
  ASSERT_EQ(qmx_sim_get_counters(camera, &counters), 0);
  EXPECT_GE(counters.frames_completed, 1u);
  EXPECT_EQ(counters.packets_lost, 0u);
  file.close();
  qmx_sim_reset();
}

// A camera at maximum rate with `faults`, opened exclusively.
struct faulty_camera {
  int id = 0;
  device_file file;
};

faulty_camera plug_faulty_camera(const char* serial, const qmx_sim_packet_faults& faults) {
  faulty_camera camera;
  camera.id = qmx_sim_camera_add(serial, 0x0300);
  EXPECT_GT(camera.id, 0);
  EXPECT_EQ(qmx_sim_set_max_rate(camera.id, 1), 0);
  EXPECT_EQ(qmx_sim_set_packet_faults(camera.id, &faults), 0);
  char path[512];
  EXPECT_EQ(qmx_sim_camera_path(camera.id, path, sizeof path), 0);
  camera.file = device_file::open(path, share_mode::exclusive);
  EXPECT_TRUE(camera.file.valid());
  return camera;
}

// Faults chosen with certainty, so the outcome does not depend on the random seed value: every
// packet arrives with a corrupted magic word and half its payload, and nothing else changes.
TEST(sim_frame_capture, packet_faults_reach_the_driver) {
  qmx_sim_reset();
  qmx_sim_packet_faults faults{};
  faults.corrupt_magic = 1.0;
  faults.shorten = 1.0;
  faulty_camera camera = plug_faulty_camera("FAULT001", faults);
  device_file& file = camera.file;
  ASSERT_TRUE(file.valid());
  const auto packets =
      static_cast<std::uint32_t>(std::stoul(transact(file, "data_packets_per_frame")));
  std::deque<pending_request> requests;
  for (std::uint32_t n = 0; n < packets; ++n) {
    requests.emplace_back(0x83, image_length);
    ASSERT_EQ(requests.back().submit(file), error::io_pending);
  }
  ASSERT_EQ(transact(file, "arm"), "ok");
  constexpr std::uint32_t full_payload = 16384 - 16;
  for (std::uint32_t n = 0; n < packets; ++n) {
    pending_request& r = requests[n];
    ASSERT_TRUE(r.record.completion_event().wait_for(5000)) << "packet " << n;
    std::uint32_t bytes = 0;
    ASSERT_EQ(file.outcome(r.record, &bytes, false), 0u);
    std::span<const std::uint8_t> packet(r.buffer.data() + header_size, bytes - header_size);
    const sim_test::decoded_header h = sim_test::decode_header(packet);
    EXPECT_NE(h.magic, 0x9090) << "packet " << n;
    EXPECT_EQ(h.index, n);
    if (n + 1 < packets) {
      EXPECT_EQ(packet.size(), 16 + full_payload / 2) << "packet " << n;
    }
  }
  transact(file, "stop");
  file.close();
  qmx_sim_reset();
}

// A camera whose every packet is lost starts frames but delivers nothing.
TEST(sim_frame_capture, dropped_packets_never_complete_a_request) {
  qmx_sim_reset();
  qmx_sim_packet_faults faults{};
  faults.drop = 1.0;
  faulty_camera camera = plug_faulty_camera("FAULT002", faults);
  device_file& file = camera.file;
  ASSERT_TRUE(file.valid());
  pending_request request(0x83, image_length);
  ASSERT_EQ(request.submit(file), error::io_pending);
  ASSERT_EQ(transact(file, "arm"), "ok");
  qmx_sim_counters counters{};
  for (int tries = 0; tries < 500 && counters.frames_started < 3; ++tries) {
    platform::sleep_ms(1);
    ASSERT_EQ(qmx_sim_get_counters(camera.id, &counters), 0);
  }
  EXPECT_GE(counters.frames_started, 3u);
  EXPECT_EQ(counters.packets_sent, 0u);
  EXPECT_FALSE(request.record.completed());
  transact(file, "stop");
  file.close();
  EXPECT_EQ(request.record.outcome(nullptr), error::operation_aborted);
  qmx_sim_reset();
}

// The headers of the first `count` packets a camera sends with `faults`, from fault generator
// seed `seed`: index word, frame counter and packet length of each.
std::vector<std::uint64_t> damaged_stream(const char* serial, const qmx_sim_packet_faults& faults,
                                          std::uint32_t seed, std::uint32_t count) {
  std::vector<std::uint64_t> seen;
  faulty_camera camera = plug_faulty_camera(serial, faults);
  EXPECT_EQ(qmx_sim_set_random_seed(camera.id, seed), 0);
  EXPECT_EQ(qmx_sim_random_seed(camera.id), seed);
  device_file& file = camera.file;
  std::deque<pending_request> requests;
  for (std::uint32_t n = 0; n < count; ++n) {
    requests.emplace_back(0x83, image_length);
    requests.back().submit(file);
  }
  EXPECT_EQ(transact(file, "arm"), "ok");
  for (pending_request& r : requests) {
    if (!r.record.completion_event().wait_for(5000)) {
      ADD_FAILURE() << "packet " << seen.size() << " never came";
      break;
    }
    std::uint32_t bytes = 0;
    EXPECT_EQ(file.outcome(r.record, &bytes, false), 0u);
    const auto header =
        sim_test::decode_header(std::span<const std::uint8_t>(r.data(), bytes - header_size));
    seen.push_back((std::uint64_t{header.frame_counter} << 40) |
                   (std::uint64_t{header.index} << 24) | (header.last ? 1ULL << 23 : 0) |
                   (bytes - header_size));
  }
  transact(file, "stop");
  return seen;
}

// A run with random faults repeats exactly from its reported seed value.
TEST(sim_frame_capture, random_faults_repeat_from_their_seed) {
  qmx_sim_reset();
  qmx_sim_packet_faults faults{};
  faults.drop = 0.2;
  faults.repeat = 0.2;
  faults.reorder = 0.2;
  faults.shorten = 0.2;
  constexpr std::uint32_t seed = 20261206;
  constexpr std::uint32_t packets = 250; // more than two frames
  const auto first = damaged_stream("SEED0001", faults, seed, packets);
  const auto again = damaged_stream("SEED0002", faults, seed, packets);
  const auto other = damaged_stream("SEED0003", faults, seed + 1, packets);
  ASSERT_EQ(first.size(), packets);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  qmx_sim_reset();
}

} // namespace
