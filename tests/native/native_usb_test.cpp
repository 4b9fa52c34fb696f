// Native path under Wine: the platform seam's device files and the USB layer (through the module's
// exports), over the test bus kernel driver, with the driver as the only device source. Every
// request goes through CreateFileA, DeviceIoControl, the completion records' events and the
// transfer threads' completion ports to the driver, which forwards it to the simulator.
#include "platform/device_io.h"
#include "tests/native/native_suite.h"
#include "tests/support/driver_requests.h"
#include "tests/usb/usb_test_support.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace native_test;
using namespace usb_test;
namespace errors = platform::error;

// The driver's interface class.
constexpr platform::interface_class_guid camera_class{
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};
constexpr std::uint32_t sharing_violation = 32;
// A request on 0x81 is never answered by the camera: it stays pending until cancelled or closed.
constexpr std::uint8_t never_answered = 0x81;

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

class native_path : public ::testing::Test {
protected:
  void SetUp() override {
    the_bridge().reset();
    served_at_start = the_bridge().requests_served();
  }

  void TearDown() override {
    // The simulator is reached through the driver only: it saw no request the bridge did not
    // hand it (it counts fewer: those it refuses before looking at them are not counted).
    std::uint64_t seen = 0;
    for (int camera : cameras) {
      qmx_sim_counters c{};
      if (qmx_sim_get_counters(camera, &c) == 0) {
        for (std::uint64_t n : c.requests_seen) {
          seen += n;
        }
      }
    }
    EXPECT_LE(seen, the_bridge().requests_served() - served_at_start);
    EXPECT_EQ(the_bridge().failures(), 0u) << the_bridge().first_failure();
    the_bridge().reset();
  }

  int plug(const char* serial, std::uint16_t bcd_usb = 0x0300) {
    const int camera = qmx_sim_camera_add(serial, bcd_usb);
    EXPECT_GT(camera, 0);
    cameras.push_back(camera);
    return camera;
  }

  std::vector<std::uint8_t> last_request(int camera, int endpoint) {
    std::vector<std::uint8_t> copy(38 + 64, 0);
    copy.resize(qmx_sim_last_request(camera, endpoint, copy.data(),
                                     static_cast<std::uint32_t>(copy.size())));
    return copy;
  }

  std::uint32_t pending_at_camera(int camera, int endpoint) {
    qmx_sim_counters c{};
    EXPECT_EQ(qmx_sim_get_counters(camera, &c), 0);
    return c.requests_pending[endpoint];
  }

  std::vector<int> cameras;
  std::uint64_t served_at_start = 0;
};

// ---- The seam's device files on the driver -------------------------------------------------

TEST_F(native_path, listing_finds_the_bus_interface_of_each_plugged_camera) {
  EXPECT_TRUE(platform::enumerate_device_interfaces(camera_class).paths.empty());
  const int a = plug("LIST0001");
  const int b = plug("LIST0002");
  const platform::interface_enumeration found = platform::enumerate_device_interfaces(camera_class);
  EXPECT_EQ(found.list_error, 0u);
  EXPECT_TRUE(found.ended_with_no_more_items);
  ASSERT_EQ(found.paths.size(), 2u);
  // The driver's paths (the bus names the device), never the simulator's.
  std::vector<std::string> listed{lower(found.paths[0]), lower(found.paths[1])};
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed[0], lower(the_bridge().bus_path(a)));
  EXPECT_EQ(listed[1], lower(the_bridge().bus_path(b)));
  EXPECT_EQ(listed[0].rfind("\\\\?\\qmxtestbus#camera#list0001#{ae18aa60-", 0), 0u) << listed[0];
  ASSERT_EQ(qmx_sim_camera_unplug(a), 0);
  const platform::interface_enumeration after = platform::enumerate_device_interfaces(camera_class);
  ASSERT_EQ(after.paths.size(), 1u);
  EXPECT_EQ(lower(after.paths[0]), listed[1]);
}

TEST_F(native_path, descriptor_read_and_a_command_transaction) {
  const int camera = plug("SEAM0001", 0x0200);
  std::uint32_t error = 1;
  platform::device_file file = platform::device_file::open(the_bridge().bus_path(camera).c_str(),
                                                           platform::share_mode::shared, &error);
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(error, 0u);
  std::vector<std::uint8_t> buffer = driver_requests::descriptor_read_buffer();
  std::uint32_t bytes = 0;
  ASSERT_EQ(file.request(driver_requests::request_control, buffer.data(), 56, &bytes), 0u);
  EXPECT_EQ(bytes, 56u);
  EXPECT_EQ(u32_at(buffer, 30), 38u) << "the data offset the driver returns";
  EXPECT_EQ(buffer[38], 18);
  EXPECT_EQ(buffer[40] | (buffer[41] << 8), 0x0200);
  EXPECT_EQ(buffer[46] | (buffer[47] << 8), vendor);
  EXPECT_EQ(buffer[48] | (buffer[49] << 8), product);
  EXPECT_EQ(driver_requests::transact(file, "sernum"), "SEAM0001");
}

