// Device handles, asynchronous transfers, the transfer threads and control transfers, against
// the simulated driver.
#include "usb_test_support.h"

#include <atomic>
#include <memory>
#include <thread>

namespace {

using namespace usb_test;

class usb_handle : public usb_layer {
protected:
  void SetUp() override {
    usb_layer::SetUp();
    camera = qmx_sim_camera_add("XFER0001", 0x0300);
    ASSERT_GT(camera, 0);
    const auto devices = list_devices();
    ASSERT_EQ(devices.size(), 1u);
    device = devices[0];
    ASSERT_EQ(libusb_open(device, &handle), 0);
  }
  void TearDown() override {
    libusb_close(handle);
    usb_layer::TearDown();
  }

  std::vector<std::uint8_t> last_request(int endpoint) {
    std::vector<std::uint8_t> copy(38 + 64, 0);
    copy.resize(qmx_sim_last_request(camera, endpoint, copy.data(),
                                     static_cast<std::uint32_t>(copy.size())));
    return copy;
  }

  std::uint64_t requests_seen(int endpoint) {
    qmx_sim_counters c{};
    EXPECT_EQ(qmx_sim_get_counters(camera, &c), 0);
    return c.requests_seen[endpoint];
  }

  int camera = 0;
  libusb_device* device = nullptr;
  libusb_device_handle* handle = nullptr;
};

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

TEST_F(usb_handle, open_is_exclusive_and_hides_the_device_from_listing) {
  libusb_device_handle* second = nullptr;
  EXPECT_EQ(libusb_open(device, &second), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_TRUE(list_devices().empty()) << "the probe open must be refused while the device is open";
  EXPECT_EQ(libusb_open(nullptr, &second), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(libusb_open(device, nullptr), LIBUSB_ERROR_INVALID_PARAM);
}

TEST_F(usb_handle, command_transaction_with_the_header_the_driver_receives) {
  EXPECT_EQ(transact(handle, "sernum"), "XFER0001");
  // The command transfer: 1024 data bytes whatever its length, the command at offset 38.
  std::vector<unsigned char> out(uart_capacity, 0);
  std::memcpy(out.data(), "hello", 5);
  callback_log log;
  libusb_transfer* tx = make_transfer(handle, 0x02, uart_capacity, out.data(), 5, &log);
  ASSERT_EQ(libusb_submit_transfer(tx), 0);
  ASSERT_TRUE(log.wait_for_count(1));
  const auto header = last_request(QMX_SIM_ENDPOINT_UART_TX);
  ASSERT_GE(header.size(), 38u + 5u);
  EXPECT_EQ(header[13], 0x02);
  EXPECT_EQ(u32_at(header, 8), 0u) << "endpoint transfers carry time-out 0";
  EXPECT_EQ(u32_at(header, 30), 38u);
  EXPECT_EQ(u32_at(header, 34), 1024u);
  EXPECT_EQ(std::memcmp(header.data() + 38, "hello", 5), 0);
  EXPECT_EQ(log.statuses[0], LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(tx->actual_length, 5);
  libusb_free_transfer(tx);
}

TEST_F(usb_handle, event_data_area_is_cleared_before_sending) {
  std::vector<unsigned char> in(image_capacity, 0xAB);
  callback_log log;
  libusb_transfer* t = make_transfer(handle, 0x83, image_capacity, in.data(), image_capacity, &log);
  // A first round fills the driver buffer with a packet.
  qmx_sim_set_max_rate(camera, 1);
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  const std::string armed = transact(handle, "arm");
  ASSERT_TRUE(log.wait_for_count(1));
  ASSERT_EQ(log.statuses[0], LIBUSB_TRANSFER_COMPLETED) << armed;
  ASSERT_EQ(in[0] | (in[1] << 8), 0x9090);
  transact(handle, "stop");
  // The second round must reach the driver with the data area cleared again.
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  const auto header = last_request(QMX_SIM_ENDPOINT_EVENT);
  ASSERT_EQ(header.size(), 38u + 64u);
  EXPECT_EQ(header[13], 0x83);
  EXPECT_EQ(u32_at(header, 34), static_cast<std::uint32_t>(image_capacity));
  for (std::size_t i = 38; i < header.size(); ++i) {
    ASSERT_EQ(header[i], 0) << "byte " << i;
  }
  ASSERT_EQ(libusb_cancel_transfer(t), 0);
  ASSERT_TRUE(log.wait_for_count(2));
  libusb_free_transfer(t);
}

TEST_F(usb_handle, refused_submissions_send_nothing) {
  std::vector<unsigned char> buffer(64, 0);
  callback_log log;
  const std::uint64_t seen_before = requests_seen(QMX_SIM_ENDPOINT_EVENT);
  libusb_transfer* wrong = make_transfer(handle, 0x01, 64, buffer.data(), 64, &log);
  EXPECT_EQ(libusb_submit_transfer(wrong), LIBUSB_ERROR_IO);
  libusb_transfer* too_long = make_transfer(handle, 0x83, 64, buffer.data(), 65, &log);
  EXPECT_EQ(libusb_submit_transfer(too_long), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(too_long->status, LIBUSB_TRANSFER_ERROR);
  libusb_transfer* small_uart = make_transfer(handle, 0x82, 64, buffer.data(), 64, &log);
  EXPECT_EQ(libusb_submit_transfer(small_uart), LIBUSB_ERROR_INVALID_PARAM)
      << "a UART transfer always asks for 1024 bytes and needs room for them";
  libusb_transfer* orphan = libusb_alloc_transfer(64);
  EXPECT_EQ(libusb_submit_transfer(orphan), LIBUSB_ERROR_IO);
  EXPECT_EQ(libusb_submit_transfer(nullptr), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(requests_seen(QMX_SIM_ENDPOINT_EVENT), seen_before);
  EXPECT_EQ(log.count(), 0u);
  for (libusb_transfer* t : {wrong, too_long, small_uart, orphan}) {
    libusb_free_transfer(t);
  }
  libusb_free_transfer(nullptr);
}

TEST_F(usb_handle, cancelled_transfer_reaches_its_callback_as_cancelled) {
  std::vector<unsigned char> buffer(512, 0);
  callback_log log;
  libusb_transfer* t = make_transfer(handle, 0x81, 512, buffer.data(), 512, &log);
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  ASSERT_EQ(libusb_cancel_transfer(t), 0);
  ASSERT_TRUE(log.wait_for_count(1));
  EXPECT_EQ(log.statuses[0], LIBUSB_TRANSFER_CANCELLED);
  EXPECT_EQ(t->actual_length, 0);
  // The request is over: a second cancel fails after its short grace period, and loses nothing.
  EXPECT_EQ(libusb_cancel_transfer(t), LIBUSB_ERROR_OTHER);
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  ASSERT_EQ(libusb_cancel_transfer(t), 0);
  ASSERT_TRUE(log.wait_for_count(2));
  libusb_free_transfer(t);
  EXPECT_EQ(libusb_cancel_transfer(nullptr), LIBUSB_ERROR_OTHER);
}

TEST_F(usb_handle, many_image_transfers_complete_in_submission_order) {
  constexpr int in_flight = 64;
  constexpr std::size_t rounds = 4;
  qmx_sim_set_max_rate(camera, 1);
  std::vector<std::vector<unsigned char>> buffers(in_flight,
                                                  std::vector<unsigned char>(image_capacity));
  // Each transfer goes round `rounds` times: the callback resubmits until that many are due.
  static constexpr std::size_t limit = in_flight * rounds;
  callback_log log;
  std::vector<libusb_transfer*> transfers;
  for (int i = 0; i < in_flight; ++i) {
    libusb_transfer* t =
        make_transfer(handle, 0x83, image_capacity, buffers[i].data(), image_capacity, &log);
    t->callback = [](libusb_transfer* transfer) {
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
  ASSERT_TRUE(log.wait_for_count(limit, 10000)) << log.count();
  transact(handle, "stop");
  std::lock_guard lock(log.mutex);
  for (std::size_t n = 0; n < limit; ++n) {
    ASSERT_EQ(log.order[n], transfers[n % in_flight]) << "callback " << n << " out of order";
    ASSERT_EQ(log.statuses[n], LIBUSB_TRANSFER_COMPLETED);
  }
  // Packets carry the image header's magic number in their first two bytes.
  EXPECT_EQ(buffers[0][0] | (buffers[0][1] << 8), 0x9090);
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
}

TEST_F(usb_handle, no_callback_runs_after_close_returns) {
  callback_log log;
  std::vector<std::vector<unsigned char>> buffers(8, std::vector<unsigned char>(512));
  std::vector<libusb_transfer*> transfers;
  for (auto& b : buffers) {
    transfers.push_back(make_transfer(handle, 0x81, 512, b.data(), 512, &log));
    ASSERT_EQ(libusb_submit_transfer(transfers.back()), 0);
  }
  libusb_close(handle);
  handle = nullptr;
  const std::size_t at_close = log.count();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(log.count(), at_close);
  std::lock_guard lock(log.mutex);
  for (int status : log.statuses) {
    EXPECT_EQ(status, LIBUSB_TRANSFER_CANCELLED);
  }
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
  // The device can be opened again.
  ASSERT_EQ(libusb_open(device, &handle), 0);
}

TEST_F(usb_handle, zero_length_command_without_a_buffer_completes) {
  callback_log log;
  libusb_transfer* tx = make_transfer(handle, 0x02, uart_capacity, nullptr, 0, &log);
  ASSERT_EQ(libusb_submit_transfer(tx), 0);
  ASSERT_TRUE(log.wait_for_count(1));
  EXPECT_EQ(log.statuses[0], LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(tx->actual_length, 0);
  libusb_free_transfer(tx);
}

// Image requests pending on 0x83 (the camera is not armed) when the handle closes end aborted;
// that endpoint's threads stop first, before its wait thread has taken most of their
// completions. Submitted again on
// a new handle, each must stay in flight until its new request ends, not report the old end.
TEST_F(usb_handle, transfers_left_over_from_a_closed_handle_wait_for_their_new_request) {
  constexpr int count = 256;
  callback_log log;
  std::vector<std::vector<unsigned char>> buffers(count, std::vector<unsigned char>(512));
  std::vector<libusb_transfer*> transfers;
  for (auto& b : buffers) {
    transfers.push_back(make_transfer(handle, 0x83, 512, b.data(), 512, &log));
    ASSERT_EQ(libusb_submit_transfer(transfers.back()), 0);
  }
  libusb_close(handle);
  handle = nullptr;
  const std::size_t first_round = log.count();
  ASSERT_EQ(libusb_open(device, &handle), 0);
  // In reverse order: the wait thread was blocked on the first transfer and took its signal, so
  // it is the last of the others that the new wait thread meets first.
  for (auto t = transfers.rbegin(); t != transfers.rend(); ++t) {
    (*t)->dev_handle = handle;
    ASSERT_EQ(libusb_submit_transfer(*t), 0);
  }
  // Every request reached the driver and is pending there; none may have been reported.
  qmx_sim_counters c{};
  ASSERT_EQ(qmx_sim_get_counters(camera, &c), 0);
  EXPECT_EQ(c.requests_pending[QMX_SIM_ENDPOINT_EVENT], static_cast<std::uint32_t>(count));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(log.count(), first_round)
      << "transfers were reported while their requests were pending";
  for (libusb_transfer* t : transfers) {
    ASSERT_EQ(libusb_cancel_transfer(t), 0);
  }
  ASSERT_TRUE(log.wait_for_count(first_round + count)) << log.count();
  std::lock_guard lock(log.mutex);
  for (std::size_t n = first_round; n < log.statuses.size(); ++n) {
    ASSERT_EQ(log.statuses[n], LIBUSB_TRANSFER_CANCELLED) << "callback " << n;
  }
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
}

// What the callbacks of a resubmitting stream saw, while the handle was closed under them.
struct resubmitting_stream {
  std::atomic<std::uint64_t> callbacks{0};
  std::atomic<std::uint64_t> refused{0};
  std::atomic<std::uint64_t> wrong_refusals{0};
  std::atomic<bool> close_returned{false};
  std::atomic<std::uint64_t> after_close{0};
};

void LIBUSB_CALL resubmit_image(libusb_transfer* transfer) {
  auto* stream = static_cast<resubmitting_stream*>(transfer->user_data);
  if (stream->close_returned.load()) {
    ++stream->after_close;
  }
  ++stream->callbacks;
  if (transfer->status != LIBUSB_TRANSFER_COMPLETED) {
    return;
  }
  const int result = libusb_submit_transfer(transfer);
  if (result != 0) {
    ++stream->refused;
    // A refused submission reports the layer's error and leaves the transfer in status error.
    if (result != LIBUSB_ERROR_IO || transfer->status != LIBUSB_TRANSFER_ERROR) {
      ++stream->wrong_refusals;
    }
  }
}

// The caller closes a handle whose callbacks keep resubmitting at the camera's maximum rate:
// submissions that come too late are refused, nothing is left pending in the driver, and the
// transfers can be freed as soon as the close returns. Repeated so that the close meets a
// callback in the middle of its submission.
TEST_F(usb_layer, closing_a_handle_during_a_resubmitting_stream) {
  constexpr int rounds = 8;
  constexpr int in_flight = 512;
  std::vector<std::vector<unsigned char>> buffers(in_flight,
                                                  std::vector<unsigned char>(image_capacity));
  for (int round = 0; round < rounds; ++round) {
    const int camera = qmx_sim_camera_add(("CLOSE" + std::to_string(round)).c_str(), 0x0300);
    ASSERT_GT(camera, 0);
    ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
    const auto devices = list_devices();
    ASSERT_EQ(devices.size(), 1u);
    libusb_device_handle* handle = nullptr;
    ASSERT_EQ(libusb_open(devices[0], &handle), 0);
    resubmitting_stream stream;
    std::vector<libusb_transfer*> transfers;
    for (auto& b : buffers) {
      libusb_transfer* t = libusb_alloc_transfer(image_capacity);
      ASSERT_NE(t, nullptr);
      t->dev_handle = handle;
      t->endpoint = 0x83;
      t->buffer = b.data();
      t->length = image_capacity;
      t->callback = resubmit_image;
      t->user_data = &stream;
      transfers.push_back(t);
      ASSERT_EQ(libusb_submit_transfer(t), 0);
    }
    const std::string armed = transact(handle, "arm");
    ASSERT_EQ(armed.find("error"), std::string::npos) << armed;
    // Every transfer has gone round at least once: the callbacks are resubmitting.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stream.callbacks.load() < static_cast<std::uint64_t>(in_flight) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(stream.callbacks.load(), static_cast<std::uint64_t>(in_flight)) << "round " << round;
    libusb_close(handle);
    stream.close_returned = true;
    qmx_sim_counters c{};
    ASSERT_EQ(qmx_sim_get_counters(camera, &c), 0);
    EXPECT_EQ(c.requests_pending[QMX_SIM_ENDPOINT_EVENT], 0u) << "round " << round;
    for (libusb_transfer* t : transfers) {
      libusb_free_transfer(t);
    }
    EXPECT_EQ(stream.after_close.load(), 0u) << "round " << round;
    EXPECT_EQ(stream.wrong_refusals.load(), 0u) << "round " << round;
    ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  }
}

TEST_F(usb_handle, control_transfer_limits_masking_and_stalls) {
  EXPECT_EQ(libusb_control_transfer(nullptr, 0x80, 6, 0x0100, 0, nullptr, 0, 0),
            LIBUSB_ERROR_INVALID_PARAM);
  std::vector<unsigned char> data(9000, 0);
  EXPECT_EQ(libusb_control_transfer(handle, 0xC0, 1, 0, 0, data.data(), 8155, 0),
            LIBUSB_ERROR_INVALID_PARAM);
  // The camera stalls vendor requests; the header shows the masked request type and time-out 1.
  EXPECT_EQ(libusb_control_transfer(handle, 0xFF, 0x11, 0x1234, 0x0002, nullptr, 0, 0),
            LIBUSB_ERROR_IO);
  const auto header = last_request(QMX_SIM_ENDPOINT_CONTROL);
  ASSERT_EQ(header.size(), 38u);
  EXPECT_EQ(header[0], 0xE3);
  EXPECT_EQ(header[1], 0x11);
  EXPECT_EQ(header[2] | (header[3] << 8), 0x1234);
  EXPECT_EQ(u32_at(header, 8), 1u);
  // The device descriptor through a control transfer: 18 data bytes come back.
  EXPECT_EQ(libusb_control_transfer(handle, 0x80, 6, 0x0100, 0, data.data(), 18, 0), 18);
  EXPECT_EQ(data[0], 18);
  EXPECT_EQ(data[8] | (data[9] << 8), vendor);
}

// Slow: the control transfer's fixed 5000 ms limit runs out.
TEST_F(usb_handle, slow_hanging_control_transfer_times_out) {
  ASSERT_EQ(qmx_sim_set_control_hang(camera, 1), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x22, 0, 0, nullptr, 0, 0), LIBUSB_ERROR_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  qmx_sim_counters c{};
  ASSERT_EQ(qmx_sim_get_counters(camera, &c), 0);
  EXPECT_EQ(c.requests_pending[QMX_SIM_ENDPOINT_CONTROL], 0u) << "the request must be cancelled";
}

} // namespace
