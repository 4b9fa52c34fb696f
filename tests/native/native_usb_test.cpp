// Native path under Wine: the platform seam's device files and the USB layer (through the module's
// exports), over the test bus kernel driver, with the driver as the only device source. Every
// request goes through CreateFileA, DeviceIoControl, the completion records' events and the
// transfer threads' completion ports to the driver, which forwards it to the simulator.
#include "platform/device_io.h"
#include "sim/hotplug_monitor.h"
#include "tests/native/native_suite.h"
#include "tests/sim/reference_decoder.h"
#include "tests/support/driver_requests.h"
#include "tests/usb/usb_test_support.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
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

// The monitor stand-in's subscription, taken here directly: what it tells its subscribers.
extern "C" __declspec(dllimport) int hotplug_event_subscribe(
    std::uint32_t vendor_id, std::uint32_t product_id,
    void (*notify)(std::uint32_t event, const char* path, void* context), void* context);

struct monitor_log {
  std::mutex mutex;
  std::vector<std::pair<std::uint32_t, std::string>> notifications;
};

// Subscribed once for the whole process: the monitor never forgets a subscriber.
monitor_log& monitor_notifications() {
  static monitor_log* const log = [] {
    auto* created = new monitor_log;
    hotplug_event_subscribe(
        vendor, product,
        [](std::uint32_t event, const char* path, void* context) {
          auto* l = static_cast<monitor_log*>(context);
          std::lock_guard lock(l->mutex);
          l->notifications.emplace_back(event, path);
        },
        created);
    return created;
  }();
  return *log;
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
  // Enough of them that the driver takes a while to end them all.
  std::vector<std::unique_ptr<driver_requests::pending_request>> requests;
  for (int i = 0; i < 256; ++i) {
    requests.push_back(std::make_unique<driver_requests::pending_request>(
        i % 2 == 0 ? never_answered : std::uint8_t{0x83}, 16384));
    ASSERT_EQ(requests.back()->submit(file), errors::io_pending);
  }
  file.close();
  std::size_t still_pending = 0;
  for (auto& r : requests) {
    if (!r->record.completed()) {
      ++still_pending;
    } else {
      EXPECT_EQ(r->record.outcome(nullptr, false), errors::operation_aborted);
    }
  }
  EXPECT_EQ(still_pending, 0u) << "requests still pending once close returned";
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_DATA), 0u);
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_EVENT), 0u);
  // The device opens again.
  EXPECT_TRUE(platform::device_file::open(the_bridge().bus_path(camera).c_str(),
                                          platform::share_mode::exclusive)
                  .valid());
}

// The monitor stand-in tells its subscribers the paths the listing finds (the bus's), not the
// simulator's, for a plug, an unplug and a replug.
TEST_F(native_path, the_monitor_reports_the_paths_the_listing_finds) {
  monitor_log& log = monitor_notifications();
  std::size_t seen = 0;
  {
    std::lock_guard lock(log.mutex);
    seen = log.notifications.size();
  }
  const int camera = plug("HOTP0001");
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  const platform::interface_enumeration found = platform::enumerate_device_interfaces(camera_class);
  ASSERT_EQ(found.paths.size(), 1u);
  const std::string listed = lower(found.paths[0]);
  char sim_path[512] = {};
  ASSERT_EQ(qmx_sim_camera_path(camera, sim_path, sizeof sim_path), 0);
  ASSERT_NE(listed, lower(sim_path));
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  std::lock_guard lock(log.mutex);
  ASSERT_EQ(log.notifications.size(), seen + 3);
  const std::uint32_t expected[] = {QMX_SIM_EVENT_ARRIVED, QMX_SIM_EVENT_LEFT,
                                    QMX_SIM_EVENT_ARRIVED};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(log.notifications[seen + i].first, expected[i]) << "notification " << i;
    EXPECT_EQ(lower(log.notifications[seen + i].second), listed) << "notification " << i;
  }
}

