// qmxcam, the acquisition's progress (see progress.h).
#include "tools/qmxcam/progress.h"

#include "tools/qmxcam/options.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace qmxcam {
namespace {

constexpr const char* dropped_prefix = "dropped_";
constexpr double bytes_per_megabyte = 1e6;

std::string printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Progress toward the limit that will end the run first: "120/400 30%" (frames) or
// "12/60 s 20%"; with no limit, the frames taken.
std::string progress_field(const progress_snapshot& s, bool with_percent) {
  const double frame_share =
      s.frame_limit > 0 ? static_cast<double>(s.frames) / static_cast<double>(s.frame_limit) : -1;
  const double time_share = s.second_limit > 0 ? s.elapsed_seconds / s.second_limit : -1;
  std::string text;
  double share = 0;
  if (frame_share < 0 && time_share < 0) {
    return std::to_string(s.frames) + " frames";
  }
  if (frame_share >= time_share) {
    text = std::to_string(s.frames) + "/" + std::to_string(s.frame_limit) + " frames";
    share = frame_share;
  } else {
    text = std::to_string(s.frames) + " frames " +
           printed("%.0f", std::min(s.elapsed_seconds, s.second_limit)) + "/" +
           printed("%g", s.second_limit) + " s";
    share = time_share;
  }
  if (with_percent) {
    text += printed(" %.0f%%", std::min(share, 1.0) * 100);
  }
  return text;
}

std::string missing_field(const progress_snapshot& s, bool with_causes) {
  std::string text = "missing " + std::to_string(s.frames_missing);
  const std::uint64_t dropped = s.drops.total();
  if (dropped > 0) {
    text += ", dropped " + (with_causes ? s.drops.describe() : std::to_string(dropped));
  }
  return text;
}

std::string join(const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& field : fields) {
    if (!field.empty()) {
      line += (line.empty() ? "" : "  ") + field;
    }
  }
  return line;
}

} // namespace

std::uint64_t drop_counts::total() const {
  std::uint64_t sum = 0;
  for (const auto& cause : by_cause) {
    sum += cause.second;
  }
  return sum;
}

std::string drop_counts::describe() const {
  std::string causes;
  for (const auto& [name, count] : by_cause) {
    if (count != 0) {
      causes += (causes.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
  }
  return causes.empty() ? std::to_string(total()) : std::to_string(total()) + " (" + causes + ")";
}

drop_counts read_drop_counts(const std::string& statistics) {
  drop_counts counts;
  std::istringstream fields(statistics);
  std::string field;
  while (fields >> field) {
    const std::size_t equals = field.find('=');
    if (field.rfind(dropped_prefix, 0) != 0 || equals == std::string::npos) {
      continue;
    }
    unsigned long long value = 0;
    if (read_unsigned(field.substr(equals + 1), value)) {
      const std::size_t name_start = std::char_traits<char>::length(dropped_prefix);
      counts.by_cause.emplace_back(field.substr(name_start, equals - name_start), value);
    }
  }
  return counts;
}

void rate_window::add(std::chrono::steady_clock::time_point when, std::uint64_t frames,
                      std::uint64_t bytes) {
  samples_.push_back({when, frames, bytes});
  // Keep one sample at or before the window's start, so that the window is always covered.
  while (samples_.size() > 2 && when - samples_[1].when >= window_) {
    samples_.pop_front();
  }
}

double rate_window::frames_per_second() const {
  if (samples_.size() < 2) {
    return 0;
  }
  const double seconds =
      std::chrono::duration<double>(samples_.back().when - samples_.front().when).count();
  return seconds > 0
             ? static_cast<double>(samples_.back().frames - samples_.front().frames) / seconds
             : 0;
}

double rate_window::bytes_per_second() const {
  if (samples_.size() < 2) {
    return 0;
  }
  const double seconds =
      std::chrono::duration<double>(samples_.back().when - samples_.front().when).count();
  return seconds > 0 ? static_cast<double>(samples_.back().bytes - samples_.front().bytes) / seconds
                     : 0;
}

std::string format_elapsed(double seconds) {
  const auto whole = static_cast<unsigned long long>(seconds < 0 ? 0 : seconds);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  }
  return text;
}

std::string progress_line(const progress_snapshot& s, int columns) {
  const std::string elapsed = format_elapsed(s.elapsed_seconds);
  const std::string fps = printed("%.1f fps", s.frames_per_second);
  const std::string rate = printed("%.0f MB/s", s.bytes_per_second / bytes_per_megabyte);
  // From the fullest line to the barest; the first that fits is drawn.
  const std::vector<std::vector<std::string>> candidates = {
      {elapsed, progress_field(s, true), fps, rate, missing_field(s, true)},
      {elapsed, progress_field(s, true), fps, rate, missing_field(s, false)},
      {elapsed, progress_field(s, true), fps, missing_field(s, false)},
      {elapsed, progress_field(s, false), fps, missing_field(s, false)},
      {elapsed, progress_field(s, false), fps},
      {elapsed, progress_field(s, false)},
      {elapsed},
  };
  const std::size_t room = columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
  for (const auto& fields : candidates) {
    std::string line = join(fields);
    if (line.size() <= room || room == 0) {
      return line;
    }
  }
  return join(candidates.back()).substr(0, room);
}

std::string plain_progress_line(const progress_snapshot& s) {
  return "progress " + join({format_elapsed(s.elapsed_seconds), progress_field(s, true),
                             printed("%.1f fps", s.frames_per_second),
                             printed("%.0f MB/s", s.bytes_per_second / bytes_per_megabyte),
                             missing_field(s, true)});
}

} // namespace qmxcam
