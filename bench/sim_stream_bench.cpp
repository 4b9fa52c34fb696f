// Prints how fast the simulated camera delivers image packets in maximum-rate mode, through the
// platform seam's device files, with many image requests in flight (the way the USB layer keeps
// its image transfers pending). The figure is bytes of packets delivered per second.
#include "platform/device_io.h"
#include "sim/qmx_sim.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t request_endpoint = 0x220024;
constexpr std::uint32_t header_size = 38;
constexpr std::uint32_t packet_capacity = 16384;
constexpr std::size_t requests_in_flight = 64;
constexpr double measure_seconds = 3.0;

struct request {
  std::vector<std::uint8_t> buffer;
  platform::completion_record record;
};

void prepare(request& r, std::uint8_t endpoint, std::uint32_t data_length) {
  r.buffer.assign(header_size + data_length, 0);
  r.buffer[13] = endpoint;
  for (int i = 0; i < 4; ++i) {
    r.buffer[30 + i] = static_cast<std::uint8_t>(header_size >> (8 * i));
    r.buffer[34 + i] = static_cast<std::uint8_t>(data_length >> (8 * i));
  }
}

bool send_command(platform::device_file& file, const char* text) {
  request out;
  request in;
  if (!out.record.create() || !in.record.create()) {
    return false;
  }
  prepare(out, 0x02, 1024);
  prepare(in, 0x82, 1024);
  std::memcpy(out.buffer.data() + header_size, text, std::strlen(text));
  file.submit(request_endpoint, out.buffer.data(), static_cast<std::uint32_t>(out.buffer.size()),
              out.record);
  file.submit(request_endpoint, in.buffer.data(), static_cast<std::uint32_t>(in.buffer.size()),
              in.record);
  return out.record.completion_event().wait_for(2000) && in.record.completion_event().wait_for(2000);
}

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
  platform::device_file file = platform::device_file::open(path, platform::share_mode::exclusive, &reason);
  if (!file.valid()) {
    std::printf("bench: open failed (%u)\n", reason);
    return 1;
  }
  std::vector<request> requests(requests_in_flight);
  for (request& r : requests) {
    if (!r.record.create()) {
      return 1;
    }
    prepare(r, 0x83, packet_capacity);
    file.submit(request_endpoint, r.buffer.data(), static_cast<std::uint32_t>(r.buffer.size()), r.record);
  }
  if (!send_command(file, "arm")) {
    std::puts("bench: the camera did not answer \"arm\"");
    return 1;
  }
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;
  std::size_t next = 0;
  while (std::chrono::duration<double>(clock::now() - start).count() < measure_seconds) {
    request& r = requests[next];
    r.record.completion_event().wait();
    std::uint32_t returned = 0;
    if (file.outcome(r.record, &returned, false) != 0) {
      std::puts("bench: an image request failed");
      return 1;
    }
    bytes += returned - header_size;
    ++packets;
    file.submit(request_endpoint, r.buffer.data(), static_cast<std::uint32_t>(r.buffer.size()), r.record);
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
  send_command(file, "stop");
  file.close();
  qmx_sim_reset();
  return 0;
}
