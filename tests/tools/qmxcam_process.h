// Tests of qmxcam, process side: runs the program as a user does (no shell), with its standard
// output and error captured, optionally signalled after a delay, and killed when it runs past a
// limit, so that a hang fails the test instead of holding up the suite.
#pragma once

#include <string>
#include <vector>

namespace qmxcam_test {

struct run_options {
  int signal = 0;             // sent after signal_after_ms when not 0 (SIGINT, SIGTERM, ...)
  int signal_after_ms = 0;    //
  double limit_seconds = 120; // killed with SIGKILL after this long
  std::string stdout_file;    // where standard output goes ("" for a scratch file read back)
  std::string working_folder; // "" for the test's own
  int terminal_columns = 0;   // > 0: standard error is a terminal this wide
};

struct run_result {
  int status = -1;    // exit status, or -1 when the process did not exit normally
  int killed_by = 0;  // the signal that ended it, if one did
  bool hung = false;  // killed at the limit
  double seconds = 0; // from start to end
  std::string out;    // standard output (empty when it went to stdout_file)
  std::string err;
};

// Runs QMXCAM_FILE with `arguments`.
run_result run(const std::vector<std::string>& arguments, const run_options& options = {});

// A fresh name in the test's scratch folder (nothing is created).
std::string scratch(const std::string& name);

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string& path);

} // namespace qmxcam_test
