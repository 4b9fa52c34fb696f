// qmxcam acquire, in the order an acquisition goes: the files are opened, the camera is set up
// and its frame geometry read, a buffer of whole slots is armed, frames are taken with
// "image_wait_per_frame" and written straight from their slots (the module holds each slot for
// the host until the next wait), and at the end the camera is stopped and closed, the files
// completed and the outcome reported. A control thread stops the acquisition from outside the
// waiting thread (a stop request, the end of the duration, no frame for too long, an unplugged
// camera) and draws the progress line.
#include "include/qmx_module.h"
#include "tools/qmxcam/acquire_options.h"
#include "tools/qmxcam/frame_files.h"
#include "tools/qmxcam/host_os.h"
#include "tools/qmxcam/json_text.h"
#include "tools/qmxcam/output_paths.h"
#include "tools/qmxcam/progress.h"
#include "tools/qmxcam/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace qmxcam {
namespace {

using clock_type = std::chrono::steady_clock;

// Where the tag block (in front of every frame with the metadata switched on) keeps its values.
constexpr std::size_t tag_block_bytes = 48;
constexpr std::size_t tag_frame_counter = 12;
constexpr std::size_t tag_timestamp_low = 20;
constexpr std::size_t tag_timestamp_high = 28;

constexpr auto control_poll = std::chrono::milliseconds(20);
constexpr auto presence_poll = std::chrono::milliseconds(250);
constexpr auto terminal_redraw = std::chrono::milliseconds(250);
constexpr auto plain_line_interval = std::chrono::seconds(5);
constexpr auto rate_window_length = std::chrono::seconds(1);
constexpr int signal_exit_base = 128;
constexpr double milliseconds_per_second = 1000;
// The default buffer: the slots that fit in 256 MiB (a second of full frames at 100 frames per
// second, so that a disk that stalls for that long loses nothing), within these bounds.
constexpr unsigned long long default_buffer_bytes = 256ull << 20;
constexpr unsigned long long fewest_default_slots = 16;
constexpr unsigned long long most_default_slots = 1024;

// Why the acquisition ended.
enum class ending {
  count_reached,
  duration,
  stop_request,
  no_frames,
  unplugged,
  write_failed,
  failure
};

const char* ending_name(ending e) {
  switch (e) {
  case ending::count_reached:
    return "frames_reached";
  case ending::duration:
    return "seconds_reached";
  case ending::stop_request:
    return "stop_request";
  case ending::no_frames:
    return "no_frames";
  case ending::unplugged:
    return "unplugged";
  case ending::write_failed:
    return "write_failed";
  default:
    return "failure";
  }
}

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

class acquisition {
public:
  acquisition(acquire_settings settings, command_line line)
      : line_(std::move(line)), settings_(std::move(settings)), session_("acquire") {}

  int run() {
    if (!open_files()) {
      return exit_failure;
    }
    const int status = set_up_camera();
    if (status != exit_ok || !read_geometry() || !arm()) {
      discard_unwritten(opened_, false);
      return status != exit_ok ? status : exit_failure;
    }
    take_frames();
    return finish();
  }

private:
  // ---- Set-up ----

  // Opens the outputs before anything is loaded: a path that cannot be written, or that holds
  // what must not be destroyed, is refused before the camera is touched.
  bool open_files() {
    std::string error;
    const bool opened = open_outputs(
        settings_.output, opened_,
        [](const std::string& pipe) {
          report("acquire", "waiting for a reader of " + pipe + " (Ctrl-C gives up)");
        },
        [] { return !interrupted(); }, error);
    if (!opened) {
      report("acquire", error);
      discard_unwritten(opened_, false);
    }
    return opened;
  }

  // Sends one camera setting; false after reporting a refusal.
  bool camera_setting(const std::string& command) {
    const reply r = session_.module().get(session_.handle(), command);
    if (!r.ok()) {
      session_.report_result("\"" + command + "\"", r.code);
      return false;
    }
    if (session::camera_refused(r)) {
      report("acquire", "the camera refused \"" + command + "\": " + r.text);
      return false;
    }
    return true;
  }

  // The camera's answer to a setting, or "" when it has no such setting.
  std::string camera_value(const char* key) {
    const reply r = session_.module().get(session_.handle(), key);
    return r.ok() && !session::camera_refused(r) ? r.text : "";
  }

