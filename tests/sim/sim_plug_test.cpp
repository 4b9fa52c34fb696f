// The simulated camera across unplug and replug, as hardware behaves: a replug is a new plug
// (openable at once, power-on state), files of the earlier plug stay dead, replies of the
// earlier plug are gone; and cameras configured at plug time.
#include "platform/device_io.h"
#include "sim/qmx_sim.h"
#include "sim_world_fixture.h"
#include "tests/support/driver_requests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace platform;
using namespace driver_requests;

using sim_test::driver_class;
using sim_test::path_of;

class sim_plug : public sim_test::sim_world_test {
protected:
  static device_file open(int camera, std::uint32_t* reason = nullptr) {
    return device_file::open(path_of(camera).c_str(), share_mode::exclusive, reason);
  }
};

TEST_F(sim_plug, replug_is_openable_at_once_while_a_file_of_the_old_plug_is_open) {
  const int camera = qmx_sim_camera_add("PLUG0001", 0x0300);
  device_file old_file = open(camera);
  ASSERT_TRUE(old_file.valid());
  for (int new_path = 0; new_path <= 1; ++new_path) {
    ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
    ASSERT_EQ(qmx_sim_camera_replug(camera, new_path), 0);
    std::uint32_t reason = 0;
    device_file probe = device_file::open(path_of(camera).c_str(), share_mode::shared, &reason);
    EXPECT_TRUE(probe.valid()) << "probe refused with " << reason << ", new path " << new_path;
    probe.close();
    device_file fresh = open(camera, &reason);
    ASSERT_TRUE(fresh.valid()) << "open refused with " << reason << ", new path " << new_path;
    EXPECT_EQ(transact(fresh, "sernum"), "PLUG0001");
  }
}

TEST_F(sim_plug, files_of_an_earlier_plug_stay_dead_until_closed) {
  const int camera = qmx_sim_camera_add("PLUG0002", 0x0300);
  device_file old_file = open(camera);
  ASSERT_TRUE(old_file.valid());
  ASSERT_EQ(transact(old_file, "sernum"), "PLUG0002");
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  pending_request command(0x02, uart_length);
  EXPECT_EQ(command.submit(old_file), error::device_not_connected);
  pending_request image(0x83, image_length);
  EXPECT_EQ(image.submit(old_file), error::device_not_connected);
  auto descriptor = descriptor_read_buffer();
  std::uint32_t bytes = 0;
  EXPECT_EQ(old_file.request(request_control, descriptor.data(), header_size + 18, &bytes),
            error::device_not_connected);
  // Closing the dead file does not disturb the new plug's exclusive open.
  device_file fresh = open(camera);
  ASSERT_TRUE(fresh.valid());
  old_file.close();
  std::uint32_t reason = 0;
  EXPECT_FALSE(open(camera, &reason).valid());
  EXPECT_EQ(reason, error::sharing_violation);
  EXPECT_EQ(transact(fresh, "sernum"), "PLUG0002");
}

TEST_F(sim_plug, replugged_camera_starts_from_its_power_on_state) {
  const int camera = qmx_sim_camera_add("PLUG0003", 0x0300);
  {
    device_file file = open(camera);
    ASSERT_EQ(transact(file, "roi 8 4 263 131"), "ok");
    ASSERT_EQ(transact(file, "gain 120"), "ok");
    pending_request image(0x83, image_length);
    ASSERT_EQ(image.submit(file), error::io_pending);
    ASSERT_EQ(transact(file, "arm"), "ok");
    ASSERT_TRUE(image.record.completion_event().wait_for(2000)) << "the armed camera streams";
    ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
    qmx_sim_counters counters{};
    ASSERT_EQ(qmx_sim_get_counters(camera, &counters), 0);
    const std::uint64_t started = counters.frames_started;
    ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
    device_file fresh = open(camera);
    ASSERT_TRUE(fresh.valid());
    pending_request waiting(0x83, image_length);
    ASSERT_EQ(waiting.submit(fresh), error::io_pending);
    EXPECT_EQ(transact(fresh, "id").find("error"), std::string::npos);
    EXPECT_FALSE(waiting.record.completion_event().wait_for(150))
        << "a replugged camera is not armed: no command starts a stream";
    ASSERT_EQ(qmx_sim_get_counters(camera, &counters), 0);
    EXPECT_EQ(counters.frames_started, started);
    EXPECT_EQ(transact(fresh, "roi"), "0 0 1279 1023");
    EXPECT_EQ(transact(fresh, "gain"), "0");
    fresh.close(); // ends `waiting` before its buffer goes
  }
}

TEST_F(sim_plug, unplug_discards_pending_and_delayed_replies) {
  const int camera = qmx_sim_camera_add("PLUG0004", 0x0300);
  {
    device_file file = open(camera);
    ASSERT_EQ(qmx_sim_set_reply_delay(camera, 100), 0);
    ASSERT_EQ(transact(file, "gain", 10), "<no reply>") << "the reply is still on its way";
    // Unanswered replies are also kept on the camera until read.
    ASSERT_EQ(qmx_sim_set_reply_delay(camera, 0), 0);
    pending_request command(0x02, uart_length);
    std::memcpy(command.buffer.data() + header_size, "exposure_ms", 12);
    ASSERT_EQ(command.submit(file), 0u);
    ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  }
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  device_file fresh = open(camera);
  platform::sleep_ms(200); // the late "gain" reply would have come by now
  EXPECT_EQ(transact(fresh, "sernum"), "PLUG0004");
  EXPECT_EQ(transact(fresh, "sernum", 100), "PLUG0004");
}

