// qmxcam: a host program for the camera module. It loads the module at run time as a host
// imaging SDK does and lists cameras, shows and changes their parameters, passes commands
// through, watches connection events and acquires frames into image files.
#include "tools/qmxcam/host_os.h"
#include "tools/qmxcam/json_text.h"
#include "tools/qmxcam/session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <iostream>
#include <mutex>
#include <thread>

namespace qmxcam {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr const char* usage_text =
    "Usage: qmxcam COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "A host program for the camera module: it loads the module at run time, as an imaging SDK\n"
    "does. Unless --sim-cameras says otherwise, it first plugs in one simulated camera;\n"
    "--hardware takes the real cameras instead (their driver exists for Windows only).\n"
    "\n"
    "Commands:\n"
    "  list                 device IDs and serial numbers of the attached cameras\n"
    "  info                 a camera's region, binning, frame geometry, USB speed, settings\n"
    "  get KEY              one parameter (a module keyword or a camera setting)\n"
    "  set KEY [VALUE...]   change a parameter\n"
    "  cmd TEXT...          raw text to the camera; prints its reply\n"
    "  watch                connection events with time stamps, until Ctrl-C\n"
    "  acquire              take frames and write them to TIFF, FITS or raw files\n"
    "\n"
    "'qmxcam COMMAND --help' describes each command; 'qmxcam --version' names qmxcam's\n"
    "version and the module's. Exit status: 0 on success, 1 on failure, 2 for a usage error,\n"
    "3 when acquire missed frames, 130 when interrupted with Ctrl-C (143 terminated, 129 hung\n"
    "up).\n";

// Parses the words of one subcommand; prints its help or a usage error. Returns -1 to go on,
// otherwise the exit status.
int parse_or_exit(const std::string& command, const std::vector<std::string>& words,
                  const std::vector<option_row>& rows, const std::string& synopsis,
                  std::size_t least_arguments, std::size_t most_arguments, command_line& line) {
  std::string error;
  if (!parse_command_line(words, rows, line, error)) {
    report(command, error + "; see 'qmxcam " + command + " --help'");
    return exit_usage;
  }
  if (line.help) {
    std::cout << "Usage: qmxcam " << command << " " << synopsis << "\n\n" << describe_options(rows);
    return exit_ok;
  }
  if (line.arguments.size() < least_arguments || line.arguments.size() > most_arguments) {
    // The synopsis's first line only; --help gives the rest.
    report(command, (line.arguments.size() < least_arguments
                         ? "missing argument"
                         : "unexpected argument '" + line.arguments.back() + "'") +
                        "; usage: qmxcam " + command + " " +
                        synopsis.substr(0, synopsis.find('\n')) + "; see 'qmxcam " + command +
                        " --help'");
    return exit_usage;
  }
  if (least_arguments > 0 && line.arguments.front().empty()) {
    report(command, "the first argument is empty; see 'qmxcam " + command + " --help'");
    return exit_usage;
  }
  return check_common_options(command, line);
}

std::string join(const std::vector<std::string>& words, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < words.size(); ++i) {
    text += (i > from ? " " : "") + words[i];
  }
  return text;
}

std::vector<option_row> with_json(std::vector<option_row> rows) {
  rows.push_back({"json", nullptr, "answer in JSON"});
  return rows;
}

int run_list(const std::vector<std::string>& words) {
  command_line line;
  const std::string synopsis =
      "[OPTIONS]\n\nPrints one line per attached camera: its device ID and its serial number.";
  if (const int status =
          parse_or_exit("list", words, with_json(common_options()), synopsis, 0, 0, line);
      status >= 0) {
    return status;
  }
  session s("list");
  if (!s.start(line)) {
    return exit_failure;
  }
  std::string ids;
  std::string serials;
  s.module().list(ids, serials);
  const std::vector<std::string> id_list = split_list(ids);
  const std::vector<std::string> serial_list = split_list(serials);
  std::string cameras;
  for (std::size_t i = 0; i < id_list.size(); ++i) {
    const std::string serial = i < serial_list.size() ? serial_list[i] : "";
    if (line.has("json")) {
      json_object camera;
      camera.add("device_id", id_list[i]);
      camera.add("serial_number", serial);
      cameras += (cameras.empty() ? "" : ",") + camera.text();
    } else {
      std::cout << id_list[i] << '\t' << serial << '\n';
    }
  }
  if (line.has("json")) {
    std::cout << "[" << cameras << "]" << std::endl;
  }
  if (id_list.empty()) {
    std::cerr << "qmxcam list: no camera is attached\n";
  }
  return exit_ok;
}