// A whole frame taken through the driver with one request per packet, decoded by the independent
// reference decoder back into the documented pattern.
TEST_F(native_path, a_whole_frame_through_the_driver_decodes_to_the_pattern) {
  constexpr std::uint32_t width = 1280;
  constexpr std::uint32_t height = 1024;
  constexpr std::uint32_t calibration_lines = 2;
  const int camera = plug("FRAME001");
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  platform::device_file file = platform::device_file::open(the_bridge().bus_path(camera).c_str(),
                                                           platform::share_mode::exclusive);
  ASSERT_TRUE(file.valid());
  const std::uint32_t packets = static_cast<std::uint32_t>(
      std::stoul(driver_requests::transact(file, "data_packets_per_frame")));
  ASSERT_GT(packets, 0u);
  std::deque<driver_requests::pending_request> requests;
  for (std::uint32_t n = 0; n < packets; ++n) {
    requests.emplace_back(0x83, driver_requests::image_length);
    ASSERT_EQ(requests.back().submit(file), errors::io_pending);
  }
  ASSERT_EQ(driver_requests::transact(file, "arm").rfind("error", 0), std::string::npos);
  sim_test::streaming_unpacker unpacker(width, sim_test::expected_fill(width),
                                        std::size_t{width} * (height + calibration_lines));
  for (std::uint32_t n = 0; n < packets; ++n) {
    driver_requests::pending_request& r = requests[n];
    ASSERT_TRUE(r.record.completion_event().wait_for(10000)) << "packet " << n;
    std::uint32_t bytes = 0;
    ASSERT_EQ(file.outcome(r.record, &bytes, false), 0u);
    ASSERT_GE(bytes, driver_requests::header_size + 16);
    std::span<const std::uint8_t> packet(r.buffer.data() + driver_requests::header_size,
                                         bytes - driver_requests::header_size);
    const sim_test::decoded_header h = sim_test::decode_header(packet);
    ASSERT_EQ(h.magic, 0x9090);
    ASSERT_EQ(h.index, n);
    ASSERT_EQ(h.last, n + 1 == packets);
    ASSERT_EQ(h.frame_counter, 0u);
    unpacker.feed(packet.subspan(16));
  }
  driver_requests::transact(file, "stop");
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

// ---- The USB layer over the driver ---------------------------------------------------------

class native_usb : public native_path {
protected:
  void SetUp() override {
    native_path::SetUp();
    ASSERT_EQ(libusb_init(&ctx), 0);
  }
  void TearDown() override {
    if (handle != nullptr) {
      libusb_close(handle);
    }
    libusb_exit(ctx);
    native_path::TearDown();
  }

  std::vector<libusb_device*> list_devices() {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    EXPECT_GE(n, 0);
    std::vector<libusb_device*> devices(list, list + (n > 0 ? n : 0));
    libusb_free_device_list(list, 1);
    return devices;
  }

  // Plugs a camera and opens it through the layer.
  int plug_and_open(const char* serial) {
    const int camera = plug(serial);
    const auto devices = list_devices();
    EXPECT_EQ(devices.size(), 1u);
    if (devices.size() == 1) {
      device = devices[0];
      EXPECT_EQ(libusb_open(device, &handle), 0);
    }
    return camera;
  }

  std::uint64_t driver_requests_seen() {
    qmx_test_counters counters{};
    EXPECT_TRUE(the_bridge().driver_counters(counters));
    return counters.requests;
  }

  libusb_context* ctx = nullptr;
  libusb_device* device = nullptr;
  libusb_device_handle* handle = nullptr;
};

TEST_F(native_usb, listing_descriptors_and_speed_classes) {
  EXPECT_TRUE(list_devices().empty());
  plug("SPEED110", 0x0110);
  plug("SPEED210", 0x0210);
  plug("SPEED320", 0x0320);
  const auto first = list_devices();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(list_devices(), first) << "a listing finds the records of the one before";
  std::vector<int> speeds;
  for (libusb_device* d : first) {
    libusb_device_descriptor descriptor{};
    ASSERT_EQ(libusb_get_device_descriptor(d, &descriptor), 0);
    EXPECT_EQ(descriptor.idVendor, vendor);
    EXPECT_EQ(descriptor.idProduct, product);
    const int speed = libusb_get_device_speed(d);
    speeds.push_back(speed);
    // The speed class comes from the major version the driver's descriptor read reported.
    const std::uint16_t expected_bcd = speed == LIBUSB_SPEED_FULL    ? 0x0110
                                       : speed == LIBUSB_SPEED_HIGH  ? 0x0200
                                       : speed == LIBUSB_SPEED_SUPER ? 0x0300
                                                                     : 0;
    EXPECT_EQ(descriptor.bcdUSB, expected_bcd);
  }
  std::sort(speeds.begin(), speeds.end());
  EXPECT_EQ(speeds, (std::vector<int>{LIBUSB_SPEED_FULL, LIBUSB_SPEED_HIGH, LIBUSB_SPEED_SUPER}));
  ASSERT_EQ(qmx_sim_camera_unplug(cameras[1]), 0);
  EXPECT_EQ(list_devices().size(), 2u);
}

TEST_F(native_usb, an_open_device_is_kept_from_other_opens_and_from_listing) {
  const int camera = plug_and_open("OPEN0001");
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(list_devices().empty()) << "the listing's shared open must be refused";
  libusb_device_handle* second = nullptr;
  const int result = libusb_open(device, &second);
  if (!running_under_wine()) {
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
  } else {
    // Wine 8.0 hands out the handle; the driver refuses everything on it.
    ASSERT_EQ(result, 0) << "if Wine now refuses the open, it behaves as Windows does";
    std::vector<unsigned char> buffer(uart_capacity, 0);
    callback_log log;
    libusb_transfer* t =
        make_transfer(second, 0x82, uart_capacity, buffer.data(), uart_capacity, &log);
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_IO);
    EXPECT_EQ(t->status, LIBUSB_TRANSFER_ERROR);
    libusb_close(second);
    EXPECT_EQ(log.count(), 0u);
    libusb_free_transfer(t);
  }
  EXPECT_EQ(transact(handle, "sernum"), "OPEN0001") << "the first handle still works";
  libusb_close(handle);
  handle = nullptr;
  EXPECT_EQ(list_devices().size(), 1u);
  (void)camera;
}

