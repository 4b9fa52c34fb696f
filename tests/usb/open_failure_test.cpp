// libusb_open when the process cannot start the handle's threads: the address space is capped
// just above what the process uses, so the first thread stack fits and a later one does not.
// Linux only, and not under the sanitizers, which reserve address space of their own.
#include "usb_test_support.h"

#if defined(__linux__)
#include <sys/resource.h>

#include <fstream>
#endif

namespace {

using namespace usb_test;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

#if defined(__linux__)
// Bytes of address space the process has mapped now.
std::uint64_t mapped_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// Room for one default thread stack (8 MiB and its guard page) and small allocations, not two.
constexpr std::uint64_t headroom = 12ULL << 20;
#endif

TEST_F(usb_layer, open_fails_cleanly_when_its_threads_cannot_start) {
#if defined(__linux__)
  if (sanitized) {
    GTEST_SKIP() << "the sanitizers need address space beyond any cap set here";
  }
  ASSERT_GT(qmx_sim_camera_add("THREAD01", 0x0300), 0);
  const auto devices = list_devices();
  ASSERT_EQ(devices.size(), 1u);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  rlimit capped = saved;
  capped.rlim_cur = mapped_bytes() + headroom;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  libusb_device_handle* handle = nullptr;
  const int result = libusb_open(devices[0], &handle);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
  EXPECT_EQ(result, LIBUSB_ERROR_NO_MEM);
  EXPECT_EQ(handle, nullptr);
  // The failed open let go of the device file and stopped the threads it had started: the device
  // is listed (its probe open succeeds) and opens normally.
  EXPECT_EQ(list_devices().size(), 1u);
  ASSERT_EQ(libusb_open(devices[0], &handle), 0);
  EXPECT_EQ(transact(handle, "sernum"), "THREAD01");
  libusb_close(handle);
#else
  GTEST_SKIP() << "the address-space cap is a Linux facility";
#endif
}

} // namespace