// An "info" value in JSON: the region as four numbers, numbers as numbers, texts as texts.
std::string info_json_value(const std::string& key, const std::string& text) {
  unsigned x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  char rest = 0;
  if (key == "roi" && std::sscanf(text.c_str(), "%u %u %u %u%c", &x1, &y1, &x2, &y2, &rest) == 4) {
    return "[" + std::to_string(x1) + "," + std::to_string(y1) + "," + std::to_string(x2) + "," +
           std::to_string(y2) + "]";
  }
  return json_number_or_string(text);
}

int run_info(const std::vector<std::string>& words) {
  command_line line;
  const std::string synopsis = "[OPTIONS]\n\nPrints the camera's parameters, one per line.";
  if (const int status =
          parse_or_exit("info", words, with_json(camera_options()), synopsis, 0, 0, line);
      status >= 0) {
    return status;
  }
  session s("info");
  if (!s.start(line) || !s.open_camera(line)) {
    return exit_failure;
  }
  static constexpr const char* keys[] = {
      "image_width", "image_height", "hbin", "vbin",        "acquisition_bytes_per_frame",
      "usb_speed",   "roi",          "gain", "exposure_ms", "fps"};
  int status = exit_ok;
  json_object answer;
  answer.add("camera", s.camera_id());
  if (!line.has("json")) {
    std::cout << "camera: " << s.camera_id() << '\n';
  }
  for (const char* key : keys) {
    const reply r = s.module().get(s.handle(), key);
    std::string value;
    if (!r.ok()) {
      s.report_result(std::string("get \"") + key + "\"", r.code);
      status = exit_failure;
    } else if (session::camera_refused(r)) {
      report("info", std::string("the camera refused \"") + key + "\": " + r.text);
      status = exit_failure;
    } else {
      value = r.text;
      if (!line.has("json")) {
        std::cout << key << ": " << r.text << '\n';
      }
    }
    answer.add_raw(key, info_json_value(key, value));
  }
  if (line.has("json")) {
    std::cout << answer.text() << std::endl;
  }
  return s.close_camera() ? status : exit_failure;
}

int run_get(const std::vector<std::string>& words) {
  command_line line;
  const std::string synopsis =
      "KEY [OPTIONS]\n\nPrints one parameter: a module keyword (image_width, image_height, hbin,\n"
      "vbin, acquisition_bytes_per_frame, usb_speed, image_metadata,\n"
      "qmx_module.acquisition_statistics, ...) or a camera setting (roi, gain, exposure_ms, fps,\n"
      "temperature, sernum, id), which goes to the camera.";
  if (const int status = parse_or_exit("get", words, camera_options(), synopsis, 1, 1, line);
      status >= 0) {
    return status;
  }
  const std::string key = line.arguments[0];
  if (key.rfind("image_wait", 0) == 0 || key == "image_poll") {
    report("get", "'" + key + "' hands out frames; use 'qmxcam acquire'");
    return exit_usage;
  }
  session s("get");
  if (!s.start(line) || !s.open_camera(line)) {
    return exit_failure;
  }
  const reply r = s.module().get(s.handle(), key);
  if (!r.ok()) {
    s.report_result("get \"" + key + "\"", r.code);
    s.close_camera();
    return exit_failure;
  }
  if (session::camera_refused(r)) {
    report("get", "the camera refused \"" + key + "\": " + r.text);
    s.close_camera();
    return exit_failure;
  }
  std::cout << r.text << '\n';
  return s.close_camera() ? exit_ok : exit_failure;
}

// The module takes its own set keywords without checking their values (a binning factor out of
// range or "maybe" for image_metadata still answer 0), so qmxcam checks them; a camera setting
// is checked by the camera, which refuses with its reason. Every keyword but "stop" needs a
// value: without one the camera would answer the setting's value instead. "" when `arguments`
// (the key first) are acceptable, else the problem.
std::string check_set_value(const std::string& key, const std::vector<std::string>& arguments) {
  const std::size_t values = arguments.size() - 1;
  if (key == "stop") {
    return values == 0 ? "" : "'stop' takes no value";
  }
  if (values == 0) {
    return "'" + key + "' needs a value";
  }
  const std::string& value = arguments[1];
  unsigned long long number = 0;
  if (key == "hbin" || key == "vbin") {
    if (values != 1 || !read_unsigned(value, number) || number < 1 || number > 16) {
      return "'" + key + "' takes one binning factor from 1 to 16";
    }
  } else if (key == "image_metadata") {
    if (values != 1 || (value != "on" && value != "off")) {
      return "'image_metadata' takes on or off";
    }
  } else if (key == "image_poll_timeout_ms") {
    if (values != 1 || (value != "-1" && (!read_unsigned(value, number) || number > 0x7FFFFFFF))) {
      return "'image_poll_timeout_ms' takes milliseconds from 0 to 2147483647, or -1 for no limit";
    }
  }
  return "";
}