TEST_F(native_usb, command_transaction_with_the_header_the_driver_receives) {
  const int camera = plug_and_open("XFER0001");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(transact(handle, "sernum"), "XFER0001");
  std::vector<unsigned char> out(uart_capacity, 0);
  std::memcpy(out.data(), "hello", 5);
  callback_log log;
  libusb_transfer* tx = make_transfer(handle, 0x02, uart_capacity, out.data(), 5, &log);
  ASSERT_EQ(libusb_submit_transfer(tx), 0);
  ASSERT_TRUE(log.wait_for_count(1));
  const auto header = last_request(camera, QMX_SIM_ENDPOINT_UART_TX);
  ASSERT_GE(header.size(), 38u + 5u);
  EXPECT_EQ(header[13], 0x02);
  EXPECT_EQ(u32_at(header, 8), 0u);
  EXPECT_EQ(u32_at(header, 30), 38u);
  EXPECT_EQ(u32_at(header, 34), 1024u);
  EXPECT_EQ(std::memcmp(header.data() + 38, "hello", 5), 0);
  EXPECT_EQ(log.statuses[0], LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(tx->actual_length, 5);
  libusb_free_transfer(tx);
}

TEST_F(native_usb, refused_submissions_reach_no_driver) {
  plug_and_open("XFER0002");
  ASSERT_NE(handle, nullptr);
  std::vector<unsigned char> buffer(64, 0);
  callback_log log;
  const std::uint64_t before = driver_requests_seen();
  libusb_transfer* wrong = make_transfer(handle, 0x01, 64, buffer.data(), 64, &log);
  EXPECT_EQ(libusb_submit_transfer(wrong), LIBUSB_ERROR_IO);
  libusb_transfer* too_long = make_transfer(handle, 0x83, 64, buffer.data(), 65, &log);
  EXPECT_EQ(libusb_submit_transfer(too_long), LIBUSB_ERROR_INVALID_PARAM);
  libusb_transfer* small_uart = make_transfer(handle, 0x82, 64, buffer.data(), 64, &log);
  EXPECT_EQ(libusb_submit_transfer(small_uart), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(driver_requests_seen(), before);
  EXPECT_EQ(log.count(), 0u);
  for (libusb_transfer* t : {wrong, too_long, small_uart}) {
    libusb_free_transfer(t);
  }
}

// Image transfers go round at the camera's maximum rate: the callbacks run in submission order,
// and the packets they carry follow each other as the camera sent them (frame after frame, each
// packet index after the one before), with the image header intact.
TEST_F(native_usb, image_transfers_complete_in_order_with_the_packets_in_sequence) {
  constexpr int in_flight = 64;
  constexpr std::size_t rounds = 4;
  static constexpr std::size_t limit = in_flight * rounds;
  const int camera = plug_and_open("XFER0003");
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  struct packet_log {
    callback_log log;
    std::mutex mutex;
    std::vector<std::array<std::uint8_t, 8>> headers;
  } packets;
  std::vector<std::vector<unsigned char>> buffers(in_flight,
                                                  std::vector<unsigned char>(image_capacity));
  std::vector<libusb_transfer*> transfers;
  for (int i = 0; i < in_flight; ++i) {
    libusb_transfer* t = make_transfer(handle, 0x83, image_capacity, buffers[i].data(),
                                       image_capacity, &packets.log);
    t->callback = [](libusb_transfer* transfer) {
      auto* p = reinterpret_cast<packet_log*>(transfer->user_data);
      {
        std::lock_guard lock(p->mutex);
        std::array<std::uint8_t, 8> header{};
        std::memcpy(header.data(), transfer->buffer, header.size());
        p->headers.push_back(header);
      }
      const bool completed = transfer->status == LIBUSB_TRANSFER_COMPLETED;
      if (record(transfer) + in_flight <= limit && completed) {
        libusb_submit_transfer(transfer);
      }
    };
    transfers.push_back(t);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
  }
  const std::string armed = transact(handle, "arm");
  ASSERT_EQ(armed.find("error"), std::string::npos) << armed;
  ASSERT_TRUE(packets.log.wait_for_count(limit, 60000)) << packets.log.count();
  transact(handle, "stop");
  std::lock_guard lock(packets.log.mutex);
  std::lock_guard headers_lock(packets.mutex);
  for (std::size_t n = 0; n < limit; ++n) {
    ASSERT_EQ(packets.log.order[n], transfers[n % in_flight])
        << "callback " << n << " out of order";
    ASSERT_EQ(packets.log.statuses[n], LIBUSB_TRANSFER_COMPLETED);
  }
  ASSERT_EQ(packets.headers.size(), limit);
  std::uint32_t frame = 0;
  std::uint32_t index = 0;
  bool last = false;
  for (std::size_t n = 0; n < limit; ++n) {
    const auto& h = packets.headers[n];
    ASSERT_EQ(h[0] | (h[1] << 8), 0x9090) << "packet " << n;
    const std::uint32_t word = h[2] | (h[3] << 8);
    const std::uint32_t counter =
        h[4] | (h[5] << 8) | (h[6] << 16) | (static_cast<std::uint32_t>(h[7]) << 24);
    if (n == 0) {
      ASSERT_EQ(word & 0x7FFF, 0u) << "the stream starts with a frame's first packet";
    } else if (last) {
      ASSERT_EQ(counter, frame + 1) << "packet " << n;
      ASSERT_EQ(word & 0x7FFF, 0u) << "packet " << n;
    } else {
      ASSERT_EQ(counter, frame) << "packet " << n;
      ASSERT_EQ(word & 0x7FFF, index + 1) << "packet " << n;
    }
    frame = counter;
    index = word & 0x7FFF;
    last = (word & 0x8000) != 0;
  }
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
}

TEST_F(native_usb, event_data_area_reaches_the_driver_cleared) {
  const int camera = plug_and_open("XFER0004");
  ASSERT_NE(handle, nullptr);
  std::vector<unsigned char> in(image_capacity, 0xAB);
  callback_log log;
  libusb_transfer* t = make_transfer(handle, 0x83, image_capacity, in.data(), image_capacity, &log);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  const std::string armed = transact(handle, "arm");
  ASSERT_TRUE(log.wait_for_count(1));
  ASSERT_EQ(log.statuses[0], LIBUSB_TRANSFER_COMPLETED) << armed;
  ASSERT_EQ(in[0] | (in[1] << 8), 0x9090);
  transact(handle, "stop");
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  ASSERT_EQ(libusb_cancel_transfer(t), 0);
  ASSERT_TRUE(log.wait_for_count(2));
  const auto header = last_request(camera, QMX_SIM_ENDPOINT_EVENT);
  ASSERT_EQ(header.size(), 38u + 64u);
  EXPECT_EQ(header[13], 0x83);
  EXPECT_EQ(u32_at(header, 34), static_cast<std::uint32_t>(image_capacity));
  for (std::size_t i = 38; i < header.size(); ++i) {
    ASSERT_EQ(header[i], 0) << "byte " << i;
  }
  libusb_free_transfer(t);
}

TEST_F(native_usb, a_cancelled_transfer_reaches_its_callback_as_cancelled) {
  const int camera = plug_and_open("XFER0005");
  ASSERT_NE(handle, nullptr);
  std::vector<unsigned char> buffer(512, 0);
  callback_log log;
  libusb_transfer* t = make_transfer(handle, 0x81, 512, buffer.data(), 512, &log);
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  ASSERT_EQ(libusb_cancel_transfer(t), 0);
  ASSERT_TRUE(log.wait_for_count(1));
  EXPECT_EQ(log.statuses[0], LIBUSB_TRANSFER_CANCELLED);
  EXPECT_EQ(t->actual_length, 0);
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_DATA), 0u);
  // Over: a second cancel fails after its short grace period, and loses nothing.
  EXPECT_EQ(libusb_cancel_transfer(t), LIBUSB_ERROR_OTHER);
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  ASSERT_EQ(libusb_cancel_transfer(t), 0);
  ASSERT_TRUE(log.wait_for_count(2));
  EXPECT_EQ(log.statuses[1], LIBUSB_TRANSFER_CANCELLED);
  libusb_free_transfer(t);
}

