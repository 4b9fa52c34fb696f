/* The world the README's host example runs in: one simulated camera plugged in before the
 * example's main, and its arrival delivered, as on a machine with a camera attached. */
#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"

__attribute__((constructor)) static void plug_one_camera(void) {
  qmx_sim_camera_add("SIM00001", 0x0300);
  hotplug_monitor_wait_idle(5000);
}