TEST_F(sim_plug, silent_camera_still_carries_out_its_commands) {
  const int camera = qmx_sim_camera_add("PLUG0005", 0x0300);
  device_file file = open(camera);
  ASSERT_EQ(qmx_sim_set_silent(camera, 1), 0);
  pending_request image(0x83, image_length);
  ASSERT_EQ(image.submit(file), error::io_pending);
  EXPECT_EQ(transact(file, "arm", 50), "<no reply>");
  EXPECT_TRUE(image.record.completion_event().wait_for(2000)) << "\"arm\" armed the camera";
  EXPECT_EQ(transact(file, "stop", 50), "<no reply>");
  ASSERT_EQ(qmx_sim_set_silent(camera, 0), 0);
  EXPECT_EQ(transact(file, "gain 7"), "ok");
}

TEST_F(sim_plug, cameras_with_one_serial_get_distinct_paths_and_ids) {
  const int a = qmx_sim_camera_add("TWIN0001", 0x0300);
  const int b = qmx_sim_camera_add("TWIN0001", 0x0300);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_NE(path_of(a), path_of(b));
  EXPECT_EQ(enumerate_device_interfaces(driver_class).paths.size(), 2u);
  device_file file_a = open(a);
  device_file file_b = open(b);
  ASSERT_TRUE(file_a.valid());
  ASSERT_TRUE(file_b.valid()) << "each camera opens on its own path";
  const std::string id_a = transact(file_a, "id");
  const std::string id_b = transact(file_b, "id");
  EXPECT_NE(id_a, id_b);
  EXPECT_EQ(transact(file_a, "sernum"), transact(file_b, "sernum"));
  // A replug on a new path stays distinct too, and keeps the camera's ID.
  ASSERT_EQ(qmx_sim_camera_unplug(a), 0);
  ASSERT_EQ(qmx_sim_camera_replug(a, 1), 0);
  EXPECT_NE(path_of(a), path_of(b));
  device_file again = open(a);
  EXPECT_EQ(transact(again, "id"), id_a);
}

TEST_F(sim_plug, configured_camera_reports_its_identity_size_and_ids) {
  qmx_sim_camera_config config;
  qmx_sim_camera_config_init(&config);
  config.serial = "CONF0001";
  config.id = "ACME-42";
  config.vendor_id = 0x1234;
  config.product_id = 0;
  config.bcd_usb = 0x0210;
  config.sensor_width = 2048;
  config.sensor_height = 2048;
  config.calibration_lines = 0;
  const int camera = qmx_sim_camera_add_configured(&config);
  ASSERT_GT(camera, 0);
  EXPECT_NE(path_of(camera).find("vid_1234&pid_0000"), std::string::npos) << path_of(camera);
  device_file file = open(camera);
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(transact(file, "id"), "ACME-42");
  EXPECT_EQ(transact(file, "roi"), "0 0 2047 2047");
  EXPECT_EQ(transact(file, "num_calibration_lines"), "0");
  // 2048 x 2048 RAW10 pixels, no fill bytes, in packets of 16368 payload bytes.
  EXPECT_EQ(transact(file, "data_packets_per_frame"),
            std::to_string((2048 * 2048 * 5 / 4 + 16367) / 16368));
  EXPECT_EQ(transact(file, "roi 0 0 1283 9"), "ok") << "1284 wide: one fill byte per row";
  EXPECT_EQ(transact(file, "roi 0 0 1287 9"), "ok") << "1288 wide: two fill bytes per row";
  auto descriptor = descriptor_read_buffer();
  std::uint32_t bytes = 0;
  ASSERT_EQ(file.request(request_control, descriptor.data(), header_size + 18, &bytes), 0u);
  EXPECT_EQ(descriptor[header_size + 2] | (descriptor[header_size + 3] << 8), 0x0210);
  EXPECT_EQ(descriptor[header_size + 8] | (descriptor[header_size + 9] << 8), 0x1234);
  EXPECT_EQ(descriptor[header_size + 10] | (descriptor[header_size + 11] << 8), 0);

  config.sensor_width = 1282; // not a whole number of RAW10 groups
  EXPECT_EQ(qmx_sim_camera_add_configured(&config), 0);
  config.sensor_width = 8;
  config.serial = "";
  EXPECT_EQ(qmx_sim_camera_add_configured(&config), 0);
  EXPECT_EQ(qmx_sim_camera_add_configured(nullptr), 0);
}

TEST_F(sim_plug, camera_added_unplugged_arrives_with_the_faults_set_before) {
  qmx_sim_camera_config config;
  qmx_sim_camera_config_init(&config);
  config.serial = "LATE0001";
  config.plugged = 0;
  const int camera = qmx_sim_camera_add_configured(&config);
  ASSERT_GT(camera, 0);
  EXPECT_TRUE(enumerate_device_interfaces(driver_class).paths.empty());
  std::uint32_t reason = 0;
  EXPECT_FALSE(open(camera, &reason).valid());
  ASSERT_EQ(qmx_sim_set_error_replies(camera, "id", 1), 0);
  ASSERT_EQ(qmx_sim_camera_unplug(camera), -1) << "it is not plugged in yet";
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  device_file file = open(camera);
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(transact(file, "id").rfind("error", 0), 0u) << "the fault set before the arrival";
  EXPECT_EQ(transact(file, "id"), "QMXSIM-" + std::string(4 - std::to_string(camera).size(), '0') +
                                      std::to_string(camera));
}

} // namespace