// Closing with transfers in flight: the driver ends them, no callback runs once the close has
// returned, and the transfers may be freed at once.
TEST_F(native_usb, closing_with_transfers_in_flight) {
  const int camera = plug_and_open("XFER0006");
  ASSERT_NE(handle, nullptr);
  callback_log log;
  std::vector<std::vector<unsigned char>> buffers(16, std::vector<unsigned char>(image_capacity));
  std::vector<libusb_transfer*> transfers;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    const unsigned char endpoint = i % 2 == 0 ? 0x81 : 0x83;
    transfers.push_back(
        make_transfer(handle, endpoint, image_capacity, buffers[i].data(), image_capacity, &log));
    ASSERT_EQ(libusb_submit_transfer(transfers.back()), 0);
  }
  libusb_close(handle);
  handle = nullptr;
  const std::size_t at_close = log.count();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(log.count(), at_close) << "a callback ran after the close returned";
  {
    std::lock_guard lock(log.mutex);
    for (int status : log.statuses) {
      EXPECT_EQ(status, LIBUSB_TRANSFER_CANCELLED);
    }
  }
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_DATA), 0u);
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_EVENT), 0u);
  qmx_test_counters counters{};
  ASSERT_TRUE(the_bridge().driver_counters(counters));
  EXPECT_EQ(counters.open_files, 0u);
  ASSERT_EQ(libusb_open(device, &handle), 0) << "the device opens again";
  EXPECT_EQ(transact(handle, "sernum"), "XFER0006");
}

