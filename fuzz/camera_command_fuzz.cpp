// Fuzz target: the simulated camera's text protocol. Any sequence of commands must get a reply
// that is "ok", a value or an error text, and whatever region the camera accepts must yield
// frames whose packets fit the packet limit and carry exactly the frame's payload.
#include "sim/camera_model.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t max_commands = 64;
constexpr std::uint32_t frames_per_arm = 2;

void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Builds frames of the current region and checks their packets.
void check_frames(sim::camera_model& camera) {
  const sim::frame_geometry geometry = camera.geometry();
  const std::size_t payload = sim::frame_payload_bytes(geometry);
  for (std::uint32_t n = 0; n < frames_per_arm; ++n) {
    const sim::frame_packets frame = camera.build_frame_packets(n, n);
    require(frame.packets.size() == camera.data_packets_per_frame());
    std::size_t carried = 0;
    for (std::size_t i = 0; i < frame.packets.size(); ++i) {
      const std::vector<std::uint8_t> packet = frame.packet(i);
      require(packet.size() > sim::packet_header_bytes);
      require(packet.size() <= sim::max_packet_bytes);
      carried += packet.size() - sim::packet_header_bytes;
    }
    require(carried == payload);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A small sensor keeps each frame cheap; the protocol does not depend on the sensor size.
  sim::camera_config config;
  config.sensor_width = 96;
  config.sensor_height = 40;
  sim::camera_model camera(config);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  for (std::size_t count = 0; count < max_commands && start <= input.size(); ++count) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) {
      end = input.size();
    }
    const std::string reply = camera.handle_command(input.substr(start, end - start));
    require(!reply.empty());
    require(reply.find('\0') == std::string::npos);
    const sim::region_of_interest roi = camera.roi();
    require(roi.x1 <= roi.x2 && roi.x2 < config.sensor_width);
    require(roi.y1 <= roi.y2 && roi.y2 < config.sensor_height);
    require(roi.width() % sim::pixels_per_group == 0);
    if (camera.armed()) {
      check_frames(camera);
    }
    start = end + 1;
  }
  return 0;
}
