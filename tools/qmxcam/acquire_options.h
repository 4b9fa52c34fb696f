// qmxcam acquire, its command line: the options table, the help text and the settings read
// from it, every value checked before anything is loaded.
#pragma once

#include "sim/qmx_sim.h"
#include "tools/qmxcam/options.h"
#include "tools/qmxcam/output_paths.h"

#include <string>
#include <vector>

namespace qmxcam {

struct acquire_settings {
  unsigned long long frames = 0; // 0: no frame limit (--seconds ends the run)
  double seconds = 0;            // 0: no duration
  bool roi = false;
  unsigned long long roi_values[4] = {};
  unsigned long long hbin = 0, vbin = 0; // 0: unchanged
  std::string exposure;                  // camera settings as sent ("" to leave them)
  std::string gain;
  std::string fps;
  output_request output;
  unsigned long long slots = 0; // 0: sized by default_buffer_bytes
  unsigned long long max_drops = 0;
  double no_frame_margin = 0; // seconds allowed beyond the exposure and the frame interval
  bool json = false;
  bool quiet = false;
  std::string sim_fps;
  bool sim_max_rate = false;
  bool sim_faults = false;
  qmx_sim_packet_faults faults{};
  bool sim_seed = false;
  unsigned long long seed = 0;
  double unplug_after = 0; // 0: never

  bool wants_simulator() const {
    return !sim_fps.empty() || sim_max_rate || sim_faults || sim_seed || unplug_after > 0;
  }
};

std::vector<option_row> acquire_options();
extern const char* const acquire_synopsis;

// Reads and checks the option values; false with a message (a usage error).
bool read_acquire_settings(const command_line& line, acquire_settings& s, std::string& error);

} // namespace qmxcam