TEST_F(native_usb, control_transfers_their_limits_and_stalls) {
  const int camera = plug_and_open("CTRL0001");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(libusb_control_transfer(nullptr, 0x80, 6, 0x0100, 0, nullptr, 0, 0),
            LIBUSB_ERROR_INVALID_PARAM);
  std::vector<unsigned char> data(9000, 0);
  EXPECT_EQ(libusb_control_transfer(handle, 0xC0, 1, 0, 0, data.data(), 8155, 0),
            LIBUSB_ERROR_INVALID_PARAM);
  // The camera stalls vendor requests; it received the masked request type and time-out 1.
  EXPECT_EQ(libusb_control_transfer(handle, 0xFF, 0x11, 0x1234, 0x0002, nullptr, 0, 0),
            LIBUSB_ERROR_IO);
  const auto header = last_request(camera, QMX_SIM_ENDPOINT_CONTROL);
  ASSERT_EQ(header.size(), 38u);
  EXPECT_EQ(header[0], 0xE3);
  EXPECT_EQ(header[1], 0x11);
  EXPECT_EQ(header[2] | (header[3] << 8), 0x1234);
  EXPECT_EQ(header[4] | (header[5] << 8), 0x0002);
  EXPECT_EQ(u32_at(header, 8), 1u);
  EXPECT_EQ(libusb_control_transfer(handle, 0x80, 6, 0x0100, 0, data.data(), 18, 0), 18);
  EXPECT_EQ(data[0], 18);
  EXPECT_EQ(data[8] | (data[9] << 8), vendor);
}

