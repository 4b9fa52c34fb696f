// qmxcam, host side of the simulated camera world (see simulator_host.h).
#include "tools/qmxcam/simulator_host.h"

#include "tools/qmxcam/host_os.h"

namespace qmxcam {
namespace {

template <typename F> bool take(void* library, const char* name, F& to, std::string& missing) {
  to = reinterpret_cast<F>(library_symbol(library, name));
  if (to == nullptr && missing.empty()) {
    missing = name;
  }
  return to != nullptr;
}

} // namespace

bool simulator_host::load(const std::string& folder, std::string& error) {
  // The simulator first: the monitor stand-in looks for it when the module subscribes.
  const std::string simulator_file = folder + simulator_file_name();
  void* simulator = load_library(simulator_file, error);
  if (simulator == nullptr) {
    error = "cannot load the simulator " + simulator_file + ": " + error;
    return false;
  }
  const std::string monitor_file = folder + monitor_file_name();
  void* monitor = load_library(monitor_file, error);
  if (monitor == nullptr) {
    error = "cannot load the hotplug monitor stand-in " + monitor_file + ": " + error;
    return false;
  }
  std::string missing;
  take(simulator, "qmx_sim_camera_add", camera_add_, missing);
  take(simulator, "qmx_sim_camera_unplug", camera_unplug_, missing);
  take(simulator, "qmx_sim_set_packet_faults", set_packet_faults_, missing);
  take(simulator, "qmx_sim_random_seed", random_seed_, missing);
  take(simulator, "qmx_sim_set_random_seed", set_random_seed_, missing);
  take(simulator, "qmx_sim_set_max_rate", set_max_rate_, missing);
  if (!missing.empty()) {
    error = simulator_file + " does not export " + missing;
    return false;
  }
  if (!take(monitor, "hotplug_monitor_wait_idle", monitor_wait_idle_, missing)) {
    error = monitor_file + " does not export " + missing;
    return false;
  }
  return true;
}

} // namespace qmxcam
