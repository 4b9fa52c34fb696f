// Prints how fast the simulated camera delivers image packets in maximum-rate mode, through the
// platform seam's device files, with many image requests in flight (the way the USB layer keeps
// its image transfers pending). The figure is bytes of packets delivered per second.
#include "platform/device_io.h"
#include "sim/qmx_sim.h"
#include "tests/support/driver_requests.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using namespace driver_requests;

constexpr std::size_t requests_in_flight = 64;
constexpr double measure_seconds = 3.0;

} // namespace

int main() {
  const int camera = qmx_sim_camera_add("BENCH0001", 0x0300);
  char path[512];
  if (camera <= 0 || qmx_sim_camera_path(camera, path, sizeof path) != 0) {
    std::puts("bench: could not plug a simulated camera");
    return 1;
  }
  qmx_sim_set_max_rate(camera, 1);
  std::uint32_t reason = 0;
  platform::device_file file =
      platform::device_file::open(path, platform::share_mode::exclusive, &reason);
  if (!file.valid()) {
    std::printf("bench: open failed (%u)\n", reason);
    return 1;
  }
  std::deque<pending_request> requests;
  for (std::size_t n = 0; n < requests_in_flight; ++n) {
    requests.emplace_back(0x83, image_length);
    if (!requests.back().record.valid()) {
      return 1;
    }
    requests.back().submit(file);
  }
  if (transact(file, "arm").rfind("<", 0) == 0) {
    std::puts("bench: the camera did not answer \"arm\"");
    return 1;
  }
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;
  std::size_t next = 0;
  while (std::chrono::duration<double>(clock::now() - start).count() < measure_seconds) {
    pending_request& r = requests[next];
    r.record.completion_event().wait();
    std::uint32_t returned = 0;
    if (file.outcome(r.record, &returned, false) != 0) {
      std::puts("bench: an image request failed");
      return 1;
    }
    bytes += returned - header_size;
    ++packets;
    r.submit(file);
    next = (next + 1) % requests.size();
  }
  const double seconds = std::chrono::duration<double>(clock::now() - start).count();
  qmx_sim_counters counters{};
  qmx_sim_get_counters(camera, &counters);
  std::printf("sim_stream: %.0f packets/s, %.2f GB/s of packet bytes, %llu frames completed, "
              "%llu packets lost (1280 x 1024 + 2 calibration lines, %zu requests in flight)\n",
              static_cast<double>(packets) / seconds, static_cast<double>(bytes) / seconds / 1e9,
              static_cast<unsigned long long>(counters.frames_completed),
              static_cast<unsigned long long>(counters.packets_lost), requests_in_flight);
  transact(file, "stop");
  file.close();
  qmx_sim_reset();
  return 0;
}
