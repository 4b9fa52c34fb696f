// qmxcam, one run of the program: the simulated cameras it plugs, the loaded module, the open
// camera, and the messages and exit statuses every subcommand shares.
#pragma once

#include "tools/qmxcam/module_host.h"
#include "tools/qmxcam/options.h"
#include "tools/qmxcam/simulator_host.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qmxcam {

// Exit statuses.
constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int exit_frames_missing = 3; // acquire: frames missing from the sequence
constexpr int exit_interrupted = 130;

// Options every subcommand takes, and those of the subcommands that open a camera.
std::vector<option_row> common_options();
std::vector<option_row> camera_options();

// "qmxcam NAME: message" on stderr.
void report(const std::string& command, const std::string& message);

// Checks the options of common_options() once they are parsed, before anything is loaded: a
// bad --sim-cameras value, --hardware with a --sim-* option, and --hardware where the system
// has no real cameras are usage errors. -1 to go on, otherwise the exit status after reporting
// why.
int check_common_options(const std::string& command, const command_line& line);

class session {
public:
  explicit session(std::string command) : command_(std::move(command)) {}
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // Simulated cameras (the default): loads the simulator and the monitor stand-in and plugs the
  // cameras that --sim-cameras asks for (1 by default). Real cameras (--hardware): loads the
  // camera maker's hotplug monitor by its file name and makes sure that the simulator is not
  // in the process. Then loads and initialises the module (--module, or the module beside the
  // executable). False after reporting why.
  bool start(const command_line& line);
  // Opens the camera of --camera, or the first one listed. False after reporting why.
  bool open_camera(const command_line& line);

  const module_host& module() const { return module_; }
  void* handle() const { return handle_; }
  const std::string& camera_id() const { return camera_id_; }
  const std::string& command() const { return command_; }
  // The simulator, or null on real cameras.
  const simulator_host* simulator() const { return simulator_.get(); }
  // The simulator's id of the open camera, or 0 when qmxcam did not plug it.
  int simulated_camera() const;
  // Closes the open camera; false after reporting a failure.
  bool close_camera();

  // Reports a failed module call ("get \"roi\" failed: 14 (the camera is unplugged)").
  void report_result(const std::string& what, int code) const;
  // A text answer that the camera gave as a refusal ("error: ...").
  static bool camera_refused(const reply& r);

private:
  bool start_simulated(const command_line& line);
  bool start_real();

  std::string command_;
  std::unique_ptr<simulator_host> simulator_;
  module_host module_;
  std::vector<int> plugged_;
  void* handle_ = nullptr;
  std::string camera_id_;
};

// The folder the module and the simulator are loaded from (with its trailing separator): the
// executable's own, or, for an installed qmxcam, the library folder beside it (../lib/).
std::string module_folder();

// Splits "A,B,C," at the commas, leaving out empty parts.
std::vector<std::string> split_list(const std::string& text);

int run_acquire(const std::vector<std::string>& words);

} // namespace qmxcam
