// Simulator, camera model: camera state and the text command protocol.
#include "sim/camera_model.h"

#include <charconv>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace sim {

namespace {

constexpr std::string_view reply_ok = "ok";
constexpr std::string_view white_space = " \t\r\n";
constexpr std::size_t roi_argument_count = 4;

// One row per camera setting: the command word, its range, its value at power-up, whether the
// host may write it, and what it means. The parser, the range check and the replies all read
// this table.
struct setting_row {
  std::string_view name;
  std::int64_t minimum;
  std::int64_t maximum;
  std::int64_t initial;
  bool writable;
  std::string_view help;
};

constexpr std::int64_t max_exposure_ms = 3'600'000;
constexpr std::int64_t initial_exposure_ms = 10;
constexpr std::int64_t max_gain = 480;
constexpr std::int64_t max_fps = 1000;
constexpr std::size_t temperature_row = 3;

constexpr std::array<setting_row, camera_model::setting_count> setting_table{{
    {"exposure_ms", 1, max_exposure_ms, initial_exposure_ms, true, "exposure time, milliseconds"},
    {"gain", 0, max_gain, 0, true, "analog gain, tenths of a decibel"},
    {"fps", 0, max_fps, 0, true, "frame rate, frames per second; 0 runs free at the top rate"},
    {"temperature", std::numeric_limits<std::int64_t>::min(),
     std::numeric_limits<std::int64_t>::max(), 0, false, "sensor temperature, degrees Celsius"},
}};

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(white_space);
  if (first == std::string_view::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(white_space);
  return text.substr(first, last - first + 1);
}

// Splits off the first word; `rest` receives what follows it, trimmed.
std::string_view first_word(std::string_view text, std::string_view& rest) {
  const std::size_t end = text.find_first_of(white_space);
  if (end == std::string_view::npos) {
    rest = {};
    return text;
  }
  rest = trim(text.substr(end));
  return text.substr(0, end);
}

// Parses whitespace-separated decimal integers; false on anything that is not one.
bool parse_integers(std::string_view text, std::vector<std::int64_t>& values) {
  values.clear();
  std::string_view rest = trim(text);
  while (!rest.empty()) {
    std::string_view after;
    const std::string_view word = first_word(rest, after);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc{} || end != word.data() + word.size()) {
      return false;
    }
    values.push_back(value);
    rest = after;
  }
  return true;
}

std::string error_reply(std::string_view reason) {
  return "error: " + std::string(reason);
}

} // namespace

camera_model::camera_model(camera_config config)
    : config_(std::move(config)), random_(config_.random_seed) {
  if (config_.sensor_width == 0 || config_.sensor_height == 0 ||
      config_.sensor_width % pixels_per_group != 0) {
    throw std::invalid_argument("sensor size cannot be read out in RAW10 groups");
  }
  const frame_geometry full{config_.sensor_width, config_.sensor_height, config_.calibration_lines,
                            0, 0};
  if (plan_packet_split(full).size() > max_packets_per_frame) {
    throw std::invalid_argument("a full-sensor frame needs too many packets");
  }
  power_on();
}

void camera_model::power_on() {
  roi_ = {0, 0, config_.sensor_width - 1, config_.sensor_height - 1};
  armed_ = false;
  for (std::size_t i = 0; i < setting_count; ++i) {
    settings_[i] = setting_table[i].initial;
  }
  settings_[temperature_row] = config_.sensor_temperature_c;
}

frame_geometry camera_model::geometry() const {
  return {roi_.width(), roi_.height(), config_.calibration_lines, roi_.x1, roi_.y1};
}

std::uint32_t camera_model::data_packets_per_frame() const {
  return static_cast<std::uint32_t>(plan_packet_split(geometry()).size());
}

bool camera_model::setting(std::string_view name, std::int64_t& value) const {
  for (std::size_t i = 0; i < setting_count; ++i) {
    if (setting_table[i].name == name) {
      value = settings_[i];
      return true;
    }
  }
  return false;
}

void camera_model::fail_first_queries(std::string keyword, std::uint32_t count) {
  if (count == 0) {
    failing_queries_.erase(keyword);
  } else {
    failing_queries_[std::move(keyword)] = count;
  }
}

bool camera_model::injected_error(std::string_view keyword) {
  const auto found = failing_queries_.find(keyword);
  if (found == failing_queries_.end()) {
    return false;
  }
  if (--found->second == 0) {
    failing_queries_.erase(found);
  }
  return true;
}

