// qmxcam acquire, its command line (see acquire_options.h).
#include "tools/qmxcam/acquire_options.h"

#include "tools/qmxcam/session.h"

#include <cmath>
#include <sstream>

namespace qmxcam {
namespace {

constexpr unsigned long long default_frames = 10;
constexpr double default_no_frame_margin = 10;
constexpr unsigned long long most_binning = 16;

bool read_faults(const std::string& text, qmx_sim_packet_faults& faults, std::string& error) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    const std::size_t equals = item.find('=');
    double chance = 0;
    if (equals == std::string::npos || !read_double(item.substr(equals + 1), chance) ||
        chance < 0 || chance > 1) {
      error = "--sim-faults: '" + item + "' is not NAME=CHANCE with a chance from 0 to 1";
      return false;
    }
    const std::string name = item.substr(0, equals);
    if (name == "drop") {
      faults.drop = chance;
    } else if (name == "shorten") {
      faults.shorten = chance;
    } else if (name == "repeat") {
      faults.repeat = chance;
    } else if (name == "reorder") {
      faults.reorder = chance;
    } else if (name == "corrupt") {
      faults.corrupt_magic = chance;
    } else {
      error =
          "--sim-faults: unknown fault '" + name + "' (drop, shorten, repeat, reorder, corrupt)";
      return false;
    }
  }
  return true;
}

bool read_region(const std::string& text, acquire_settings& s, std::string& error) {
  s.roi = true;
  std::stringstream list(text);
  std::string part;
  int count = 0;
  while (std::getline(list, part, ',')) {
    if (count == 4 || !read_unsigned(part, s.roi_values[count])) {
      count = 5;
      break;
    }
    ++count;
  }
  if (count != 4 || s.roi_values[0] > s.roi_values[2] || s.roi_values[1] > s.roi_values[3]) {
    error = "--roi takes X1,Y1,X2,Y2 with X1 <= X2 and Y1 <= Y2, not '" + text + "'";
    return false;
  }
  return true;
}

bool read_binning(const std::string& text, acquire_settings& s, std::string& error) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos || !read_unsigned(text.substr(0, x), s.hbin) ||
      !read_unsigned(text.substr(x + 1), s.vbin) || s.hbin < 1 || s.hbin > most_binning ||
      s.vbin < 1 || s.vbin > most_binning) {
    error = "--bin takes HxV with factors from 1 to 16, not '" + text + "'";
    return false;
  }
  return true;
}

// A camera setting given as a number: sent as a whole number when it is one ("5.0" as "5"), so
// that a camera that takes whole numbers only takes it, else as written ("0.25").
bool read_camera_number(const command_line& line, const char* name, bool positive, std::string& to,
                        std::string& error) {
  if (!line.has(name)) {
    return true;
  }
  const std::string text = line.value(name);
  double value = 0;
  if (!read_double(text, value) || value < 0 || (positive && value == 0)) {
    error = std::string("--") + name + " takes a " + (positive ? "positive " : "") +
            "number, not '" + text + "'";
    return false;
  }
  if (value == std::floor(value) && value < 1e15) {
    to = std::to_string(static_cast<unsigned long long>(value));
  } else {
    to = text;
  }
  return true;
}

bool read_limits(const command_line& line, acquire_settings& s, std::string& error) {
  auto positive = [&](const char* name, unsigned long long& to) {
    if (line.has(name) && (!read_unsigned(line.value(name), to) || to == 0)) {
      error = std::string("--") + name + " takes a positive whole number, not '" +
              line.value(name) + "'";
      return false;
    }
    return true;
  };
  if (!positive("frames", s.frames) || !positive("slots", s.slots)) {
    return false;
  }
  if (line.has("max-drops") && !read_unsigned(line.value("max-drops"), s.max_drops)) {
    error = "--max-drops takes a whole number, not '" + line.value("max-drops") + "'";
    return false;
  }
  if (line.has("seconds") && (!read_double(line.value("seconds"), s.seconds) || s.seconds <= 0)) {
    error = "--seconds takes a positive number, not '" + line.value("seconds") + "'";
    return false;
  }
  if (!line.has("frames") && !line.has("seconds")) {
    s.frames = default_frames;
  }
  s.no_frame_margin = default_no_frame_margin;
  if (line.has("no-frame-timeout") &&
      (!read_double(line.value("no-frame-timeout"), s.no_frame_margin) || s.no_frame_margin <= 0)) {
    error = "--no-frame-timeout takes a positive number of seconds";
    return false;
  }
  return true;
}

bool read_output(const command_line& line, acquire_settings& s, std::string& error) {
  const std::string format = line.value("format", "tiff");
  if (format == "tiff" || format == "tif") {
    s.output.format = file_format::tiff;
  } else if (format == "fits") {
    s.output.format = file_format::fits;
  } else if (format == "raw") {
    s.output.format = file_format::raw;
  } else {
    error = "--format takes tiff, fits or raw, not '" + format + "'";
    return false;
  }
  if (!format_available(s.output.format)) {
    error = std::string("this build of qmxcam cannot write --format ") + format +
            " (built without the image libraries)";
    return false;
  }
  if (line.has("preview") && !line.value("preview").empty() && !preview_available()) {
    error = "this build of qmxcam cannot write a PNG preview (built without the image libraries)";
    return false;
  }
  s.output.output =
      line.value("output", std::string("qmxcam_frames") + format_extension(s.output.format));
  s.output.preview = line.value("preview");
  s.output.per_frame = line.has("per-frame");
  s.output.overwrite = line.has("overwrite");
  s.output.bigtiff = line.has("bigtiff");
  if (line.has("preview") && s.output.preview.empty()) {
    error = "--preview needs a file name";
    return false;
  }
  error = check_output_request(s.output);
  if (error.empty() && s.json && s.output.output == "-") {
    error = "--json prints on standard output, which --output - takes for the frames";
  }
  return error.empty();
}