  bool set_up_simulated_camera() {
    const int simulated = session_.simulated_camera();
    if (simulated == 0) {
      report("acquire", "the --sim-* options need a camera that qmxcam plugged in itself");
      return false;
    }
    const simulator_host& sim = *session_.simulator();
    if (settings_.sim_seed) {
      sim.set_random_seed(simulated, static_cast<std::uint32_t>(settings_.seed));
    }
    if (settings_.sim_faults) {
      sim.set_packet_faults(simulated, settings_.faults);
    }
    if (settings_.sim_max_rate) {
      sim.set_max_rate(simulated, true);
    }
    return settings_.sim_fps.empty() || camera_setting("fps " + settings_.sim_fps);
  }

  // Loads the module, opens the camera and applies the settings; the exit status (0 to go on).
  int set_up_camera() {
    if (!session_.start(line_) || !session_.open_camera(line_)) {
      return exit_failure;
    }
    if (settings_.wants_simulator() && !set_up_simulated_camera()) {
      return session_.simulated_camera() == 0 ? exit_usage : exit_failure;
    }
    const std::pair<const char*, const std::string*> camera_settings[] = {
        {"fps", &settings_.fps}, {"exposure_ms", &settings_.exposure}, {"gain", &settings_.gain}};
    for (const auto& [key, value] : camera_settings) {
      if (!value->empty() && !camera_setting(std::string(key) + " " + *value)) {
        return exit_failure;
      }
    }
    const module_host& m = session_.module();
    void* const handle = session_.handle();
    if (settings_.roi) {
      std::ostringstream command;
      command << "roi " << settings_.roi_values[0] << ' ' << settings_.roi_values[1] << ' '
              << settings_.roi_values[2] << ' ' << settings_.roi_values[3];
      const reply r = m.set(handle, command.str());
      if (!r.ok() || session::camera_refused(r)) {
        r.ok() ? report("acquire", "the camera refused the region: " + r.text)
               : session_.report_result("setting the region", r.code);
        return exit_failure;
      }
    }
    if (settings_.hbin != 0) {
      for (const auto& [key, factor] :
           {std::pair{"hbin", settings_.hbin}, {"vbin", settings_.vbin}}) {
        if (const reply r = m.set(handle, std::string(key) + " " + std::to_string(factor));
            !r.ok()) {
          session_.report_result(std::string("setting ") + key, r.code);
          return exit_failure;
        }
      }
    }
    // The tag block carries each frame's counter and time stamp into the files.
    char on[] = "on";
    if (const reply r = m.set(handle, "image_metadata", on, sizeof on); !r.ok()) {
      session_.report_result("switching the tag block on", r.code);
      return exit_failure;
    }
    return exit_ok;
  }

  // What the frames will be, as the module and the camera answer.
  bool read_geometry() {
    const module_host& m = session_.module();
    void* const handle = session_.handle();
    auto number = [&](const char* key, unsigned long long& value) {
      const reply r = m.get(handle, key);
      if (!r.ok()) {
        session_.report_result(std::string("get \"") + key + "\"", r.code);
        return false;
      }
      if (!read_unsigned(r.text, value)) {
        report("acquire", std::string("\"") + key + "\" answered '" + r.text + "'");
        return false;
      }
      return true;
    };
    unsigned long long width = 0, height = 0, hbin = 0, vbin = 0;
    if (!number("image_width", width) || !number("image_height", height) || !number("hbin", hbin) ||
        !number("vbin", vbin) || !number("acquisition_bytes_per_frame", slot_bytes_)) {
      return false;
    }
    const reply roi = m.get(handle, "roi");
    if (!roi.ok() || std::sscanf(roi.text.c_str(), "%u %u %u %u", &info_.roi_x1, &info_.roi_y1,
                                 &info_.roi_x2, &info_.roi_y2) != 4) {
      report("acquire", "cannot read the camera's region (" +
                            (roi.ok() ? "'" + roi.text + "'" : describe_result(roi.code)) + ")");
      return false;
    }
    info_.camera_id = session_.camera_id();
    info_.exposure_ms = camera_value("exposure_ms");
    info_.gain = camera_value("gain");
    frame_interval_ = std::strtod(camera_value("fps").c_str(), nullptr);
    frame_interval_ = frame_interval_ > 0 ? 1 / frame_interval_ : 0;
    info_.width = static_cast<std::uint32_t>(width);
    info_.height = static_cast<std::uint32_t>(height);
    info_.hbin = static_cast<std::uint32_t>(hbin);
    info_.vbin = static_cast<std::uint32_t>(vbin);
    image_bytes_ = std::size_t{info_.width} * info_.height * 2;
    if (width == 0 || height == 0) {
      report("acquire", "binning " + std::to_string(hbin) + "x" + std::to_string(vbin) +
                            " leaves no whole pixel of the region " + roi.text +
                            "; take a larger region or a smaller binning");
      return false;
    }
    if (slot_bytes_ < tag_block_bytes + image_bytes_) {
      report("acquire", "the frame geometry does not fit: " + std::to_string(width) + " x " +
                            std::to_string(height) + " pixels in slots of " +
                            std::to_string(slot_bytes_) + " bytes");
      return false;
    }
    return true;
  }