int run_set(const std::vector<std::string>& words) {
  command_line line;
  const std::string synopsis =
      "KEY [VALUE...] [OPTIONS]\n\nChanges one parameter: module keywords (hbin N, vbin N,\n"
      "image_metadata on|off, image_poll_timeout_ms MS, stop) or camera settings (roi X1 Y1 X2 "
      "Y2,\ngain N, exposure_ms N, fps N). Each run of qmxcam starts from the camera's current\n"
      "state; simulated cameras start from their power-on state.";
  if (const int status = parse_or_exit("set", words, camera_options(), synopsis, 1, 64, line);
      status >= 0) {
    return status;
  }
  const std::string key = line.arguments[0];
  const std::string value = join(line.arguments, 1);
  if (key == "arm") {
    report("set", "'arm' needs a frame buffer; use 'qmxcam acquire'");
    return exit_usage;
  }
  if (const std::string problem = check_set_value(key, line.arguments); !problem.empty()) {
    report("set", problem + "; see 'qmxcam set --help'");
    return exit_usage;
  }
  session s("set");
  if (!s.start(line) || !s.open_camera(line)) {
    return exit_failure;
  }
  // These two take their value as data; every other keyword carries it in the command text.
  const bool value_as_data = key == "image_metadata" || key == "image_poll_timeout_ms";
  std::string data = value;
  const reply r = value_as_data
                      ? s.module().set(s.handle(), key, data.data(), data.size() + 1)
                      : s.module().set(s.handle(), value.empty() ? key : key + " " + value);
  if (!r.ok()) {
    s.report_result("set \"" + key + "\"", r.code);
    s.close_camera();
    return exit_failure;
  }
  if (session::camera_refused(r)) {
    report("set", "the camera refused \"" + key + "\": " + r.text);
    s.close_camera();
    return exit_failure;
  }
  // Module keywords answer nothing on success; say so as the camera does.
  std::cout << (r.text.empty() ? "ok" : r.text) << '\n';
  return s.close_camera() ? exit_ok : exit_failure;
}

int run_cmd(const std::vector<std::string>& words) {
  command_line line;
  const std::string synopsis = "TEXT... [OPTIONS]\n\nSends TEXT to the camera as it is (through "
                               "\"pqmx\") and prints the camera's reply.";
  if (const int status = parse_or_exit("cmd", words, camera_options(), synopsis, 1, 64, line);
      status >= 0) {
    return status;
  }
  session s("cmd");
  if (!s.start(line) || !s.open_camera(line)) {
    return exit_failure;
  }
  const std::string text = join(line.arguments, 0);
  const reply r = s.module().get(s.handle(), "pqmx " + text);
  if (!r.ok()) {
    s.report_result("passing \"" + text + "\" to the camera", r.code);
    s.close_camera();
    return exit_failure;
  }
  std::cout << r.text << '\n';
  if (session::camera_refused(r)) {
    report("cmd", "the camera refused \"" + text + "\"");
    s.close_camera();
    return exit_failure;
  }
  return s.close_camera() ? exit_ok : exit_failure;
}

std::string wall_clock_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));
  char with_ms[80];
  std::snprintf(with_ms, sizeof with_ms, "%s.%03d", text, static_cast<int>(milliseconds));
  return with_ms;
}