bool read_simulator_options(const command_line& line, acquire_settings& s, std::string& error) {
  if (line.has("sim-fps")) {
    unsigned long long fps = 0;
    if (!read_unsigned(line.value("sim-fps"), fps)) {
      error = "--sim-fps takes a whole number of frames per second";
      return false;
    }
    s.sim_fps = std::to_string(fps);
  }
  s.sim_max_rate = line.has("sim-max-rate");
  if (line.has("sim-faults")) {
    s.sim_faults = true;
    if (!read_faults(line.value("sim-faults"), s.faults, error)) {
      return false;
    }
  }
  if (line.has("sim-seed")) {
    s.sim_seed = true;
    if (!read_unsigned(line.value("sim-seed"), s.seed) || s.seed > 0xFFFFFFFFull) {
      error = "--sim-seed takes a whole number below 2^32";
      return false;
    }
  }
  if (line.has("sim-unplug-after") &&
      (!read_double(line.value("sim-unplug-after"), s.unplug_after) || s.unplug_after <= 0)) {
    error = "--sim-unplug-after takes a positive number of seconds";
    return false;
  }
  return true;
}

} // namespace

const char* const acquire_synopsis =
    "[OPTIONS]\n\n"
    "Takes frames from a camera and writes them out, straight from the module's buffer (no\n"
    "copy). The run ends with the first of --frames and --seconds to be reached (10 frames\n"
    "when neither is given), on Ctrl-C, termination or hangup, or at the first failure to\n"
    "write; the files then hold every frame written, each complete.\n"
    "Existing files are kept unless --overwrite is given. Devices, named pipes and '-'\n"
    "(standard output) take --format raw only. TIFF files that can pass 4 GiB are written as\n"
    "BigTIFF. Frames the disk cannot keep up with are lost in the module's buffer (--slots)\n"
    "and counted as missing.\n"
    "Exit status: 0 every frame taken and written; 1 failure; 2 usage error; 3 frames missing\n"
    "from the sequence (more than --max-drops); 130 Ctrl-C, 143 terminated, 129 hung up.";

std::vector<option_row> acquire_options() {
  std::vector<option_row> rows = camera_options();
  const std::vector<option_row> own = {
      {"frames", "N", "take N frames (default 10 when --seconds is not given)"},
      {"seconds", "S", "take frames for S seconds; the first limit reached ends the run"},
      {"roi", "X1,Y1,X2,Y2", "region of interest in sensor pixels, corners included"},
      {"bin", "HxV", "binning, horizontal x vertical (1 to 16 each)"},
      {"exposure", "MS", "exposure time in milliseconds (fractions where the camera takes them)"},
      {"gain", "G", "the camera's gain setting (the simulated camera: tenths of a decibel)"},
      {"fps", "N", "the camera's frame rate setting, frames per second"},
      {"format", "FORMAT", "tiff (default; 16-bit, multi-page), fits or raw (slots as they are)"},
      {"output", "FILE", "output file, device, named pipe or - (default qmxcam_frames.tif, ...)"},
      {"per-frame", nullptr,
       "one file per frame: --output is a folder (frame_000000.tif, ...) or a name "
       "(NAME_000000.tif)"},
      {"overwrite", nullptr, "replace existing files (and numbered files of an earlier run)"},
      {"bigtiff", nullptr, "write BigTIFF even when the run cannot pass 4 GiB"},
      {"preview", "FILE.png", "also write the last frame as a PNG with automatic contrast"},
      {"slots", "N",
       "frame slots in the module's buffer, which holds the frames the disk has not taken yet "
       "(default: as many as 256 MiB hold, 16 to 1024)"},
      {"max-drops", "N", "frames that may go missing before the exit status is 3 (default 0)"},
      {"no-frame-timeout", "S",
       "give up when no frame comes for the exposure plus S seconds (default 10)"},
      {"json", nullptr, "print the summary as JSON on standard output"},
      {"quiet", nullptr, "no progress line"},
      {"sim-fps", "N", "simulated camera: frames per second (its \"fps\" setting)"},
      {"sim-max-rate", nullptr, "simulated camera: frames as fast as the host takes them"},
      {"sim-faults", "LIST",
       "simulated camera: packet faults per packet, e.g. drop=0.01,shorten=0.01"
       " (drop, shorten, repeat, reorder, corrupt)"},
      {"sim-seed", "N", "simulated camera: seed value of the fault generator"},
      {"sim-unplug-after", "S", "simulated camera: unplug it S seconds into the acquisition"},
  };
  rows.insert(rows.end(), own.begin(), own.end());
  return rows;
}

bool read_acquire_settings(const command_line& line, acquire_settings& s, std::string& error) {
  s.json = line.has("json");
  s.quiet = line.has("quiet");
  if (!read_limits(line, s, error)) {
    return false;
  }
  if (line.has("roi") && !read_region(line.value("roi"), s, error)) {
    return false;
  }
  if (line.has("bin") && !read_binning(line.value("bin"), s, error)) {
    return false;
  }
  if (!read_camera_number(line, "exposure", true, s.exposure, error) ||
      !read_camera_number(line, "gain", false, s.gain, error) ||
      !read_camera_number(line, "fps", false, s.fps, error)) {
    return false;
  }
  if (line.has("output") && line.value("output").empty()) {
    error = "--output needs a file name";
    return false;
  }
  return read_output(line, s, error) && read_simulator_options(line, s, error);
}

} // namespace qmxcam
