// The simulated driver as the USB layer meets it: raw 38-byte requests through the platform
// seam's device files, against cameras plugged into the simulated world.
#include "platform/device_io.h"
#include "sim/qmx_sim.h"
#include "sim_world_fixture.h"
#include "tests/support/driver_requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace platform;
using namespace driver_requests;

using sim_test::driver_class;
using sim_test::path_of;

class sim_driver : public sim_test::sim_world_test {
protected:
  static device_file open(int camera, share_mode mode = share_mode::exclusive) {
    std::uint32_t reason = 0;
    device_file file = device_file::open(path_of(camera).c_str(), mode, &reason);
    EXPECT_TRUE(file.valid()) << "open failed with " << reason;
    return file;
  }
};

TEST_F(sim_driver, enumeration_lists_plugged_cameras_only) {
  const int a = qmx_sim_camera_add("SIM0001", 0x0300);
  const int b = qmx_sim_camera_add("SIM0002", 0x0200);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  auto found = enumerate_device_interfaces(driver_class);
  ASSERT_EQ(found.paths.size(), 2u);
  EXPECT_EQ(found.paths[0], path_of(a));
  EXPECT_EQ(found.paths[0],
            R"(\\?\usb#vid_2f4e&pid_4002#SIM0001#{ae18aa60-7f6a-11d4-97dd-00010229b959})");
  ASSERT_EQ(qmx_sim_camera_unplug(a), 0);
  found = enumerate_device_interfaces(driver_class);
  ASSERT_EQ(found.paths.size(), 1u);
  EXPECT_EQ(found.paths[0], path_of(b));
  constexpr interface_class_guid other_class{
      0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  EXPECT_TRUE(enumerate_device_interfaces(other_class).paths.empty());
}

// The simulator is a device source the seam finds on its own: a process may keep it loaded
// without offering its cameras (a test driver behind the real device path uses it so), and files
// opened before keep working.
TEST_F(sim_driver, the_simulator_can_stop_offering_its_cameras_to_the_seam) {
  const int camera = qmx_sim_camera_add("SIMSRC01", 0x0300);
  device_file kept = open(camera, share_mode::shared);
  qmx_sim_set_device_source(0);
  EXPECT_TRUE(enumerate_device_interfaces(driver_class).paths.empty());
  std::uint32_t reason = 0;
  EXPECT_FALSE(device_file::open(path_of(camera).c_str(), share_mode::shared, &reason).valid());
  EXPECT_EQ(reason, error::file_not_found);
  auto b = descriptor_read_buffer();
  std::uint32_t bytes = 0;
  EXPECT_EQ(kept.request(request_control, b.data(), header_size + 18, &bytes), error::success)
      << "a file opened before keeps working";
  qmx_sim_set_device_source(1);
  const auto found = enumerate_device_interfaces(driver_class);
  ASSERT_EQ(found.paths.size(), 1u);
  EXPECT_EQ(found.paths[0], path_of(camera));
}

TEST_F(sim_driver, descriptor_read_reports_ids_and_speed_class) {
  const std::uint16_t versions[] = {0x0110, 0x0200, 0x0300};
  for (std::uint16_t version : versions) {
    qmx_sim_reset();
    const int camera = qmx_sim_camera_add("SIMDESC", version);
    device_file file = open(camera, share_mode::shared);
    auto b = descriptor_read_buffer();
    std::uint32_t bytes = 0;
    ASSERT_EQ(file.request(request_control, b.data(), header_size + 18, &bytes), 0u);
    const std::uint32_t at = get_u32(b, 30);
    ASSERT_EQ(at, header_size);
    EXPECT_EQ(b[at], 18);
    EXPECT_EQ(b[at + 1], 1);
    EXPECT_EQ(b[at + 2] | (b[at + 3] << 8), version);
    EXPECT_EQ(b[at + 8] | (b[at + 9] << 8), 0x2F4E);
    EXPECT_EQ(b[at + 10] | (b[at + 11] << 8), 0x4002);
  }
}

TEST_F(sim_driver, malformed_requests_get_errors) {
  const int camera = qmx_sim_camera_add("SIMBAD", 0x0300);
  device_file file = open(camera);
  std::uint32_t bytes = 0;
  auto b = descriptor_read_buffer();
  EXPECT_EQ(file.request(0x220028, b.data(), 56, &bytes), error::invalid_function);
  EXPECT_EQ(file.request(request_control, b.data(), 20, &bytes), error::invalid_parameter);
  put_u32(b, 30, 40); // wrong data offset
  EXPECT_EQ(file.request(request_control, b.data(), 56, &bytes), error::invalid_parameter);
  completion_record record;
  ASSERT_TRUE(record.create());
  auto unknown = endpoint_buffer(0x01, 64);
  EXPECT_EQ(file.submit(request_endpoint, unknown.data(),
                        static_cast<std::uint32_t>(unknown.size()), record),
            error::invalid_parameter);
  auto too_long = endpoint_buffer(0x83, 64);
  put_u32(too_long, 34, 65); // more data than the buffer holds
  EXPECT_EQ(file.submit(request_endpoint, too_long.data(),
                        static_cast<std::uint32_t>(too_long.size()), record),
            error::invalid_parameter);
  // Control requests other than the descriptor read stall.
  auto control = endpoint_buffer(0, 8);
  control[0] = 0x40;
  control[1] = 0x11;
  EXPECT_EQ(file.request(request_control, control.data(),
                         static_cast<std::uint32_t>(control.size()), &bytes),
            error::gen_failure);
}

TEST_F(sim_driver, exclusive_open_refuses_every_other_open_until_closed) {
  const int camera = qmx_sim_camera_add("SIMEXCL", 0x0300);
  const std::string path = path_of(camera);
  device_file owner = open(camera, share_mode::exclusive);
  std::uint32_t reason = 0;
  EXPECT_FALSE(device_file::open(path.c_str(), share_mode::shared, &reason).valid());
  EXPECT_EQ(reason, error::sharing_violation);
  EXPECT_FALSE(device_file::open(path.c_str(), share_mode::exclusive, &reason).valid());
  owner.close();
  device_file probe = device_file::open(path.c_str(), share_mode::shared, &reason);
  EXPECT_TRUE(probe.valid());
  EXPECT_FALSE(device_file::open(path.c_str(), share_mode::exclusive, &reason).valid())
      << "an exclusive open must wait for the probe to close";
}

TEST_F(sim_driver, paths_compare_without_regard_to_letter_case) {
  const int camera = qmx_sim_camera_add("SimCase", 0x0300);
  std::string path = path_of(camera);
  for (char& c : path) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  std::uint32_t reason = 0;
  EXPECT_TRUE(device_file::open(path.c_str(), share_mode::shared, &reason).valid()) << reason;
}

TEST_F(sim_driver, command_transaction_and_injected_error_replies) {
  const int camera = qmx_sim_camera_add("SIMCMD42", 0x0300);
  device_file file = open(camera);
  EXPECT_EQ(transact(file, "sernum"), "SIMCMD42");
  EXPECT_NE(transact(file, "no_such_command").find("error"), std::string::npos);
  ASSERT_EQ(qmx_sim_set_error_replies(camera, "id", 2), 0);
  EXPECT_EQ(transact(file, "id").rfind("error", 0), 0u);
  EXPECT_EQ(transact(file, "id").rfind("error", 0), 0u);
  const std::string id = transact(file, "id");
  EXPECT_EQ(id.find("error"), std::string::npos) << id;
  ASSERT_EQ(qmx_sim_set_silent(camera, 1), 0);
  EXPECT_EQ(transact(file, "id", 200), "<no reply>");
  ASSERT_EQ(qmx_sim_set_silent(camera, 0), 0);
  ASSERT_EQ(qmx_sim_set_reply_delay(camera, 100), 0);
  EXPECT_EQ(transact(file, "sernum", 20), "<no reply>") << "a late reply is not there yet";
  EXPECT_EQ(transact(file, "sernum", 2000), "SIMCMD42")
      << "the late reply of the first command answers the next read";
}

// Replies nobody reads are kept up to the camera's 16 reply slots; later ones are lost.
TEST_F(sim_driver, unread_replies_are_kept_up_to_a_bound) {
  const int camera = qmx_sim_camera_add("SIMFLOOD", 0x0300);
  device_file file = open(camera);
  for (int n = 0; n < 20; ++n) {
    pending_request command(0x02, uart_length);
    const std::string text = "gain " + std::to_string(n % 10);
    std::memcpy(command.buffer.data() + header_size, text.c_str(), text.size() + 1);
    ASSERT_EQ(command.submit(file), 0u);
  }
  for (int n = 0; n < 16; ++n) {
    pending_request reply(0x82, uart_length);
    ASSERT_EQ(reply.submit(file), 0u) << "reply " << n << " was kept";
    EXPECT_STREQ(reinterpret_cast<const char*>(reply.data()), "ok");
  }
  pending_request beyond(0x82, uart_length);
  EXPECT_EQ(beyond.submit(file), error::io_pending) << "replies past the bound are lost";
  EXPECT_EQ(file.cancel(beyond.record), 0u);
  EXPECT_TRUE(beyond.record.completion_event().wait_for(1000));
}

TEST_F(sim_driver, cancel_ends_a_pending_request_once) {
  const int camera = qmx_sim_camera_add("SIMCANCEL", 0x0300);
  device_file file = open(camera);
  completion_record record;
  ASSERT_TRUE(record.create());
  auto b = endpoint_buffer(0x81, 512);
  ASSERT_EQ(file.submit(request_endpoint, b.data(), static_cast<std::uint32_t>(b.size()), record),
            error::io_pending);
  EXPECT_FALSE(record.completed());
  EXPECT_FALSE(record.completion_event().wait_for(20));
  EXPECT_EQ(file.outcome(record, nullptr, false), error::io_pending);
  EXPECT_EQ(file.cancel(record), 0u);
  EXPECT_TRUE(record.completed());
  EXPECT_TRUE(record.completion_event().wait_for(1000));
  EXPECT_EQ(file.outcome(record, nullptr, false), error::operation_aborted);
  EXPECT_EQ(file.cancel(record), error::not_found) << "nothing is pending any more";
}

TEST_F(sim_driver, closing_ends_every_pending_request) {
  const int camera = qmx_sim_camera_add("SIMCLOSE", 0x0300);
  device_file file = open(camera);
  std::vector<completion_record> records(4);
  std::vector<std::vector<std::uint8_t>> buffers;
  const std::uint8_t endpoints[] = {0x81, 0x82, 0x83, 0x83};
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(records[i].create());
    buffers.push_back(endpoint_buffer(endpoints[i], i < 2 ? uart_length : image_length));
    ASSERT_EQ(file.submit(request_endpoint, buffers[i].data(),
                          static_cast<std::uint32_t>(buffers[i].size()), records[i]),
              error::io_pending);
  }
  qmx_sim_counters counters{};
  ASSERT_EQ(qmx_sim_get_counters(camera, &counters), 0);
  EXPECT_EQ(counters.requests_pending[QMX_SIM_ENDPOINT_EVENT], 2u);
  file.close();
  for (auto& record : records) {
    EXPECT_TRUE(record.completion_event().wait_for(1000));
    EXPECT_TRUE(record.completed());
  }
  ASSERT_EQ(qmx_sim_get_counters(camera, &counters), 0);
  EXPECT_EQ(counters.requests_pending[QMX_SIM_ENDPOINT_EVENT], 0u);
}