  // The buffer of whole slots and the writer, then "arm".
  bool arm() {
    if (settings_.slots == 0) {
      settings_.slots =
          std::clamp(default_buffer_bytes / slot_bytes_, fewest_default_slots, most_default_slots);
    }
    if (settings_.slots > SIZE_MAX / slot_bytes_) {
      report("acquire", "a buffer of " + std::to_string(settings_.slots) + " slots of " +
                            std::to_string(slot_bytes_) +
                            " bytes is too large; ask for fewer "
                            "with --slots");
      return false;
    }
    buffer_bytes_ = slot_bytes_ * settings_.slots;
    try {
      // Not cleared: the module fills every slot before it hands it out.
      buffer_ = std::make_unique_for_overwrite<unsigned char[]>(buffer_bytes_);
    } catch (const std::bad_alloc&) {
      report("acquire", "cannot allocate " + std::to_string(settings_.slots) + " slots of " +
                            std::to_string(slot_bytes_) + " bytes; ask for fewer with --slots");
      return false;
    }
    frame_destination& destination = opened_.destination;
    destination.bigtiff = settings_.output.bigtiff ||
                          (destination.format == file_format::tiff && !destination.per_frame &&
                           tiff_needs_64_bit_offsets(settings_.frames, image_bytes_));
    bigtiff_ = destination.bigtiff && destination.format == file_format::tiff;
    sink_ = make_frame_sink(std::move(destination));
    if (const reply r =
            session_.module().set(session_.handle(), "arm", buffer_.get(), buffer_bytes_);
        !r.ok()) {
      session_.report_result("arming a buffer of " + std::to_string(settings_.slots) + " slots",
                             r.code);
      // Closed before the caller removes the file it created (Windows removes no open file).
      sink_->finish();
      sink_.reset();
      return false;
    }
    return true;
  }

  // ---- The frames ----

  frame_view view_of(std::uint64_t address) const {
    // The module hands a slot out by its address.
    const auto* slot = reinterpret_cast<const unsigned char*>( // NOLINT(performance-no-int-to-ptr)
        static_cast<std::uintptr_t>(address));
    frame_view f;
    f.run = &info_;
    f.frame_counter = u32_at(slot + tag_frame_counter);
    f.timestamp =
        (std::uint64_t{u32_at(slot + tag_timestamp_high)} << 32) | u32_at(slot + tag_timestamp_low);
    f.taken = std::chrono::system_clock::now();
    f.slot = slot;
    f.slot_bytes = slot_bytes_;
    f.pixels = reinterpret_cast<const std::uint16_t*>(slot + tag_block_bytes);
    return f;
  }

  // Counts a frame written: frames whose counters were skipped since the one before are
  // missing (the counter wraps from 0xFFFFFFFF to 0).
  void count_written(const frame_view& f) {
    const auto now = clock_type::now();
    if (taken_.load() == 0) {
      first_taken_ = f.taken;
      first_steady_ = now;
    } else {
      missing_.fetch_add(static_cast<std::uint32_t>(f.frame_counter - last_counter_ - 1));
    }
    last_counter_ = f.frame_counter;
    last_slot_ = f.slot;
    last_taken_ = f.taken;
    last_steady_ = now;
    taken_.fetch_add(1);
    last_frame_ticks_.store(now.time_since_epoch().count());
  }

