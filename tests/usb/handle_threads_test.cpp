// The threads behind an open handle: a wait thread and a callback thread per endpoint, named
// so that a thread list shows which endpoint each serves, and all gone once the handle closes.
// Thread lists are read from /proc, so the checks run on Linux.
#include "usb_test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace {

using namespace usb_test;

#if defined(__linux__)
// The kernel's name of every thread of this process, by thread id.
std::map<std::string, std::string> threads_by_id() {
  std::map<std::string, std::string> result;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) {
      result[entry.path().filename().string()] = name;
    }
  }
  return result;
}
#endif

TEST_F(usb_layer, an_open_handle_runs_eight_named_threads_until_it_closes) {
#if defined(__linux__)
  ASSERT_GT(qmx_sim_camera_add("THREADS1", 0x0300), 0);
  const auto devices = list_devices();
  ASSERT_EQ(devices.size(), 1u);
  const auto before = threads_by_id();
  libusb_device_handle* handle = nullptr;
  ASSERT_EQ(libusb_open(devices[0], &handle), 0);
  const auto open = threads_by_id();
  std::vector<std::string> started;
  for (const auto& [id, name] : open) {
    if (before.count(id) == 0) {
      started.push_back(name);
    }
  }
  std::sort(started.begin(), started.end());
  // Linux keeps 15 bytes of a name: the short form keeps the role and the endpoint.
  const std::vector<std::string> expected = {"cb DATA",      "cb EVENT",    "cb UART_RX",
                                             "cb UART_TX",   "wait DATA",   "wait EVENT",
                                             "wait UART_RX", "wait UART_TX"};
  EXPECT_EQ(started, expected);
  libusb_close(handle);
  // A joined thread may linger in /proc for a moment while the kernel tears it down.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::size_t left = 0;
  do {
    const auto now = threads_by_id();
    left = 0;
    for (const auto& [id, name] : now) {
      left += before.count(id) == 0 ? 1 : 0;
    }
  } while (left != 0 && std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(std::chrono::milliseconds(1)), true));
  EXPECT_EQ(left, 0u) << "threads of the closed handle are still running";
#else
  GTEST_SKIP() << "thread lists are read from /proc";
#endif
}

} // namespace