int run_watch(const std::vector<std::string>& words) {
  std::vector<option_row> rows = common_options();
  rows.push_back(
      {"sim-plug", "N", "plug in and unplug N simulated demo cameras, one after another"});
  rows.push_back({"seconds", "S", "stop after S seconds (default: run until Ctrl-C)"});
  command_line line;
  const std::string synopsis =
      "[OPTIONS]\n\nPrints camera arrivals and removals with time stamps until Ctrl-C. A camera\n"
      "arrives about one second after it is plugged in, once the module has identified it.";
  if (const int status = parse_or_exit("watch", words, rows, synopsis, 0, 0, line); status >= 0) {
    return status;
  }
  unsigned long long demo_cameras = 0;
  if (line.has("sim-plug") && !read_unsigned(line.value("sim-plug"), demo_cameras)) {
    report("watch", "--sim-plug takes a number, not '" + line.value("sim-plug") + "'");
    return exit_usage;
  }
  double seconds = 0;
  if (line.has("seconds") && (!read_double(line.value("seconds"), seconds) || seconds <= 0)) {
    report("watch", "--seconds takes a positive number, not '" + line.value("seconds") + "'");
    return exit_usage;
  }
  install_stop_handlers();
  session s("watch");
  if (!s.start(line)) {
    return exit_failure;
  }
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false; // guarded by mutex
  // Plugs and unplugs demo cameras; ends early when the watch ends.
  std::thread demo([&] {
    for (unsigned long long i = 0; i < demo_cameras; ++i) {
      char serial[32];
      std::snprintf(serial, sizeof serial, "DEMO%04llu", i + 1);
      const int camera = s.simulator()->camera_add(serial, 0x0300);
      std::unique_lock lock(mutex);
      wake.wait_for(lock, std::chrono::seconds(3), [&] { return done; });
      lock.unlock();
      s.simulator()->camera_unplug(camera);
      lock.lock();
      if (wake.wait_for(lock, std::chrono::milliseconds(500), [&] { return done; })) {
        return;
      }
    }
  });
  // Releases the blocking event read when Ctrl-C comes or the time is up.
  const auto deadline = clock_type::now() + std::chrono::duration<double>(seconds);
  std::atomic<bool> stopping{false};
  std::thread releaser([&] {
    std::unique_lock lock(mutex);
    while (!done) {
      if (interrupted() || (seconds > 0 && clock_type::now() >= deadline)) {
        stopping.store(true);
        lock.unlock();
        s.module().set_module_data("connect_disconnect_release");
        lock.lock();
      }
      wake.wait_for(lock, std::chrono::milliseconds(50));
    }
  });
  int status = exit_ok;
  while (!stopping.load()) {
    const reply event = s.module().get_module_data("connect_disconnect");
    if (stopping.load()) {
      break; // released: the text is not a new event
    }
    if (!event.ok()) {
      s.report_result("reading \"connect_disconnect\"", event.code);
      status = exit_failure;
      break;
    }
    if (event.text.size() > 2 && event.text[1] == ',') {
      std::cout << wall_clock_now() << (event.text[0] == '1' ? "  arrived  " : "  left     ")
                << event.text.substr(2) << std::endl;
    }
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  wake.notify_all();
  releaser.join();
  demo.join();
  if (status == exit_ok && interrupted()) {
    status = exit_interrupted;
  }
  return status;
}

// qmxcam's version, and the name and version of the module it would load.
int print_version() {
  std::cout << "qmxcam " << QMXCAM_VERSION << '\n';
  const std::string file = module_folder() + module_file_name();
  std::string name;
  std::string version;
  std::string error;
  if (!module_host::read_identity(file, name, version, error)) {
    std::cout << "module: not found (" << error << ")" << std::endl;
    return exit_failure;
  }
  std::cout << "module " << name << " version " << version << " (" << file << ")" << std::endl;
  return exit_ok;
}

// Runs subcommand `command` with the words after it.
int run_command(const std::string& command, const std::vector<std::string>& words) {
  try {
    if (command == "list") {
      return run_list(words);
    }
    if (command == "info") {
      return run_info(words);
    }
    if (command == "get") {
      return run_get(words);
    }
    if (command == "set") {
      return run_set(words);
    }
    if (command == "cmd") {
      return run_cmd(words);
    }
    if (command == "watch") {
      return run_watch(words);
    }
    if (command == "acquire") {
      return run_acquire(words);
    }
  } catch (const std::exception& failure) {
    std::cerr << "qmxcam " << command << ": " << failure.what() << std::endl;
    return exit_failure;
  }
  std::cerr << "qmxcam: unknown command '" << command << "'; see 'qmxcam --help'\n";
  return exit_usage;
}

} // namespace
} // namespace qmxcam

int main(int argc, char** argv) {
  using namespace qmxcam;
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    std::cerr << usage_text;
    return exit_usage;
  }
  const std::string command = words.front();
  words.erase(words.begin());
  if (command == "help" && words.size() == 1) {
    // "qmxcam help acquire" is "qmxcam acquire --help".
    return run_command(words.front(), {"--help"});
  }
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << usage_text;
    return exit_ok;
  }
  if (command == "--version" || command == "version") {
    return print_version();
  }
  return run_command(command, words);
}