  void take_frames() {
    start_ = clock_type::now();
    last_frame_ticks_.store(start_.time_since_epoch().count());
    std::thread control([this] { watch(); });
    const module_host& m = session_.module();
    for (;;) {
      if (settings_.frames != 0 && taken_.load() == settings_.frames) {
        ending_ = ending::count_reached;
        break;
      }
      std::uint64_t address = 0;
      if (const int code = m.wait_frame(session_.handle(), address); code != 0) {
        failure_code_ = code;
        ending_ = ending::failure;
        break;
      }
      if (address == 0) {
        const int reason = stop_reason_.load();
        ending_ = reason >= 0 ? static_cast<ending>(reason) : ending::failure;
        break;
      }
      const frame_view f = view_of(address);
      // Written from the slot itself, which the module keeps for the host until the next wait.
      if (!sink_->write(f)) {
        ending_ = ending::write_failed;
        break;
      }
      count_written(f);
    }
    elapsed_ = std::chrono::duration<double>(clock_type::now() - start_).count();
    // The module's counts as they stood when the last frame was taken, before the frames that
    // come until "stop" can change them.
    statistics_ = read_drop_counts(
        session_.module().get(session_.handle(), "qmx_module.acquisition_statistics").text);
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    control.join();
  }

  // ---- The control thread ----

  double no_frame_limit() const {
    const double exposure =
        std::strtod(info_.exposure_ms.c_str(), nullptr) / milliseconds_per_second;
    return std::max(exposure, frame_interval_) + settings_.no_frame_margin;
  }

  // Why the acquisition must stop now, or -1.
  int stop_due(clock_type::time_point now, clock_type::time_point& next_presence_check) {
    const auto silent =
        now - clock_type::time_point(clock_type::duration(last_frame_ticks_.load()));
    if (stop_signal() != 0) {
      return static_cast<int>(ending::stop_request);
    }
    if (settings_.seconds > 0 && now - start_ >= std::chrono::duration<double>(settings_.seconds)) {
      return static_cast<int>(ending::duration);
    }
    if (silent >= std::chrono::duration<double>(no_frame_limit())) {
      return static_cast<int>(ending::no_frames);
    }
    if (now >= next_presence_check) {
      next_presence_check = now + presence_poll;
      // A wait for a frame does not end when the camera leaves; the get side tells.
      if (session_.module().get(session_.handle(), "image_width").code == QMX_DISCONNECTED) {
        return static_cast<int>(ending::unplugged);
      }
    }
    return -1;
  }

  void watch() {
    const int columns = settings_.quiet ? 0 : stderr_columns();
    const bool plain = !settings_.quiet && columns == 0;
    const auto draw_interval =
        plain ? std::chrono::duration_cast<clock_type::duration>(plain_line_interval)
              : std::chrono::duration_cast<clock_type::duration>(terminal_redraw);
    auto next_presence_check = start_ + presence_poll;
    auto next_draw = start_ + draw_interval;
    bool unplugged = false;
    std::unique_lock lock(mutex_);
    while (!done_) {
      const auto now = clock_type::now();
      if (settings_.unplug_after > 0 && !unplugged &&
          now - start_ >= std::chrono::duration<double>(settings_.unplug_after)) {
        unplugged = true;
        session_.simulator()->camera_unplug(session_.simulated_camera());
      }
      rates_.add(now, taken_.load(), taken_.load() * image_bytes_);
      if (const int reason = stop_due(now, next_presence_check); reason >= 0) {
        stop_reason_.store(reason);
        lock.unlock();
        session_.module().set(session_.handle(), "stop");
        return;
      }
      if ((columns > 0 || plain) && now >= next_draw) {
        next_draw += draw_interval;
        draw_progress(now, columns);
      }
      wake_.wait_for(lock, control_poll);
    }
  }

  progress_snapshot snapshot(clock_type::time_point now) const {
    progress_snapshot s;
    s.elapsed_seconds = std::chrono::duration<double>(now - start_).count();
    s.frames = taken_.load();
    s.frame_limit = settings_.frames;
    s.second_limit = settings_.seconds;
    s.frames_per_second = rates_.frames_per_second();
    s.bytes_per_second = rates_.bytes_per_second();
    s.frames_missing = missing_.load();
    return s;
  }

  void draw_progress(clock_type::time_point now, int columns) {
    progress_snapshot s = snapshot(now);
    s.drops = read_drop_counts(
        session_.module().get(session_.handle(), "qmx_module.acquisition_statistics").text);
    if (columns == 0) {
      report("acquire", plain_progress_line(s));
      return;
    }
    std::string line = progress_line(s, columns);
    // Blanks over what is left of a longer line drawn before.
    const std::size_t width = line.size();
    line.resize(std::max(width, drawn_width_), ' ');
    drawn_width_ = width;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    line_drawn_ = true;
  }

  // ---- The end ----