// Slow: the control transfer's fixed 5000 ms limit runs out, and the request is cancelled at the
// camera.
TEST_F(native_usb, slow_a_hanging_control_transfer_times_out) {
  const int camera = plug_and_open("CTRL0002");
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(qmx_sim_set_control_hang(camera, 1), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x22, 0, 0, nullptr, 0, 0), LIBUSB_ERROR_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  EXPECT_EQ(pending_at_camera(camera, QMX_SIM_ENDPOINT_CONTROL), 0u);
}

// An unplug ends the pending transfers as a removal does (no device), later submissions are
// refused, the device leaves the listing; plugged back in, it is listed and opens again.
TEST_F(native_usb, unplug_with_transfers_pending_and_replug) {
  const int camera = plug_and_open("GONE0001");
  ASSERT_NE(handle, nullptr);
  callback_log log;
  std::vector<std::vector<unsigned char>> buffers(17, std::vector<unsigned char>(image_capacity));
  std::vector<libusb_transfer*> transfers;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    const unsigned char endpoint = i == 0 ? 0x82 : 0x83;
    const int capacity = i == 0 ? uart_capacity : image_capacity;
    transfers.push_back(
        make_transfer(handle, endpoint, capacity, buffers[i].data(), capacity, &log));
    ASSERT_EQ(libusb_submit_transfer(transfers.back()), 0);
  }
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_TRUE(log.wait_for_count(transfers.size())) << log.count();
  {
    std::lock_guard lock(log.mutex);
    for (int status : log.statuses) {
      EXPECT_EQ(status, LIBUSB_TRANSFER_NO_DEVICE);
    }
  }
  EXPECT_EQ(libusb_submit_transfer(transfers[1]), LIBUSB_ERROR_IO);
  EXPECT_EQ(transfers[1]->status, LIBUSB_TRANSFER_ERROR);
  EXPECT_TRUE(list_devices().empty());
  libusb_close(handle);
  handle = nullptr;
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  const auto devices = list_devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0], device) << "the same path finds its earlier record";
  ASSERT_EQ(libusb_open(devices[0], &handle), 0);
  EXPECT_EQ(transact(handle, "sernum"), "GONE0001");
}

struct hotplug_log {
  std::mutex mutex;
  std::vector<std::pair<libusb_device*, int>> events;
};

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                           void* user_data) {
  auto* log = static_cast<hotplug_log*>(user_data);
  std::lock_guard lock(log->mutex);
  log->events.emplace_back(device, event);
  return 0;
}

// The layer's hotplug bridge hears of a camera under the bus's path: the device the arrival
// names opens through the driver, the listing finds the same record, and the removal names it.
TEST_F(native_usb, arrival_and_removal_through_the_hotplug_bridge) {
  hotplug_log log;
  ASSERT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, on_hotplug, &log, nullptr),
      0);
  const int camera = plug("HOTP0002");
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  libusb_device* arrived = nullptr;
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].second, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    arrived = log.events[0].first;
  }
  libusb_device_descriptor descriptor{};
  ASSERT_EQ(libusb_get_device_descriptor(arrived, &descriptor), 0);
  EXPECT_EQ(descriptor.idVendor, vendor);
  EXPECT_EQ(libusb_get_device_speed(arrived), LIBUSB_SPEED_SUPER);
  const auto listed = list_devices();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0], arrived) << "the listing finds the record the arrival added";
  ASSERT_EQ(libusb_open(arrived, &handle), 0);
  EXPECT_EQ(transact(handle, "sernum"), "HOTP0002");
  libusb_close(handle);
  handle = nullptr;
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[1].second, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(log.events[1].first, arrived);
  }
  libusb_hotplug_deregister_callback(ctx, 0);
}

} // namespace
