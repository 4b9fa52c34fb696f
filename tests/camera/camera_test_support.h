// Helpers for the camera data path's tests: a simulated world with a context, the camera's
// libusb_device, counters, and waits for conditions that other threads make true.
#pragma once

#include "camera/camera.h"
#include "camera/serial_channel.h"
#include "camera/usb_transport.h"
#include "sim/qmx_sim.h"
#include "tests/usb/usb_test_support.h"

#include <chrono>
#include <string>
#include <thread>

namespace camera_test {

constexpr int event_endpoint = QMX_SIM_ENDPOINT_EVENT;

inline qmx_sim_counters counters(int camera) {
  qmx_sim_counters c{};
  EXPECT_EQ(qmx_sim_get_counters(camera, &c), 0);
  return c;
}

// Polls `condition` until it holds or `timeout_ms` passed; its last value.
template <class Condition> bool eventually(Condition condition, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return condition();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// One transaction with a text command sent with its terminator; the reply or "<failed>".
inline std::string ask(qmx::camera& c, const std::string& command) {
  char reply[qmx::serial_buffer_bytes] = {};
  if (!qmx::transact(c.channel, command.c_str(), command.size() + 1, reply, sizeof reply)) {
    return "<failed>";
  }
  return reply;
}

// A fresh world and context, and the libusb_device of a camera plugged by the test.
class camera_world : public usb_test::usb_layer {
protected:
  // The only device of the context's list; fails the test when there is not exactly one.
  libusb_device* only_device() {
    const auto devices = list_devices();
    EXPECT_EQ(devices.size(), 1u);
    return devices.empty() ? nullptr : devices[0];
  }
};

} // namespace camera_test
