// qmxcam, one run of the program (see session.h).
#include "tools/qmxcam/session.h"

#include "tools/qmxcam/host_os.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
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
      {"hardware", nullptr,
       "real cameras, not simulated ones (their driver exists for Windows only)"},
      {"sim-cameras", "N", "simulated cameras to plug in first (default 1; 0 for none)"},
      {"module", "FILE", "the module to load (default: the one beside qmxcam)"},
  };
}

int check_common_options(const std::string& command, const command_line& line) {
  unsigned long long cameras = 0;
  if (line.has("sim-cameras") &&
      (!read_unsigned(line.value("sim-cameras"), cameras) || cameras > most_simulated_cameras)) {
    report(command, "--sim-cameras takes a number from 0 to " +
                        std::to_string(most_simulated_cameras) + ", not '" +
                        line.value("sim-cameras") + "'");
    return exit_usage;
  }
  if (!line.has("hardware")) {
    return -1;
  }
  for (const auto& option : line.values) {
    if (option.first.rfind("sim-", 0) == 0) {
      report(command, "--" + option.first +
                          " is for simulated cameras and cannot go with --hardware; see "
                          "'qmxcam " +
                          command + " --help'");
      return exit_usage;
    }
  }
  if (const char* reason = real_cameras_unavailable_reason(); reason != nullptr) {
    report(command, std::string("--hardware is not available here: ") + reason);
    return exit_usage;
  }
  return -1;
}

std::vector<option_row> camera_options() {
  std::vector<option_row> rows = common_options();
  rows.push_back(
      {"camera", "ID", "the camera's device ID or serial number (default: the first one listed)"});
  return rows;
}

void report(const std::string& command, const std::string& message) {
  std::cerr << "qmxcam " << command << ": " << message << std::endl;
}

std::string module_folder() {
  std::string own = executable_folder();
  std::error_code ignored;
  if (std::filesystem::exists(own + module_file_name(), ignored)) {
    return own;
  }
  std::string installed = own + "../lib/";
  if (std::filesystem::exists(installed + module_file_name(), ignored)) {
    return installed;
  }
  return own;
}

std::vector<std::string> split_list(const std::string& text) {
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
  // they are destroyed. The maker's monitor offers no such wait; real cameras are not plugged
  // by this process, so nothing is pending because of it.
  if (simulator_ != nullptr) {
    simulator_->monitor_wait_idle(monitor_idle_wait_ms);
  }
}

bool session::start(const command_line& line) {
  if (line.has("hardware") ? !start_real() : !start_simulated(line)) {
    return false;
  }
  const std::string file = line.value("module", module_folder() + module_file_name());
  std::string error;
  if (!module_.load(file, error)) {
    report(command_, error);
    return false;
  }
  return true;
}

bool session::start_real() {
  // The system's search finds the maker's monitor where its installation put it.
  std::string error;
  if (load_library(monitor_file_name(), error) == nullptr) {
    report(command_, std::string("cannot load the camera maker's hotplug monitor ") +
                         monitor_file_name() + ": " + error);
    return false;
  }
  // With the simulator in the process the module would list its cameras beside the real ones.
  if (library_in_process(simulator_file_name())) {
    report(command_, std::string("the simulator ") + simulator_file_name() +
                         " is loaded in this process (brought in with the hotplug monitor?); "
                         "--hardware needs a process without it");
    return false;
  }
  return true;
}

bool session::start_simulated(const command_line& line) {
  // check_common_options has checked the value.
  unsigned long long cameras = default_simulated_cameras;
  if (line.has("sim-cameras")) {
    read_unsigned(line.value("sim-cameras"), cameras);
  }
  auto simulator = std::make_unique<simulator_host>();
  std::string error;
  if (!simulator->load(module_folder(), error)) {
    report(command_, error);
    return false;
  }
  simulator_ = std::move(simulator);
  // Cameras plugged before the module initialises are identified by the first listing.
  for (unsigned long long i = 0; i < cameras; ++i) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "SIM%05llu", i + 1);
    const int camera = simulator_->camera_add(serial, simulated_bcd_usb);
    if (camera == 0) {
      report(command_, "the simulator refused to plug camera " + std::string(serial));
      return false;
    }
    plugged_.push_back(camera);
  }
  simulator_->monitor_wait_idle(monitor_idle_wait_ms);
  return true;
}

bool session::open_camera(const command_line& line) {
  std::string ids;
  std::string serials;
  module_.list(ids, serials);
  const std::vector<std::string> attached = split_list(ids);
  const std::vector<std::string> serial_numbers = split_list(serials);
  std::string wanted = line.value("camera");
  if (wanted.empty()) {
    if (attached.empty()) {
      report(command_, "no camera is attached");
      return false;
    }
    wanted = attached.front();
  } else if (std::find(attached.begin(), attached.end(), wanted) == attached.end()) {
    // Not a device ID listed: a serial number names the camera listed with it.
    std::vector<std::string> matches;
    for (std::size_t i = 0; i < serial_numbers.size() && i < attached.size(); ++i) {
      if (serial_numbers[i] == wanted) {
        matches.push_back(attached[i]);
      }
    }
    if (matches.size() > 1) {
      report(command_, "serial number " + wanted + " is shared by " + matches.front() + " and " +
                           std::to_string(matches.size() - 1) +
                           " more; name the camera by its device ID");
      return false;
    }
    if (matches.size() == 1) {
      wanted = matches.front();
    }
  }
  // A named camera goes to the module even when the listing lacks it: the module decides, and
  // its result code says why it refused.
  void* handle = nullptr;
  if (const int result = module_.create(wanted, &handle); result != 0) {
    std::string names;
    for (const std::string& id : attached) {
      names += (names.empty() ? "" : ", ") + id;
    }
    report(command_, "cannot open camera '" + line.value("camera", wanted) + "': module result " +
                         describe_result(result) +
                         "; attached: " + (names.empty() ? std::string("none") : names));
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

void session::report_result(const std::string& what, int code) const {
  report(command_, what + " failed: module result " + describe_result(code));
}

bool session::camera_refused(const reply& r) {
  return r.text.rfind("error", 0) == 0;
}

} // namespace qmxcam