// A record whose request ended while nobody took its signal (the file was closed under it) is
// reused for a new request: as with an OVERLAPPED given to DeviceIoControl, submitting clears
// the old signal, so a waiter sees the new request's completion and nothing earlier.
TEST_F(sim_driver, submitting_clears_a_signal_left_from_an_earlier_request) {
  const int camera = qmx_sim_camera_add("SIMSTALE", 0x0300);
  completion_record record;
  ASSERT_TRUE(record.create());
  auto first = endpoint_buffer(0x81, 512);
  {
    device_file file = open(camera);
    ASSERT_EQ(file.submit(request_endpoint, first.data(), static_cast<std::uint32_t>(first.size()),
                          record),
              error::io_pending);
  } // closed: the request ends aborted and its signal stays set
  ASSERT_TRUE(record.completed());
  device_file file = open(camera);
  auto second = endpoint_buffer(0x81, 512);
  ASSERT_EQ(file.submit(request_endpoint, second.data(), static_cast<std::uint32_t>(second.size()),
                        record),
            error::io_pending);
  EXPECT_FALSE(record.completion_event().wait_for(0)) << "the old request's signal survived";
  EXPECT_FALSE(record.completed());
  EXPECT_EQ(record.outcome(nullptr), error::io_pending);
  ASSERT_EQ(file.cancel(record), 0u);
  EXPECT_TRUE(record.completion_event().wait_for(1000));
  EXPECT_EQ(record.outcome(nullptr), error::operation_aborted);
}

