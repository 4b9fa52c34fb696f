// Native-path tests: the bridge that serves the test bus driver's cameras from the simulator in
// this process. Windows (Wine) only; test code, never shipped.
//
// Connected, it takes the simulator out of the platform seam's device sources (the simulator stays
// loaded) so that the seam lists and opens only the kernel driver's devices, and from then on:
//  - every simulated camera plugged in is plugged into the test bus as a child device, and every
//    unplug takes it out again; the monitor stand-in then reports the bus's interface path, not
//    the simulator's (it no longer relays the simulator's own notifications);
//  - every open, request, cancel and close that the driver receives on a camera is carried out on
//    the simulator's device source, and each request ends with the simulator's answer.
// The simulator is reached by no other way, so every request it counts came through the driver.
#pragma once

#include "tests/native/test_bus_protocol.h"

#include <cstdint>
#include <memory>
#include <string>

namespace native_test {

class bus_bridge {
public:
  // Connects to the installed test bus and starts serving it. Null with the reason in `error`
  // when the bus is not installed or cannot be served (another process serves it).
  static std::unique_ptr<bus_bridge> connect(std::string& error);

  bus_bridge(const bus_bridge&) = delete;
  bus_bridge& operator=(const bus_bridge&) = delete;
  // Unplugs every camera from the bus, stops serving and gives the simulator back to the seam.
  ~bus_bridge();

  // qmx_sim_reset(), and every camera taken off the bus without telling the monitor's subscribers
  // (as the reset tells nobody). Waits until the system has removed them.
  void reset();

  // The bus's interface path of a plugged simulated camera (as the bus names it; listings give it
  // in lower case); empty when the camera is not on the bus.
  std::string bus_path(int camera) const;

  // Requests the bridge has handed to the simulator since it connected.
  std::uint64_t requests_served() const;
  // Failures of the bridge itself (a plug the bus refused, an answer the driver did not take):
  // zero in a healthy run; the text of the first, when there was one.
  std::uint64_t failures() const;
  std::string first_failure() const;

  // The driver's own counters; false when they could not be read.
  bool driver_counters(qmx_test_counters& counters) const;

  struct impl;

private:
  explicit bus_bridge(std::unique_ptr<impl> impl);
  std::unique_ptr<impl> impl_;
};

} // namespace native_test