std::string camera_model::handle_command(std::string_view command) {
  // The command endpoint always carries a full buffer; the text ends at its first zero byte.
  const std::size_t terminator = command.find('\0');
  if (terminator != std::string_view::npos) {
    command = command.substr(0, terminator);
  }
  std::string_view arguments;
  const std::string_view keyword = first_word(trim(command), arguments);
  if (injected_error(keyword)) {
    return error_reply("busy");
  }

  if (keyword == "roi") {
    return roi_command(arguments);
  }
  for (std::size_t i = 0; i < setting_count; ++i) {
    if (setting_table[i].name == keyword) {
      return setting_command(i, arguments);
    }
  }
  if (!arguments.empty()) {
    return keyword.empty() ? error_reply("unknown command") : error_reply("unexpected argument");
  }
  if (keyword == "id") {
    return config_.id;
  }
  if (keyword == "sernum") {
    return config_.serial_number;
  }
  if (keyword == "num_calibration_lines") {
    return std::to_string(config_.calibration_lines);
  }
  if (keyword == "data_packets_per_frame") {
    return std::to_string(data_packets_per_frame());
  }
  if (keyword == "arm") {
    armed_ = true;
    return std::string(reply_ok);
  }
  if (keyword == "stop") {
    armed_ = false;
    return std::string(reply_ok);
  }
  return error_reply("unknown command");
}

std::string camera_model::roi_command(std::string_view arguments) {
  if (arguments.empty()) {
    return std::to_string(roi_.x1) + ' ' + std::to_string(roi_.y1) + ' ' + std::to_string(roi_.x2) +
           ' ' + std::to_string(roi_.y2);
  }
  std::vector<std::int64_t> values;
  if (!parse_integers(arguments, values) || values.size() != roi_argument_count) {
    return error_reply("roi takes four integers x1 y1 x2 y2");
  }
  // The frame being streamed must keep the geometry the host armed with.
  if (armed_) {
    return error_reply("roi cannot change while armed");
  }
  const std::int64_t x1 = values[0];
  const std::int64_t y1 = values[1];
  const std::int64_t x2 = values[2];
  const std::int64_t y2 = values[3];
  if (x1 < 0 || y1 < 0 || x2 >= std::int64_t{config_.sensor_width} ||
      y2 >= std::int64_t{config_.sensor_height}) {
    return error_reply("roi outside the sensor");
  }
  if (x2 < x1 || y2 < y1) {
    return error_reply("roi corners out of order");
  }
  // Rows are packed in whole 4-pixel groups; the receiver skips row fill bytes only at group
  // ends, so a row must end on a group boundary.
  if ((x2 - x1 + 1) % pixels_per_group != 0) {
    return error_reply("roi width must be a multiple of 4");
  }
  const region_of_interest candidate{static_cast<std::uint32_t>(x1), static_cast<std::uint32_t>(y1),
                                     static_cast<std::uint32_t>(x2),
                                     static_cast<std::uint32_t>(y2)};
  const frame_geometry candidate_geometry{candidate.width(), candidate.height(),
                                          config_.calibration_lines, candidate.x1, candidate.y1};
  // The packet index has 15 bits.
  if (plan_packet_split(candidate_geometry).size() > max_packets_per_frame) {
    return error_reply("roi needs too many packets per frame");
  }
  roi_ = candidate;
  return std::string(reply_ok);
}

std::string camera_model::setting_command(std::size_t row, std::string_view arguments) {
  const setting_row& entry = setting_table[row];
  if (arguments.empty()) {
    return std::to_string(settings_[row]);
  }
  if (!entry.writable) {
    return error_reply(std::string(entry.name) + " is read-only");
  }
  std::vector<std::int64_t> values;
  if (!parse_integers(arguments, values) || values.size() != 1) {
    return error_reply(std::string(entry.name) + " takes one integer: " + std::string(entry.help));
  }
  if (values[0] < entry.minimum || values[0] > entry.maximum) {
    return error_reply(std::string(entry.name) + " must be " + std::to_string(entry.minimum) +
                       " to " + std::to_string(entry.maximum));
  }
  settings_[row] = values[0];
  return std::string(reply_ok);
}

frame_packets camera_model::build_frame_packets(std::uint32_t frame_number,
                                                std::uint64_t timestamp) {
  std::vector<scripted_packet_fault> no_script;
  return build_frame_packets(frame_number, timestamp, no_script);
}

frame_packets camera_model::build_frame_packets(std::uint32_t frame_number, std::uint64_t timestamp,
                                                std::vector<scripted_packet_fault>& script) {
  frame_packets frame = frame_builder_.build(geometry(), frame_number, timestamp);
  if (!script.empty()) {
    apply_scripted_faults(frame, script, fault_counters_);
  }
  if (packet_faults_.any()) {
    apply_packet_faults(frame, packet_faults_, random_, fault_counters_);
  }
  ++frames_built_;
  return frame;
}

} // namespace sim
