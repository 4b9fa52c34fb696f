// Native path under Wine, figures: how many requests per second and how many MB/s pass through
// the test bus driver, from the program through Wine's kernel emulation to the driver, the
// bridge and the simulator and back. A measure of Wine and of this test harness, not of Windows
// or of a camera. Run by run_native_suite.sh (see the README); prints one line per figure.
//   native_path_bench [seconds per figure]
#include "include/qmx_libusb.h"
#include "platform/device_io.h"
#include "sim/qmx_sim.h"
#include "tests/native/bridge.h"
#include "tests/support/driver_requests.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using native_test::bus_bridge;

constexpr int image_capacity = 16384;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Synchronous descriptor reads through the seam: one request at a time, waited for.
void synchronous_requests(const std::string& path, double seconds) {
  platform::device_file file =
      platform::device_file::open(path.c_str(), platform::share_mode::shared);
  std::vector<std::uint8_t> buffer = driver_requests::descriptor_read_buffer();
  std::uint64_t done = 0;
  const auto start = clock_type::now();
  while (seconds_since(start) < seconds) {
    std::uint32_t bytes = 0;
    if (file.request(driver_requests::request_control, buffer.data(), 56, &bytes) != 0) {
      std::printf("synchronous requests: a request failed\n");
      return;
    }
    ++done;
  }
  const double elapsed = seconds_since(start);
  std::printf("synchronous requests (descriptor reads), one at a time: %.0f per second\n",
              static_cast<double>(done) / elapsed);
}

struct stream {
  std::atomic<std::uint64_t> completed{0};
  std::atomic<std::uint64_t> failed{0};
  std::atomic<bool> running{true};
};

void LIBUSB_CALL resubmit(libusb_transfer* transfer) {
  auto* s = static_cast<stream*>(transfer->user_data);
  if (transfer->status != LIBUSB_TRANSFER_COMPLETED) {
    ++s->failed;
    return;
  }
  ++s->completed;
  if (s->running.load()) {
    libusb_submit_transfer(transfer);
  }
}

// One command transaction through the layer, waited for.
bool transact(libusb_device_handle* handle, const char* command) {
  struct waiter {
    std::atomic<int> done{0};
  } w;
  std::vector<unsigned char> out(1024, 0);
  std::vector<unsigned char> in(1024, 0);
  std::snprintf(reinterpret_cast<char*>(out.data()), out.size(), "%s", command);
  libusb_transfer* tx = libusb_alloc_transfer(1024);
  libusb_transfer* rx = libusb_alloc_transfer(1024);
  const auto setup = [&](libusb_transfer* t, unsigned char endpoint, unsigned char* data) {
    t->dev_handle = handle;
    t->endpoint = endpoint;
    t->buffer = data;
    t->length = 1024;
    t->user_data = &w;
    t->callback = [](libusb_transfer* done) { ++static_cast<waiter*>(done->user_data)->done; };
  };
  setup(tx, 0x02, out.data());
  setup(rx, 0x82, in.data());
  bool ok = libusb_submit_transfer(tx) == 0 && libusb_submit_transfer(rx) == 0;
  const auto start = clock_type::now();
  while (ok && w.done.load() < 2 && seconds_since(start) < 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ok = ok && w.done.load() == 2;
  libusb_free_transfer(tx);
  libusb_free_transfer(rx);
  return ok;
}

// Image transfers at the camera's maximum rate through the USB layer, `depth` in flight, each
// resubmitted from its callback as the module's transport does.
void image_stream(bus_bridge& bridge, int camera, int depth, double seconds) {
  libusb_context* ctx = nullptr;
  libusb_init(&ctx);
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device_handle* handle = nullptr;
  if (n != 1 || libusb_open(list[0], &handle) != 0) {
    std::printf("image stream: the camera could not be opened\n");
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return;
  }
  libusb_free_device_list(list, 1);
  qmx_sim_set_max_rate(camera, 1);
  stream s;
  std::vector<std::vector<unsigned char>> buffers(depth,
                                                  std::vector<unsigned char>(image_capacity));
  std::vector<libusb_transfer*> transfers;
  for (int i = 0; i < depth; ++i) {
    libusb_transfer* t = libusb_alloc_transfer(image_capacity);
    t->dev_handle = handle;
    t->endpoint = 0x83;
    t->buffer = buffers[i].data();
    t->length = image_capacity;
    t->callback = resubmit;
    t->user_data = &s;
    transfers.push_back(t);
    libusb_submit_transfer(t);
  }
  transact(handle, "arm");
  // Measured once the stream has settled, over one window for both counts.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  qmx_test_counters before{};
  bridge.driver_counters(before);
  const auto start = clock_type::now();
  const std::uint64_t completed_at_start = s.completed.load();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  qmx_test_counters after{};
  bridge.driver_counters(after);
  const std::uint64_t completed = s.completed.load() - completed_at_start;
  const double elapsed = seconds_since(start);
  s.running = false;
  transact(handle, "stop");
  libusb_close(handle);
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
  libusb_exit(ctx);
  const double megabytes = static_cast<double>(after.bytes_answered - before.bytes_answered) / 1e6;
  std::printf("image transfers of 16 KiB, %3d in flight: %6.0f per second, %5.1f MB/s through the "
              "driver%s\n",
              depth, static_cast<double>(completed) / elapsed, megabytes / elapsed,
              s.failed.load() > 0 ? " (some failed)" : "");
}

} // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  std::string error;
  std::unique_ptr<bus_bridge> bridge = bus_bridge::connect(error);
  if (bridge == nullptr) {
    std::fprintf(stderr, "native path bench: the test bus driver cannot be served: %s\n",
                 error.c_str());
    return 1;
  }
  const int camera = qmx_sim_camera_add("BENCH001", 0x0300);
  const std::string path = bridge->bus_path(camera);
  if (camera <= 0 || path.empty()) {
    std::fprintf(stderr, "native path bench: the camera is not on the bus\n");
    return 1;
  }
  std::printf("native path bench under Wine, %.1f s per figure\n", seconds);
  synchronous_requests(path, seconds);
  for (const int depth : {1, 8, 64, 512}) {
    image_stream(*bridge, camera, depth, seconds);
  }
  const bool healthy = bridge->failures() == 0;
  if (!healthy) {
    std::fprintf(stderr, "native path bench: the bridge failed: %s\n",
                 bridge->first_failure().c_str());
  }
  bridge.reset();
  return healthy ? 0 : 1;
}
