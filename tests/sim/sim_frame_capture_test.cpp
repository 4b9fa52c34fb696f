// A whole frame captured at the driver level, through the platform seam's device files, and
// decoded by the independent reference decoder back into the documented test pattern.
#include "platform/device_io.h"
#include "reference_decoder.h"
#include "tests/support/driver_requests.h"
#include "sim/qmx_sim.h"

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
  const std::uint32_t packets = static_cast<std::uint32_t>(std::stoul(transact(file, "data_packets_per_frame")));
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

} // namespace
