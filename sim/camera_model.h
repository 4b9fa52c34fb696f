// Simulator, camera model: the camera's state, its text command protocol and its frame packets.
#pragma once

#include "sim/frame_packets.h"
#include "sim/packet_faults.h"

#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::uint16_t usb_bcd_super_speed = 0x0300;

struct camera_config {
  std::uint32_t sensor_width = 1280;  // pixels; a positive multiple of 4 (RAW10 group width)
  std::uint32_t sensor_height = 1024; // pixels; positive
  std::uint32_t calibration_lines = 2;
  std::string serial_number = "SIM000001";
  std::string id = "QMX simulated camera 2F4E:4002";
  std::uint16_t usb_bcd = usb_bcd_super_speed; // the USB speed class the device reports
  std::int64_t sensor_temperature_c = -10;     // what "temperature" reads
  std::uint32_t random_seed = 1;               // seed value of every random fault
};

// First and last sensor column (x) and row (y) of the region that is read out, inclusive.
struct region_of_interest {
  std::uint32_t x1 = 0;
  std::uint32_t y1 = 0;
  std::uint32_t x2 = 0;
  std::uint32_t y2 = 0;

  [[nodiscard]] std::uint32_t width() const { return x2 - x1 + 1; }
  [[nodiscard]] std::uint32_t height() const { return y2 - y1 + 1; }
};

// A camera without transport: commands in, reply texts and frame packets out. Not thread-safe:
// the owner serialises calls (the transport runs one command transaction at a time).
//
// Reply texts (integers always plain decimal, without leading zeros, so that a reader that
// takes a leading 0 as octal or 0x as hexadecimal reads the intended value):
//   "id", "sernum"                 the configured texts
//   "roi"                          "x1 y1 x2 y2"
//   "roi x1 y1 x2 y2"              "ok", or an error text when refused
//   "num_calibration_lines"        one integer
//   "data_packets_per_frame"       one integer: the packet count of a frame of the current ROI
//   "arm", "stop"                  "ok"
//   "<setting>"                    its value as one integer
//   "<setting> <integer>"          "ok", or an error text when refused
//   anything else                  "error: unknown command"
// Every refusal starts with "error", which is what the host looks for.
class camera_model {
public:
  // Throws std::invalid_argument for a sensor that cannot be read out (zero size, or a width
  // that is not a multiple of 4).
  explicit camera_model(camera_config config = {});

  // `command` is what arrived on the command endpoint: text up to the first zero byte, then
  // zero padding. Leading and trailing white space is ignored; words are separated by spaces.
  std::string handle_command(std::string_view command);

  // The next `count` queries whose first word is `keyword` get an "error" reply instead of
  // being executed; count 0 clears the fault.
  void fail_first_queries(std::string keyword, std::uint32_t count);

  // Faults applied by build_frame_packets from now on.
  void set_packet_faults(const packet_fault_settings& settings) { packet_faults_ = settings; }

  // Every packet of frame `frame_number` for the current ROI, with the configured faults
  // applied (drawn from the seeded generator). `timestamp` goes into header words 8 and 12.
  frame_packets build_frame_packets(std::uint32_t frame_number, std::uint64_t timestamp);

  // As above, after applying the faults of `script` meant for this frame (taken out of it).
  frame_packets build_frame_packets(std::uint32_t frame_number, std::uint64_t timestamp,
                                    std::vector<scripted_packet_fault>& script);

  // Back to the state the camera has when it is switched on: full-sensor region, default
  // settings, not armed. Injected faults and the fault generator are the test's, and stay.
  void power_on();

  const camera_config& config() const { return config_; }
  [[nodiscard]] region_of_interest roi() const { return roi_; }
  [[nodiscard]] bool armed() const { return armed_; }
  [[nodiscard]] frame_geometry geometry() const;
  [[nodiscard]] std::uint32_t data_packets_per_frame() const;
  [[nodiscard]] std::uint32_t random_seed() const { return config_.random_seed; }
  // Restarts the fault generator from `seed`.
  void set_random_seed(std::uint32_t seed) {
    config_.random_seed = seed;
    random_.seed(seed);
  }
  const packet_fault_counters& fault_counters() const { return fault_counters_; }
  [[nodiscard]] std::uint64_t frames_built() const { return frames_built_; }

  // The integer value of a setting by name; false when there is no such setting.
  [[nodiscard]] bool setting(std::string_view name, std::int64_t& value) const;

  static constexpr std::size_t setting_count = 4;

private:
  std::string roi_command(std::string_view arguments);
  std::string setting_command(std::size_t row, std::string_view arguments);
  bool injected_error(std::string_view keyword);

  camera_config config_;
  region_of_interest roi_;
  bool armed_ = false;
  std::array<std::int64_t, setting_count> settings_{};
  std::map<std::string, std::uint32_t, std::less<>> failing_queries_;
  packet_fault_settings packet_faults_;
  packet_fault_counters fault_counters_;
  std::mt19937 random_;
  frame_builder frame_builder_;
  std::uint64_t frames_built_ = 0;
};

} // namespace sim
