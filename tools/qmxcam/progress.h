// qmxcam, the acquisition's progress as a user reads it: the module's drop counts by cause, the
// frame rate over a short window, and the progress line, fitted to a terminal's width or
// written as a plain line for logs.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace qmxcam {

// The module's "qmx_module.acquisition_statistics" answer read as numbers: frames dropped by
// cause ("disorder", "overwritten", ...; the names without their "dropped_" prefix), in the
// module's order.
struct drop_counts {
  std::vector<std::pair<std::string, std::uint64_t>> by_cause;
  std::uint64_t total() const;
  // "0", or "5 (overwritten 3, no_slot 2)" with the causes that are not zero.
  std::string describe() const;
};
drop_counts read_drop_counts(const std::string& statistics);

// Frames and bytes per second over the last `window` of samples.
class rate_window {
public:
  explicit rate_window(std::chrono::steady_clock::duration window) : window_(window) {}
  void add(std::chrono::steady_clock::time_point when, std::uint64_t frames, std::uint64_t bytes);
  double frames_per_second() const;
  double bytes_per_second() const;

private:
  struct sample {
    std::chrono::steady_clock::time_point when;
    std::uint64_t frames;
    std::uint64_t bytes;
  };
  std::chrono::steady_clock::duration window_;
  std::deque<sample> samples_;
};

// One moment of an acquisition.
struct progress_snapshot {
  double elapsed_seconds = 0;
  std::uint64_t frames = 0;         // taken and written
  std::uint64_t frame_limit = 0;    // --frames, 0 for none
  double second_limit = 0;          // --seconds, 0 for none
  double frames_per_second = 0;     // over the last second or so
  double bytes_per_second = 0;      // image bytes written
  std::uint64_t frames_missing = 0; // gaps in the frame counters of the frames taken
  drop_counts drops;
};

// "1:05" or "1:02:05".
std::string format_elapsed(double seconds);

// The progress line for a terminal `columns` wide: it never reaches the last column (so that
// no terminal wraps it), and leaves out the less important fields, then shortens the others,
// until it fits. Fields: elapsed time, progress toward the limit that ends the run first,
// frames per second, MB/s, frames missing and drops by cause.
std::string progress_line(const progress_snapshot& s, int columns);
// The same fields as one plain line for a log: "progress 0:05 ..." with every field.
std::string plain_progress_line(const progress_snapshot& s);

} // namespace qmxcam
