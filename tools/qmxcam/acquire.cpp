// qmxcam acquire: sets up the camera, arms a buffer of whole slots, takes frames with
// "image_wait_per_frame", copies each out of its slot before the next wait gives the slot back,
// and hands it to the writing thread; a control thread stops the acquisition on Ctrl-C, at the
// end of the duration or when no frame comes for too long.
#include "include/qmx_module.h"
#include "sim/qmx_sim.h"
#include "tools/qmxcam/frame_files.h"
#include "tools/qmxcam/host_os.h"
#include "tools/qmxcam/session.h"
#include "tools/qmxcam/write_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace qmxcam {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::size_t tag_block_bytes = 48;
constexpr std::size_t tag_frame_counter = 12;
constexpr std::size_t tag_timestamp_low = 20;
constexpr std::size_t tag_timestamp_high = 28;
constexpr unsigned long long default_frames = 10;
constexpr unsigned long long default_slots = 16;
constexpr unsigned long long default_queue_frames = 64;
constexpr double default_no_frame_seconds = 10;
constexpr auto progress_interval = std::chrono::milliseconds(250);
constexpr auto control_poll = std::chrono::milliseconds(20);
constexpr auto presence_poll = std::chrono::milliseconds(250);

std::vector<option_row> acquire_options() {
  std::vector<option_row> rows = camera_options();
  const std::vector<option_row> own = {
      {"frames", "N", "take N frames (default 10 when --seconds is not given)"},
      {"seconds", "S", "take frames for S seconds"},
      {"roi", "X1,Y1,X2,Y2", "region of interest in sensor pixels, corners included"},
      {"bin", "HxV", "binning, horizontal x vertical (1 to 16 each)"},
      {"exposure", "MS", "exposure time in milliseconds"},
      {"format", "FORMAT", "tiff (default; 16-bit, multi-page), fits or raw (slots as they are)"},
      {"per-frame", nullptr, "one file per frame (FILE_000000.tif, ...)"},
      {"output", "FILE", "output file (default qmxcam_frames.tif, .fits or .raw)"},
      {"preview", "FILE.png", "also write the last frame as a PNG with automatic contrast"},
      {"slots", "N", "frame slots in the armed buffer (default 16)"},
      {"queue", "N", "frames the writing thread may hold before frames go unwritten (default 64)"},
      {"no-frame-timeout", "S", "give up when no frame comes for S seconds (default 10)"},
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

const char* synopsis =
    "[OPTIONS]\n\n"
    "Takes frames from a camera and writes them out. Frames are copied out of the module's\n"
    "buffer at once and written on a thread of their own; frames the disk cannot keep up with\n"
    "are counted as not written. Ctrl-C stops the acquisition and leaves complete files.\n"
    "A progress line is drawn on stderr when it is a terminal.";

struct acquire_settings {
  unsigned long long frames = 0; // 0: until the duration ends
  double seconds = 0;            // 0: no duration
  bool roi = false;
  unsigned long long roi_values[4] = {};
  unsigned long long hbin = 0, vbin = 0; // 0: unchanged
  std::string exposure;
  file_format format = file_format::tiff;
  bool per_frame = false;
  std::string output;
  std::string preview;
  unsigned long long slots = default_slots;
  unsigned long long queue = default_queue_frames;
  double no_frame_seconds = default_no_frame_seconds;
  std::string sim_fps;
  bool sim_max_rate = false;
  bool sim_faults = false;
  qmx_sim_packet_faults faults{};
  bool sim_seed = false;
  unsigned long long seed = 0;
  double unplug_after = 0; // 0: never
};

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

// Checks the option values before anything is loaded; false with a message.
bool read_settings(const command_line& line, acquire_settings& s, std::string& error) {
  auto positive = [&](const char* name, unsigned long long& to) {
    if (line.has(name) && (!read_unsigned(line.value(name), to) || to == 0)) {
      error = std::string("--") + name + " takes a positive whole number, not '" +
              line.value(name) + "'";
      return false;
    }
    return true;
  };
  if (!positive("frames", s.frames) || !positive("slots", s.slots) || !positive("queue", s.queue)) {
    return false;
  }
  if (line.has("seconds") && (!read_double(line.value("seconds"), s.seconds) || s.seconds <= 0)) {
    error = "--seconds takes a positive number, not '" + line.value("seconds") + "'";
    return false;
  }
  if (!line.has("frames") && !line.has("seconds")) {
    s.frames = default_frames;
  }
  if (line.has("no-frame-timeout") &&
      (!read_double(line.value("no-frame-timeout"), s.no_frame_seconds) ||
       s.no_frame_seconds <= 0)) {
    error = "--no-frame-timeout takes a positive number of seconds";
    return false;
  }
  if (line.has("roi")) {
    s.roi = true;
    std::stringstream list(line.value("roi"));
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
      error = "--roi takes X1,Y1,X2,Y2 with X1 <= X2 and Y1 <= Y2, not '" + line.value("roi") + "'";
      return false;
    }
  }
  if (line.has("bin")) {
    const std::string text = line.value("bin");
    const std::size_t x = text.find_first_of("xX");
    if (x == std::string::npos || !read_unsigned(text.substr(0, x), s.hbin) ||
        !read_unsigned(text.substr(x + 1), s.vbin) || s.hbin < 1 || s.hbin > 16 || s.vbin < 1 ||
        s.vbin > 16) {
      error = "--bin takes HxV with factors from 1 to 16, not '" + text + "'";
      return false;
    }
  }
  if (line.has("exposure")) {
    unsigned long long ms = 0;
    if (!read_unsigned(line.value("exposure"), ms) || ms == 0) {
      error = "--exposure takes a positive whole number of milliseconds";
      return false;
    }
    s.exposure = std::to_string(ms);
  }
  const std::string format = line.value("format", "tiff");
  if (format == "tiff" || format == "tif") {
    s.format = file_format::tiff;
  } else if (format == "fits") {
    s.format = file_format::fits;
  } else if (format == "raw") {
    s.format = file_format::raw;
  } else {
    error = "--format takes tiff, fits or raw, not '" + format + "'";
    return false;
  }
  if (!format_available(s.format)) {
    error = "this build of qmxcam writes --format raw only (built without the image libraries)";
    return false;
  }
  if (line.has("preview") && !format_available(file_format::tiff)) {
    error = "this build of qmxcam cannot write a PNG preview (built without the image libraries)";
    return false;
  }
  static constexpr const char* extensions[] = {".tif", ".fits", ".raw"};
  s.output =
      line.value("output", std::string("qmxcam_frames") + extensions[static_cast<int>(s.format)]);
  s.per_frame = line.has("per-frame");
  s.preview = line.value("preview");
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

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// "frames_delivered=3 packets_seen=9 dropped_x=0 ..." as the sum of the drops and the causes
// that are not zero.
std::string describe_drops(const std::string& statistics, unsigned long long& total) {
  std::stringstream fields(statistics);
  std::string field;
  std::string causes;
  total = 0;
  while (fields >> field) {
    const std::size_t equals = field.find('=');
    if (field.rfind("dropped_", 0) != 0 || equals == std::string::npos) {
      continue;
    }
    unsigned long long value = 0;
    read_unsigned(field.substr(equals + 1), value);
    total += value;
    if (value != 0) {
      causes +=
          (causes.empty() ? "" : ", ") + field.substr(8, equals - 8) + " " + std::to_string(value);
    }
  }
  return causes.empty() ? std::to_string(total) : std::to_string(total) + " (" + causes + ")";
}

// Why the acquisition ended.
enum class ending { count_reached, duration, interrupt, no_frames, unplugged, failure };

} // namespace

int run_acquire(const std::vector<std::string>& words) {
  command_line line;
  const std::vector<option_row> rows = acquire_options();
  std::string error;
  if (!parse_command_line(words, rows, line, error)) {
    report("acquire", error + "; see 'qmxcam acquire --help'");
    return exit_usage;
  }
  if (line.help) {
    std::cout << "Usage: qmxcam acquire " << synopsis << "\n\n" << describe_options(rows);
    return exit_ok;
  }
  if (!line.arguments.empty()) {
    report("acquire",
           "unexpected argument '" + line.arguments.front() + "'; see 'qmxcam acquire --help'");
    return exit_usage;
  }
  if (const int status = check_common_options("acquire", line); status >= 0) {
    return status;
  }
  acquire_settings settings;
  if (!read_settings(line, settings, error)) {
    report("acquire", error);
    return exit_usage;
  }
  // A file that cannot be written is found now, not after the frames are taken.
  for (const std::string& file :
       {first_file(settings.output, settings.per_frame), settings.preview}) {
    if (!file.empty() && !can_write_file(file, error)) {
      report("acquire", error);
      return exit_failure;
    }
  }
  install_interrupt_handler();
  session s("acquire");
  if (!s.start(line) || !s.open_camera(line)) {
    return exit_failure;
  }
  const module_host& m = s.module();
  void* const handle = s.handle();
  auto fail = [&](const std::string& what, int code) {
    s.report_result(what, code);
    return exit_failure;
  };
  auto camera_setting = [&](const std::string& command) {
    const reply r = m.get(handle, command);
    if (!r.ok()) {
      s.report_result("\"" + command + "\"", r.code);
      return false;
    }
    if (session::camera_refused(r)) {
      report("acquire", "the camera refused \"" + command + "\": " + r.text);
      return false;
    }
    return true;
  };

  // Simulated-camera options act on the simulator directly.
  const bool wants_simulator = !settings.sim_fps.empty() || settings.sim_max_rate ||
                               settings.sim_faults || settings.sim_seed ||
                               settings.unplug_after > 0;
  const int simulated = s.simulated_camera();
  if (wants_simulator && simulated == 0) {
    report("acquire", "the --sim-* options need a camera that qmxcam plugged in itself");
    return exit_usage;
  }
  if (settings.sim_seed) {
    s.simulator()->set_random_seed(simulated, static_cast<std::uint32_t>(settings.seed));
  }
  if (settings.sim_faults) {
    s.simulator()->set_packet_faults(simulated, settings.faults);
  }
  if (settings.sim_max_rate) {
    s.simulator()->set_max_rate(simulated, true);
  }
  if (!settings.sim_fps.empty() && !camera_setting("fps " + settings.sim_fps)) {
    return exit_failure;
  }
  if (!settings.exposure.empty() && !camera_setting("exposure_ms " + settings.exposure)) {
    return exit_failure;
  }
  if (settings.roi) {
    std::ostringstream command;
    command << "roi " << settings.roi_values[0] << ' ' << settings.roi_values[1] << ' '
            << settings.roi_values[2] << ' ' << settings.roi_values[3];
    const reply r = m.set(handle, command.str());
    if (!r.ok()) {
      return fail("setting the region", r.code);
    }
    if (session::camera_refused(r)) {
      report("acquire", "the camera refused the region: " + r.text);
      return exit_failure;
    }
  }
  if (settings.hbin != 0) {
    if (const reply r = m.set(handle, "hbin " + std::to_string(settings.hbin)); !r.ok()) {
      return fail("setting hbin", r.code);
    }
    if (const reply r = m.set(handle, "vbin " + std::to_string(settings.vbin)); !r.ok()) {
      return fail("setting vbin", r.code);
    }
  }
  char on[] = "on";
  if (const reply r = m.set(handle, "image_metadata", on, sizeof on); !r.ok()) {
    return fail("switching the tag block on", r.code);
  }

  // What the frames will be.
  frame_info info;
  info.camera_id = s.camera_id();
  auto number = [&](const char* key, unsigned long long& value) {
    const reply r = m.get(handle, key);
    if (!r.ok()) {
      s.report_result(std::string("get \"") + key + "\"", r.code);
      return false;
    }
    if (!read_unsigned(r.text, value)) {
      report("acquire", std::string("\"") + key + "\" answered '" + r.text + "'");
      return false;
    }
    return true;
  };
  unsigned long long width = 0, height = 0, hbin = 0, vbin = 0, slot_bytes = 0;
  if (!number("image_width", width) || !number("image_height", height) || !number("hbin", hbin) ||
      !number("vbin", vbin) || !number("acquisition_bytes_per_frame", slot_bytes)) {
    return exit_failure;
  }
  const reply roi = m.get(handle, "roi");
  if (!roi.ok() || std::sscanf(roi.text.c_str(), "%u %u %u %u", &info.roi_x1, &info.roi_y1,
                               &info.roi_x2, &info.roi_y2) != 4) {
    report("acquire", "cannot read the camera's region (" +
                          (roi.ok() ? "'" + roi.text + "'" : describe_result(roi.code)) + ")");
    return exit_failure;
  }
  const reply exposure = m.get(handle, "exposure_ms");
  info.exposure_ms = exposure.ok() && !session::camera_refused(exposure) ? exposure.text : "";
  info.width = static_cast<std::uint32_t>(width);
  info.height = static_cast<std::uint32_t>(height);
  info.hbin = static_cast<std::uint32_t>(hbin);
  info.vbin = static_cast<std::uint32_t>(vbin);
  const std::size_t image_bytes = std::size_t{info.width} * info.height * 2;
  if (width == 0 || height == 0) {
    report("acquire", "binning " + std::to_string(hbin) + "x" + std::to_string(vbin) +
                          " leaves no whole pixel of the region " + roi.text +
                          "; take a larger region or a smaller binning");
    return exit_failure;
  }
  if (slot_bytes < tag_block_bytes + image_bytes) {
    report("acquire", "the frame geometry does not fit: " + std::to_string(width) + " x " +
                          std::to_string(height) + " pixels in slots of " +
                          std::to_string(slot_bytes) + " bytes");
    return exit_failure;
  }

  std::vector<unsigned char> buffer;
  try {
    if (settings.slots > buffer.max_size() / slot_bytes) {
      throw std::bad_alloc();
    }
    buffer.resize(slot_bytes * settings.slots);
  } catch (const std::exception&) { // bad_alloc, or length_error beyond max_size
    report("acquire", "cannot allocate " + std::to_string(settings.slots) + " slots of " +
                          std::to_string(slot_bytes) + " bytes; ask for fewer with --slots");
    return exit_failure;
  }
  std::unique_ptr<frame_sink> sink =
      make_frame_sink(settings.format, settings.output, settings.per_frame);
  write_queue writer(*sink, settings.queue);
  if (const reply r = m.set(handle, "arm", buffer.data(), buffer.size()); !r.ok()) {
    writer.finish();
    return fail("arming a buffer of " + std::to_string(settings.slots) + " slots", r.code);
  }

  // The control thread: stops the acquisition from outside the waiting thread.
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false; // guarded by mutex
  std::atomic<int> stop_reason{-1};
  std::atomic<std::int64_t> last_frame_ticks{clock_type::now().time_since_epoch().count()};
  const auto start = clock_type::now();
  std::thread control([&] {
    std::unique_lock lock(mutex);
    bool unplugged = false;
    auto next_presence_check = start + presence_poll;
    while (!done) {
      const auto now = clock_type::now();
      if (settings.unplug_after > 0 && !unplugged &&
          now - start >= std::chrono::duration<double>(settings.unplug_after)) {
        unplugged = true;
        s.simulator()->camera_unplug(simulated);
      }
      const auto silent =
          now - clock_type::time_point(clock_type::duration(last_frame_ticks.load()));
      ending reason = ending::failure;
      bool stop = true;
      if (interrupted()) {
        reason = ending::interrupt;
      } else if (settings.seconds > 0 &&
                 now - start >= std::chrono::duration<double>(settings.seconds)) {
        reason = ending::duration;
      } else if (silent >= std::chrono::duration<double>(settings.no_frame_seconds)) {
        reason = ending::no_frames;
      } else if (now >= next_presence_check &&
                 m.get(handle, "image_width").code == QMX_DISCONNECTED) {
        // A wait for a frame does not end when the camera leaves; the get side tells.
        reason = ending::unplugged;
      } else {
        if (now >= next_presence_check) {
          next_presence_check = now + presence_poll;
        }
        stop = false;
      }
      if (stop) {
        stop_reason.store(static_cast<int>(reason));
        lock.unlock();
        m.set(handle, "stop");
        return;
      }
      wake.wait_for(lock, control_poll);
    }
  });

  const bool progress = stderr_is_terminal();
  auto next_progress = clock_type::now() + progress_interval;
  unsigned long long taken = 0;
  frame last;
  ending result = ending::count_reached;
  int failure_code = 0;
  std::string statistics;
  while (settings.frames == 0 || taken < settings.frames) {
    std::uint64_t address = 0;
    const int code = m.wait_frame(handle, address);
    if (code != 0) {
      failure_code = code;
      result = ending::failure;
      break;
    }
    if (address == 0) {
      result = stop_reason.load() >= 0 ? static_cast<ending>(stop_reason.load()) : ending::failure;
      break;
    }
    last_frame_ticks.store(clock_type::now().time_since_epoch().count());
    const auto* slot = reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(address));
    // Copied now: the next wait gives this slot back to the module.
    frame f;
    f.info = info;
    f.info.frame_counter = u32_at(slot + tag_frame_counter);
    f.info.timestamp =
        (std::uint64_t{u32_at(slot + tag_timestamp_high)} << 32) | u32_at(slot + tag_timestamp_low);
    f.pixels.resize(std::size_t{info.width} * info.height);
    std::memcpy(f.pixels.data(), slot + tag_block_bytes, image_bytes);
    if (settings.format == file_format::raw) {
      f.slot.assign(slot, slot + slot_bytes);
    }
    if (!settings.preview.empty()) {
      last.info = f.info;
      last.pixels = f.pixels;
    }
    writer.push(std::move(f));
    ++taken;
    if (progress && clock_type::now() >= next_progress) {
      next_progress += progress_interval;
      const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
      const reply stats = m.get(handle, "qmx_module.acquisition_statistics");
      unsigned long long drops = 0;
      const std::string dropped = describe_drops(stats.text, drops);
      std::fprintf(stderr, "\r%llu frames  %.1f fps  %.1f MB/s  drops %s  not written %llu   ",
                   taken, taken / elapsed, taken * image_bytes / elapsed / 1e6, dropped.c_str(),
                   static_cast<unsigned long long>(writer.not_written()));
      std::fflush(stderr);
    }
  }
  const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  wake.notify_all();
  control.join();
  if (const reply stats = m.get(handle, "qmx_module.acquisition_statistics"); stats.ok()) {
    statistics = stats.text;
  }
  // A camera that left while frames were awaited answers 14 to every get.
  const bool camera_gone = m.get(handle, "image_width").code == QMX_DISCONNECTED;
  const reply stopped = m.set(handle, "stop");
  if (progress) {
    std::fputc('\n', stderr);
  }
  const bool closed = s.close_camera();
  writer.finish();

  int status = exit_ok;
  if (result == ending::unplugged ||
      (camera_gone && result != ending::count_reached && result != ending::duration)) {
    // This says more than the wait's result code or the silence that followed the unplug.
    report("acquire", "the camera " + s.camera_id() +
                          " was unplugged during the acquisition; the files hold every frame "
                          "taken before");
    status = exit_failure;
    result = ending::count_reached;
  }
  switch (result) {
  case ending::count_reached:
  case ending::duration:
  case ending::unplugged:
    break;
  case ending::interrupt:
    report("acquire", "interrupted; the files hold every frame taken so far");
    status = exit_interrupted;
    break;
  case ending::no_frames:
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", settings.no_frame_seconds);
    report("acquire", std::string("no frame came for ") + seconds + " s; acquisition stopped");
    status = exit_failure;
    break;
  case ending::failure:
    if (failure_code != 0) {
      s.report_result("waiting for a frame (\"image_wait_per_frame\")", failure_code);
    } else {
      report("acquire", "the module stopped handing out frames");
    }
    status = exit_failure;
    break;
  }
  if (!stopped.ok() && stopped.code != QMX_DISCONNECTED) {
    s.report_result("\"stop\"", stopped.code);
    status = exit_failure;
  }
  if (!sink->error().empty()) {
    report("acquire", sink->error());
    status = exit_failure;
  }
  if (writer.not_written() != 0) {
    report("acquire", std::to_string(writer.not_written()) +
                          " frames were not written: the disk fell behind or writing failed");
    status = exit_failure;
  }
  bool preview_written = false;
  if (!settings.preview.empty()) {
    if (taken == 0) {
      report("acquire", "no frame for the preview; " + settings.preview + " not written");
      status = exit_failure;
    } else if (!write_preview_png(settings.preview, last, error)) {
      report("acquire", error);
      status = exit_failure;
    } else {
      preview_written = true;
    }
  }
  if (!closed) {
    status = exit_failure;
  }

  unsigned long long drops = 0;
  const std::string dropped = describe_drops(statistics, drops);
  std::fprintf(stderr,
               "qmxcam acquire: %llu frames of %u x %u (binning %ux%u) from %s in %.2f s: %.1f "
               "fps, %.1f MB/s; dropped by the module: %s; written: %llu\n",
               taken, info.width, info.height, info.hbin, info.vbin, s.camera_id().c_str(), elapsed,
               elapsed > 0 ? taken / elapsed : 0.0,
               elapsed > 0 ? taken * image_bytes / elapsed / 1e6 : 0.0, dropped.c_str(),
               static_cast<unsigned long long>(writer.written()));
  if (settings.sim_faults) {
    std::fprintf(stderr, "qmxcam acquire: simulated faults drawn with seed %u\n",
                 s.simulator()->random_seed(simulated));
  }
  for (const std::string& file : sink->files()) {
    std::cout << file << '\n';
  }
  if (preview_written) {
    std::cout << settings.preview << '\n';
  }
  return status;
}

} // namespace qmxcam
