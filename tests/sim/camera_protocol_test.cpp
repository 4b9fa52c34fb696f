// Tests, simulator: the camera model's text command protocol, replies and refusals.
#include "sim/camera_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

bool is_error(const std::string& reply) {
  return reply.rfind("error", 0) == 0;
}

sim::camera_config named_camera() {
  sim::camera_config config;
  config.id = "camera id text";
  config.serial_number = "SN-42";
  config.sensor_temperature_c = -15;
  return config;
}

TEST(camera_protocol, identification_replies_are_the_configured_texts) {
  sim::camera_model camera(named_camera());
  EXPECT_EQ(camera.handle_command("id"), "camera id text");
  EXPECT_EQ(camera.handle_command("sernum"), "SN-42");
  EXPECT_EQ(camera.config().usb_bcd, 0x0300);
}

TEST(camera_protocol, commands_arrive_zero_padded_in_a_full_buffer) {
  sim::camera_model camera(named_camera());
  std::string buffer(1024, '\0');
  buffer.replace(0, 6, "sernum");
  EXPECT_EQ(camera.handle_command(buffer), "SN-42");
  // Bytes after the first zero byte are not part of the command.
  buffer.replace(0, 9, std::string("id\0junk  ", 9));
  EXPECT_EQ(camera.handle_command(buffer), "camera id text");
}

TEST(camera_protocol, roi_reads_back_the_full_sensor_by_default) {
  sim::camera_model camera;
  EXPECT_EQ(camera.handle_command("roi"), "0 0 1279 1023");
}

TEST(camera_protocol, roi_set_and_read_back) {
  sim::camera_model camera;
  EXPECT_EQ(camera.handle_command("roi 100 20 611 519"), "ok");
  EXPECT_EQ(camera.handle_command("roi"), "100 20 611 519");
  EXPECT_EQ(camera.geometry().width, 512U);
  EXPECT_EQ(camera.geometry().height, 500U);
}

TEST(camera_protocol, roi_refusals_leave_the_region_unchanged) {
  sim::camera_model camera;
  const char* refused[] = {
      "roi 0 0 1280 1023",  // past the right edge
      "roi 0 0 1279 1024",  // past the bottom edge
      "roi -4 0 1275 1023", // negative corner
      "roi 100 0 99 10",    // x2 < x1
      "roi 0 10 3 9",       // y2 < y1
      "roi 0 0 1278 1023",  // width 1279
      "roi 1 0 10 10",      // width 10
      "roi 0 0 1279",       // three numbers
      "roi 0 0 1279 1023 5",
      "roi 0 0 0x10 10", // decimal only
      "roi a b c d",
  };
  for (const char* command : refused) {
    const std::string reply = camera.handle_command(command);
    EXPECT_TRUE(is_error(reply)) << command << " -> " << reply;
  }
  EXPECT_EQ(camera.handle_command("roi"), "0 0 1279 1023");
}

TEST(camera_protocol, roi_cannot_change_while_armed) {
  sim::camera_model camera;
  EXPECT_EQ(camera.handle_command("arm"), "ok");
  EXPECT_TRUE(camera.armed());
  EXPECT_TRUE(is_error(camera.handle_command("roi 0 0 639 479")));
  EXPECT_EQ(camera.handle_command("roi"), "0 0 1279 1023");
  EXPECT_EQ(camera.handle_command("stop"), "ok");
  EXPECT_FALSE(camera.armed());
  EXPECT_EQ(camera.handle_command("roi 0 0 639 479"), "ok");
}

TEST(camera_protocol, integer_queries_parse_as_plain_decimal) {
  sim::camera_model camera;
  const std::string lines = camera.handle_command("num_calibration_lines");
  EXPECT_EQ(lines, "2");
  // The host reads these with automatic base; the reply must mean the same number there.
  EXPECT_EQ(std::strtol(lines.c_str(), nullptr, 0), 2);
  const std::string packets = camera.handle_command("data_packets_per_frame");
  EXPECT_EQ(std::strtol(packets.c_str(), nullptr, 0), 101);
  EXPECT_EQ(camera.handle_command("roi 0 0 15 0"), "ok");
  EXPECT_EQ(camera.handle_command("data_packets_per_frame"), "1");
}

TEST(camera_protocol, settings_read_write_and_range) {
  sim::camera_model camera(named_camera());
  EXPECT_EQ(camera.handle_command("exposure_ms"), "10");
  EXPECT_EQ(camera.handle_command("exposure_ms 20"), "ok");
  EXPECT_EQ(camera.handle_command("exposure_ms"), "20");
  EXPECT_TRUE(is_error(camera.handle_command("exposure_ms 0")));
  EXPECT_TRUE(is_error(camera.handle_command("exposure_ms fast")));
  EXPECT_TRUE(is_error(camera.handle_command("exposure_ms 1 2")));
  EXPECT_EQ(camera.handle_command("exposure_ms"), "20");
  EXPECT_EQ(camera.handle_command("gain 120"), "ok");
  EXPECT_EQ(camera.handle_command("gain"), "120");
  EXPECT_TRUE(is_error(camera.handle_command("gain 481")));
  EXPECT_EQ(camera.handle_command("fps 0"), "ok");
  EXPECT_EQ(camera.handle_command("fps 30"), "ok");
  std::int64_t fps = 0;
  ASSERT_TRUE(camera.setting("fps", fps));
  EXPECT_EQ(fps, 30);
}

TEST(camera_protocol, temperature_is_read_only) {
  sim::camera_model camera(named_camera());
  EXPECT_EQ(camera.handle_command("temperature"), "-15");
  EXPECT_TRUE(is_error(camera.handle_command("temperature 20")));
  EXPECT_EQ(camera.handle_command("temperature"), "-15");
}

TEST(camera_protocol, unknown_and_malformed_commands_get_error_replies) {
  sim::camera_model camera;
  EXPECT_TRUE(is_error(camera.handle_command("focus")));
  EXPECT_TRUE(is_error(camera.handle_command("")));
  EXPECT_TRUE(is_error(camera.handle_command("id now")));
  EXPECT_TRUE(is_error(camera.handle_command("arm 3")));
  EXPECT_FALSE(camera.armed());
  EXPECT_TRUE(is_error(camera.handle_command("ROI")));
}

TEST(camera_protocol, sensor_that_cannot_be_packed_is_refused) {
  sim::camera_config config;
  config.sensor_width = 1278;
  EXPECT_THROW(sim::camera_model{config}, std::invalid_argument);
}

} // namespace