TEST_F(sim_driver, hanging_control_request_stays_pending_until_cancelled) {
  const int camera = qmx_sim_camera_add("SIMHANG", 0x0300);
  ASSERT_EQ(qmx_sim_set_control_hang(camera, 1), 0);
  device_file file = open(camera);
  completion_record record;
  ASSERT_TRUE(record.create());
  auto b = endpoint_buffer(0, 8);
  b[0] = 0xC0;
  b[1] = 0x22;
  ASSERT_EQ(file.submit(request_control, b.data(), static_cast<std::uint32_t>(b.size()), record),
            error::io_pending);
  EXPECT_FALSE(record.completion_event().wait_for(50));
  EXPECT_EQ(file.cancel(record), 0u);
  EXPECT_TRUE(record.completion_event().wait_for(1000));
  EXPECT_EQ(file.outcome(record, nullptr, false), error::operation_aborted);
}

TEST_F(sim_driver, unplug_fails_pending_requests_and_replug_returns_the_camera) {
  const int camera = qmx_sim_camera_add("SIMPLUG", 0x0300);
  const std::string first_path = path_of(camera);
  device_file file = open(camera);
  completion_record record;
  ASSERT_TRUE(record.create());
  auto b = endpoint_buffer(0x83, image_length);
  ASSERT_EQ(file.submit(request_endpoint, b.data(), static_cast<std::uint32_t>(b.size()), record),
            error::io_pending);
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  EXPECT_TRUE(record.completion_event().wait_for(1000));
  EXPECT_EQ(file.outcome(record, nullptr, false), error::device_not_connected);
  EXPECT_EQ(file.submit(request_endpoint, b.data(), static_cast<std::uint32_t>(b.size()), record),
            error::device_not_connected);
  EXPECT_TRUE(enumerate_device_interfaces(driver_class).paths.empty());
  file.close();
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  EXPECT_EQ(path_of(camera), first_path);
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(qmx_sim_camera_replug(camera, 1), 0);
  EXPECT_NE(path_of(camera), first_path);
  device_file again = open(camera);
  EXPECT_EQ(transact(again, "sernum"), "SIMPLUG");
}