  // Stops and closes the camera, completes the files and the preview, and reports.
  int finish() {
    const module_host& m = session_.module();
    // A camera that left while frames were awaited answers 14 to every get.
    camera_gone_ = m.get(session_.handle(), "image_width").code == QMX_DISCONNECTED;
    const reply stopped = m.set(session_.handle(), "stop");
    if (line_drawn_) {
      std::fputc('\n', stderr);
    }
    // Closing joins the module's threads: nothing writes into the buffer after this.
    const bool closed = session_.close_camera();
    const bool completed = sink_->finish();
    int status = closed && completed ? exit_ok : exit_failure;
    if (!stopped.ok() && stopped.code != QMX_DISCONNECTED) {
      session_.report_result("\"stop\"", stopped.code);
      status = exit_failure;
    }
    status = std::max(status, report_ending());
    if (!sink_->error().empty()) {
      report("acquire", sink_->error() + "; the files hold the " +
                            std::to_string(sink_->frames_written()) +
                            " frames written before, each complete");
      status = exit_failure;
    }
    if (!write_preview()) {
      status = exit_failure;
    }
    files_ = sink_->files();
    written_ = sink_->frames_written();
    sink_.reset();
    discard_unwritten(opened_, taken_.load() > 0);
    if (status == exit_ok && missing_.load() > settings_.max_drops) {
      report("acquire", std::to_string(missing_.load()) +
                            " frames missing from the sequence (frame counters skipped; dropped "
                            "by the module: " +
                            statistics_.describe() +
                            "); allowed with --max-drops: " + std::to_string(settings_.max_drops));
      status = exit_frames_missing;
    }
    if (stop_signal() != 0) {
      status = signal_exit_base + stop_signal();
    }
    summarise(status);
    stop_request_handled();
    return status;
  }

  // Reports why the acquisition ended when that is not its normal end; the exit status so far.
  int report_ending() {
    if (ending_ == ending::unplugged ||
        (camera_gone_ && ending_ != ending::count_reached && ending_ != ending::duration)) {
      // This says more than the wait's result code or the silence that followed the unplug.
      report("acquire", "the camera " + session_.camera_id() +
                            " was unplugged during the acquisition; the files hold every frame "
                            "taken before");
      ending_ = ending::unplugged;
      return exit_failure;
    }
    switch (ending_) {
    case ending::stop_request:
      report("acquire", std::string(describe_stop_signal(stop_signal())) +
                            "; the files hold every frame taken so far");
      return exit_ok;
    case ending::no_frames:
      report("acquire", "no frame came for " + seconds_text(no_frame_limit()) + " s (" +
                            (frame_interval_ * milliseconds_per_second >
                                     std::strtod(info_.exposure_ms.c_str(), nullptr)
                                 ? "frame interval "
                                 : "exposure ") +
                            seconds_text(no_frame_limit() - settings_.no_frame_margin) + " s + " +
                            seconds_text(settings_.no_frame_margin) + " s); acquisition stopped");
      return exit_failure;
    case ending::failure:
      if (failure_code_ != 0) {
        session_.report_result("waiting for a frame (\"image_wait_per_frame\")", failure_code_);
      } else {
        report("acquire", "the module stopped handing out frames");
      }
      return exit_failure;
    default:
      return exit_ok; // a write failure is reported with the writer's reason
    }
  }

  // The last frame written, still in its slot unless the module reused the slot before it
  // was stopped (its tag block then carries another counter).
  bool write_preview() {
    if (settings_.output.preview.empty()) {
      return true;
    }
    std::string error;
    if (taken_.load() == 0) {
      error = "no frame for the preview; " + settings_.output.preview + " not written";
    } else if (u32_at(last_slot_ + tag_frame_counter) != last_counter_) {
      error = "the last frame's slot was reused before the camera stopped; " +
              settings_.output.preview + " not written";
    } else {
      frame_view f;
      f.run = &info_;
      f.frame_counter = last_counter_;
      f.taken = last_taken_;
      f.pixels = reinterpret_cast<const std::uint16_t*>(last_slot_ + tag_block_bytes);
      if (write_preview_png(opened_.preview, f, error) && opened_.preview.close()) {
        opened_.created_preview = false; // written: kept
        preview_written_ = true;
        return true;
      }
      if (error.empty()) {
        error = opened_.preview.error();
      }
    }
    report("acquire", error);
    return false;
  }

