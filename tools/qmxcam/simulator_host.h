// qmxcam, host side of the simulated camera world: loads the simulator and the hotplug monitor
// stand-in at run time, before the module, and takes the simulator functions qmxcam calls. A
// run on real cameras never loads either, so the module lists no simulated interface then.
#pragma once

#include "sim/qmx_sim.h"

#include <cstdint>
#include <string>

namespace qmxcam {

class simulator_host {
public:
  // Loads the simulator and then the monitor stand-in from `folder` (with its trailing
  // separator) and resolves the functions below; false with a message in `error`. The libraries
  // stay loaded until the process ends.
  bool load(const std::string& folder, std::string& error);

  // The simulator's control interface (see sim/qmx_sim.h).
  int camera_add(const char* serial, std::uint16_t bcd_usb) const {
    return camera_add_(serial, bcd_usb);
  }
  int camera_unplug(int camera) const { return camera_unplug_(camera); }
  int set_packet_faults(int camera, const qmx_sim_packet_faults& faults) const {
    return set_packet_faults_(camera, &faults);
  }
  std::uint32_t random_seed(int camera) const { return random_seed_(camera); }
  int set_random_seed(int camera, std::uint32_t seed) const {
    return set_random_seed_(camera, seed);
  }
  int set_max_rate(int camera, bool on) const { return set_max_rate_(camera, on ? 1 : 0); }
  // The monitor stand-in's wait until every notification reached its subscribers (see
  // sim/hotplug_monitor.h); 1 when idle.
  int monitor_wait_idle(std::uint32_t timeout_ms) const { return monitor_wait_idle_(timeout_ms); }

private:
  int (*camera_add_)(const char*, std::uint16_t) = nullptr;
  int (*camera_unplug_)(int) = nullptr;
  int (*set_packet_faults_)(int, const qmx_sim_packet_faults*) = nullptr;
  std::uint32_t (*random_seed_)(int) = nullptr;
  int (*set_random_seed_)(int, std::uint32_t) = nullptr;
  int (*set_max_rate_)(int, int) = nullptr;
  int (*monitor_wait_idle_)(std::uint32_t) = nullptr;
};

} // namespace qmxcam