// The outcome of a request still pending reads as pending (997), as the seam promises, although
// GetOverlappedResult without waiting answers 996 there; cancelling ends it with 995.
TEST_F(native_path, a_pending_request_reads_as_pending_until_cancelled) {
  const int camera = plug("SEAM0002");
  platform::device_file file = platform::device_file::open(the_bridge().bus_path(camera).c_str(),
                                                           platform::share_mode::shared);
  ASSERT_TRUE(file.valid());
  driver_requests::pending_request request(never_answered, 512);
  ASSERT_EQ(request.submit(file), errors::io_pending);
  std::uint32_t bytes = 7;
  EXPECT_EQ(file.outcome(request.record, &bytes, false), errors::io_pending);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(request.record.outcome(&bytes, false), errors::io_pending);
  EXPECT_FALSE(request.record.completed());
  EXPECT_FALSE(request.record.completion_event().wait_for(50));
  ASSERT_EQ(file.cancel(request.record), 0u);
  EXPECT_EQ(file.outcome(request.record, &bytes, true), errors::operation_aborted);
  EXPECT_TRUE(request.record.completed());
  EXPECT_EQ(file.cancel(request.record), errors::not_found) << "a request that is over";
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_DATA), 0u)
      << "the cancel must reach the camera";
}

// Closing a file ends its pending requests before close returns, so that their buffers and
// records may go at once.
TEST_F(native_path, closing_a_file_ends_its_pending_requests_before_it_returns) {
  const int camera = plug("SEAM0003");
  platform::device_file file = platform::device_file::open(the_bridge().bus_path(camera).c_str(),
                                                           platform::share_mode::exclusive);
  ASSERT_TRUE(file.valid());
  std::vector<std::unique_ptr<driver_requests::pending_request>> requests;
  for (int i = 0; i < 16; ++i) {
    requests.push_back(std::make_unique<driver_requests::pending_request>(
        i % 2 == 0 ? never_answered : std::uint8_t{0x83}, 16384));
    ASSERT_EQ(requests.back()->submit(file), errors::io_pending);
  }
  file.close();
  for (auto& r : requests) {
    EXPECT_TRUE(r->record.completed());
    EXPECT_EQ(r->record.outcome(nullptr, false), errors::operation_aborted);
  }
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_DATA), 0u);
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_EVENT), 0u);
  // The device opens again.
  EXPECT_TRUE(platform::device_file::open(the_bridge().bus_path(camera).c_str(),
                                          platform::share_mode::exclusive)
                  .valid());
}

// An exclusive open keeps every other open out. Windows refuses the second open itself; Wine 8.0
// gives the handle whatever the driver answers, so there the driver refuses every request on it.
TEST_F(native_path, an_exclusive_open_keeps_other_opens_out) {
  const int camera = plug("SEAM0004");
  const std::string path = the_bridge().bus_path(camera);
  platform::device_file first =
      platform::device_file::open(path.c_str(), platform::share_mode::exclusive);
  ASSERT_TRUE(first.valid());
  for (const platform::share_mode mode :
       {platform::share_mode::exclusive, platform::share_mode::shared}) {
    std::uint32_t error = 0;
    platform::device_file second = platform::device_file::open(path.c_str(), mode, &error);
    if (!running_under_wine()) {
      EXPECT_FALSE(second.valid());
      EXPECT_EQ(error, sharing_violation);
      continue;
    }
    ASSERT_TRUE(second.valid()) << "Wine 8.0 gives the handle; if this fails, Wine changed";
    std::vector<std::uint8_t> buffer = driver_requests::descriptor_read_buffer();
    std::uint32_t bytes = 0;
    EXPECT_EQ(second.request(driver_requests::request_control, buffer.data(), 56, &bytes),
              sharing_violation);
    driver_requests::pending_request request(0x83, 512);
    EXPECT_EQ(request.submit(second), sharing_violation);
  }
  EXPECT_EQ(driver_requests::transact(first, "sernum"), "SEAM0004") << "the first file still works";
}

} // namespace
