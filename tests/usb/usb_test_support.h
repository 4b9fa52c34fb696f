// Helpers for the USB layer's tests: simulated cameras, and transfers whose callbacks are
// recorded so a test can wait for them.
#pragma once

#include "include/qmx_libusb.h"
#include "sim/qmx_sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace usb_test {

constexpr std::uint16_t vendor = 0x2F4E;
constexpr std::uint16_t product = 0x4002;
constexpr int uart_capacity = 1024;
constexpr int image_capacity = 16384;

// Callbacks of one or more transfers, in the order they ran.
struct callback_log {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<libusb_transfer*> order;
  std::vector<int> statuses;

  bool wait_for_count(std::size_t count, int timeout_ms = 5000) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return order.size() >= count; });
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return order.size();
  }
};

// Records one callback; returns how many the log holds now. The log may be gone once this
// returns, so the caller must not touch it afterwards.
inline std::size_t record(libusb_transfer* transfer) {
  auto* log = static_cast<callback_log*>(transfer->user_data);
  // Notified under the lock: the waiter may destroy the log as soon as it sees the entry.
  std::lock_guard lock(log->mutex);
  log->order.push_back(transfer);
  log->statuses.push_back(transfer->status);
  log->changed.notify_all();
  return log->order.size();
}

inline void LIBUSB_CALL record_callback(libusb_transfer* transfer) {
  record(transfer);
}

inline libusb_transfer* make_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                      int capacity, unsigned char* buffer, int length,
                                      callback_log* log) {
  libusb_transfer* t = libusb_alloc_transfer(capacity);
  EXPECT_NE(t, nullptr);
  t->dev_handle = handle;
  t->endpoint = endpoint;
  t->buffer = buffer;
  t->length = length;
  t->callback = record_callback;
  t->user_data = log;
  return t;
}

// One command transaction over 0x02 and 0x82 with asynchronous transfers; the reply text.
inline std::string transact(libusb_device_handle* handle, const std::string& command) {
  std::vector<unsigned char> out(uart_capacity, 0);
  std::vector<unsigned char> in(uart_capacity, 0);
  std::memcpy(out.data(), command.data(), command.size());
  callback_log log;
  libusb_transfer* tx = make_transfer(handle, 0x02, uart_capacity, out.data(), uart_capacity, &log);
  libusb_transfer* rx = make_transfer(handle, 0x82, uart_capacity, in.data(), uart_capacity, &log);
  std::string reply = "<failed>";
  if (libusb_submit_transfer(tx) == 0 && log.wait_for_count(1) && libusb_submit_transfer(rx) == 0 &&
      log.wait_for_count(2)) {
    reply = reinterpret_cast<const char*>(in.data());
  }
  libusb_free_transfer(tx);
  libusb_free_transfer(rx);
  return reply;
}

// A test fixture with a fresh simulated world and a context.
class usb_layer : public ::testing::Test {
protected:
  void SetUp() override {
    qmx_sim_reset();
    ASSERT_EQ(libusb_init(&ctx), 0);
  }
  void TearDown() override {
    libusb_exit(ctx);
    qmx_sim_reset();
  }

  std::vector<libusb_device*> list_devices() {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    EXPECT_GE(n, 0);
    std::vector<libusb_device*> devices(list, list + (n > 0 ? n : 0));
    EXPECT_EQ(list[n > 0 ? n : 0], nullptr) << "the array must end with a null entry";
    libusb_free_device_list(list, 1);
    return devices;
  }

  libusb_context* ctx = nullptr;
};

} // namespace usb_test