// Streams at maximum rate with 64 image requests kept in flight for a while, then ends the
// stream with `end` (close or unplug). Every request must be over when `end` has returned, with
// success or one of `allowed_errors`; the buffers are freed right after, so a late write by the
// camera would show under AddressSanitizer.
template <typename ender>
void stream_then_end(int camera, device_file& file, ender end, std::uint32_t allowed_error) {
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  auto requests = std::make_unique<std::deque<pending_request>>();
  for (int n = 0; n < 64; ++n) {
    requests->emplace_back(0x83, image_length);
    ASSERT_EQ(requests->back().submit(file), error::io_pending);
  }
  ASSERT_EQ(transact(file, "arm"), "ok");
  std::size_t completed = 0;
  for (std::size_t next = 0; completed < 2000; next = (next + 1) % requests->size(), ++completed) {
    pending_request& r = (*requests)[next];
    ASSERT_TRUE(r.record.completion_event().wait_for(5000));
    ASSERT_EQ(r.record.outcome(nullptr), error::success);
    ASSERT_EQ(r.submit(file), error::io_pending);
  }
  end();
  for (pending_request& r : *requests) {
    ASSERT_TRUE(r.record.completed()) << "a request outlived the end of the stream";
    const std::uint32_t outcome = r.record.outcome(nullptr);
    EXPECT_TRUE(outcome == error::success || outcome == allowed_error) << outcome;
  }
  requests.reset();
}

TEST_F(sim_driver, closing_during_a_maximum_rate_stream_ends_every_request_first) {
  const int camera = qmx_sim_camera_add("SIMRUSH1", 0x0300);
  device_file file = open(camera);
  stream_then_end(
      camera, file, [&] { file.close(); }, error::operation_aborted);
}

TEST_F(sim_driver, unplug_during_a_maximum_rate_stream_ends_every_request_first) {
  const int camera = qmx_sim_camera_add("SIMRUSH2", 0x0300);
  device_file file = open(camera);
  stream_then_end(
      camera, file, [&] { ASSERT_EQ(qmx_sim_camera_unplug(camera), 0); },
      error::device_not_connected);
}

} // namespace