  void summarise(int status) {
    const std::uint64_t taken = taken_.load();
    // Rates between the first frame and the last: the time before the first frame (arming,
    // the first exposure) is not the camera's rate.
    const double span = std::chrono::duration<double>(last_steady_ - first_steady_).count();
    const double fps = taken > 1 && span > 0 ? static_cast<double>(taken - 1) / span : 0;
    const double megabytes = fps * static_cast<double>(image_bytes_) / 1e6;
    std::fprintf(stderr,
                 "qmxcam acquire: %llu frames of %u x %u (binning %ux%u) from %s in %.2f s: %.1f "
                 "fps, %.1f MB/s; written: %llu; missing: %llu; dropped by the module: %s\n",
                 static_cast<unsigned long long>(taken), info_.width, info_.height, info_.hbin,
                 info_.vbin, session_.camera_id().c_str(), elapsed_, fps, megabytes,
                 static_cast<unsigned long long>(files_frames()),
                 static_cast<unsigned long long>(missing_.load()), statistics_.describe().c_str());
    if (settings_.sim_faults) {
      std::fprintf(stderr, "qmxcam acquire: simulated faults drawn with seed %u\n",
                   session_.simulator()->random_seed(session_.simulated_camera()));
    }
    std::vector<std::string> files = files_;
    if (settings_.json) {
      json_object summary;
      summary.add("camera", session_.camera_id());
      summary.add("width", info_.width);
      summary.add("height", info_.height);
      summary.add("hbin", info_.hbin);
      summary.add("vbin", info_.vbin);
      summary.add("format", format_name(settings_.output.format));
      summary.add("bigtiff", bigtiff_);
      summary.add("frames_taken", taken);
      summary.add("frames_written", files_frames());
      summary.add("frames_missing", missing_.load());
      json_object causes;
      for (const auto& [name, count] : statistics_.by_cause) {
        causes.add(name, count);
      }
      summary.add_raw("dropped_by_cause", causes.text());
      summary.add("seconds", elapsed_);
      summary.add("frames_per_second", fps);
      summary.add("megabytes_per_second", megabytes);
      summary.add_raw("first_frame_utc",
                      taken > 0 ? json_string(utc_text(first_taken_)) : std::string("null"));
      summary.add("ending", ending_name(ending_));
      summary.add_raw("files", json_string_array(files));
      summary.add_raw("preview", preview_written_ ? json_string(settings_.output.preview)
                                                  : std::string("null"));
      summary.add("status", status);
      std::cout << summary.text() << std::endl;
      return;
    }
    if (settings_.output.output == "-") {
      return; // standard output holds the frames
    }
    for (const std::string& file : files) {
      std::cout << file << '\n';
    }
    if (preview_written_) {
      std::cout << settings_.output.preview << '\n';
    }
  }

  std::uint64_t files_frames() const { return written_; }

  command_line line_;
  acquire_settings settings_;
  session session_;
  opened_outputs opened_;
  acquisition_info info_;
  unsigned long long slot_bytes_ = 0;
  std::size_t image_bytes_ = 0;
  std::size_t buffer_bytes_ = 0;
  double frame_interval_ = 0; // seconds between frames at the camera's rate setting, 0 unknown
  bool bigtiff_ = false;
  std::unique_ptr<unsigned char[]> buffer_;
  std::unique_ptr<frame_sink> sink_;

  // The waiting thread's; read by the control thread where atomic.
  std::atomic<std::uint64_t> taken_{0};
  std::atomic<std::uint64_t> missing_{0};
  std::atomic<clock_type::rep> last_frame_ticks_{0};
  std::uint32_t last_counter_ = 0;
  const unsigned char* last_slot_ = nullptr;
  std::chrono::system_clock::time_point first_taken_;
  std::chrono::system_clock::time_point last_taken_;
  ending ending_ = ending::count_reached;
  int failure_code_ = 0;
  double elapsed_ = 0;
  drop_counts statistics_;
  clock_type::time_point start_;
  clock_type::time_point first_steady_;
  clock_type::time_point last_steady_;

  // Between the two threads.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false; // guarded by mutex_
  std::atomic<int> stop_reason_{-1};

  // The control thread's.
  rate_window rates_{rate_window_length};
  std::size_t drawn_width_ = 0;
  bool line_drawn_ = false;

  // The end's.
  bool camera_gone_ = false;
  bool preview_written_ = false;
  std::vector<std::string> files_;
  std::uint64_t written_ = 0;
};

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
    std::cout << "Usage: qmxcam acquire " << acquire_synopsis << "\n\n" << describe_options(rows);
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
  if (!read_acquire_settings(line, settings, error)) {
    report("acquire", error);
    return exit_usage;
  }
  install_stop_handlers();
  acquisition a(std::move(settings), line);
  return a.run();
}

} // namespace qmxcam
