// qmxcam, one run of the program (see session.h).
#include "tools/qmxcam/session.h"

#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"
#include "tools/qmxcam/host_os.h"

#include <cstdio>
#include <iostream>

namespace qmxcam {
namespace {

constexpr unsigned long long default_simulated_cameras = 1;
constexpr unsigned long long most_simulated_cameras = 64;
constexpr std::uint16_t simulated_bcd_usb = 0x0300;
constexpr std::uint32_t monitor_idle_wait_ms = 5000;

} // namespace

std::vector<option_row> common_options() {
  return {
      {"sim-cameras", "N", "simulated cameras to plug in first (default 1; 0 for none)"},
      {"module", "FILE", "the module to load (default: the one beside qmxcam)"},
  };
}

std::vector<option_row> camera_options() {
  std::vector<option_row> rows = common_options();
  rows.push_back({"camera", "ID", "the camera's device ID (default: the first one listed)"});
  return rows;
}

void report(const std::string &command, const std::string &message) {
  std::cerr << "qmxcam " << command << ": " << message << std::endl;
}

std::vector<std::string> split_list(const std::string &text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      comma = text.size();
    }
    if (comma > start) {
      parts.push_back(text.substr(start, comma - start));
    }
    start = comma + 1;
  }
  return parts;
}

session::~session() {
  close_camera();
  // A notification still running when the process exits would meet the module's statics while
  // they are destroyed.
  hotplug_monitor_wait_idle(monitor_idle_wait_ms);
}

bool session::start(const command_line &line) {
  unsigned long long cameras = default_simulated_cameras;
  if (line.has("sim-cameras") &&
      (!read_unsigned(line.value("sim-cameras"), cameras) || cameras > most_simulated_cameras)) {
    report(command_, "--sim-cameras takes a number from 0 to " +
                         std::to_string(most_simulated_cameras) + ", not '" +
                         line.value("sim-cameras") + "'");
    return false;
  }
  // Cameras plugged before the module initialises are identified by the first listing.
  for (unsigned long long i = 0; i < cameras; ++i) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "SIM%05llu", i + 1);
    const int camera = qmx_sim_camera_add(serial, simulated_bcd_usb);
    if (camera == 0) {
      report(command_, "the simulator refused to plug camera " + std::string(serial));
      return false;
    }
    plugged_.push_back(camera);
  }
  hotplug_monitor_wait_idle(monitor_idle_wait_ms);
  const std::string file = line.value("module", executable_folder() + module_file_name());
  std::string error;
  if (!module_.load(file, error)) {
    report(command_, error);
    return false;
  }
  return true;
}

bool session::open_camera(const command_line &line) {
  std::string ids;
  std::string serials;
  module_.list(ids, serials);
  const std::vector<std::string> attached = split_list(ids);
  std::string wanted = line.value("camera");
  if (wanted.empty()) {
    if (attached.empty()) {
      report(command_, "no camera is attached");
      return false;
    }
    wanted = attached.front();
  } else {
    bool found = false;
    for (const std::string &id : attached) {
      found = found || id == wanted;
    }
    if (!found) {
      report(command_, "no camera with device ID '" + wanted + "' is attached (attached: " +
                           (attached.empty() ? std::string("none") : ids) + ")");
      return false;
    }
  }
  void *handle = nullptr;
  if (const int result = module_.create(wanted, &handle); result != 0) {
    report_result("opening camera '" + wanted + "'", result);
    return false;
  }
  handle_ = handle;
  camera_id_ = wanted;
  return true;
}

int session::simulated_camera() const {
  int number = 0;
  char rest = 0;
  if (std::sscanf(camera_id_.c_str(), "QMXSIM-%d%c", &number, &rest) != 1) {
    return 0;
  }
  for (const int camera : plugged_) {
    if (camera == number) {
      return camera;
    }
  }
  return 0;
}

bool session::close_camera() {
  if (handle_ == nullptr) {
    return true;
  }
  const int result = module_.destroy(handle_);
  handle_ = nullptr;
  if (result != 0) {
    report_result("closing camera '" + camera_id_ + "'", result);
    return false;
  }
  return true;
}

void session::report_result(const std::string &what, int code) const {
  report(command_, what + " failed: module result " + describe_result(code));
}

bool session::camera_refused(const reply &r) {
  return r.text.rfind("error", 0) == 0;
}

} // namespace qmxcam
