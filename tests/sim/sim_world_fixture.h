// Tests, simulator: a fresh simulated world per test, and the driver's interface class and the
// cameras' paths as the platform seam sees them.
#pragma once

#include "platform/device_io.h"
#include "sim/qmx_sim.h"

#include <gtest/gtest.h>

#include <string>

namespace sim_test {

constexpr platform::interface_class_guid driver_class{
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

inline std::string path_of(int camera) {
  char path[512];
  EXPECT_EQ(qmx_sim_camera_path(camera, path, sizeof path), 0);
  return path;
}

class sim_world_test : public ::testing::Test {
protected:
  void SetUp() override { qmx_sim_reset(); }
  void TearDown() override {
    qmx_sim_set_device_source(1);
    qmx_sim_reset();
  }
};

} // namespace sim_test
