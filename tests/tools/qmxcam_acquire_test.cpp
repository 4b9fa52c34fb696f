// qmxcam acquire run as a process against a simulated camera, as a user runs it: what it does
// to the paths it is given (existing files, device nodes, symbolic links, named pipes, standard
// output, per-frame folders), its exit statuses (frames missing, interrupts and termination
// signals, a full disk), the limits that follow the camera's settings, and the progress line on
// a terminal.
#include "sim/qmx_sim.h"
#include "tests/tools/qmxcam_process.h"

#include <gtest/gtest.h>

#include <fitsio.h>
#include <tiffio.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using namespace qmxcam_test;
namespace fs = std::filesystem;

// A folder of its own for each test, removed afterwards.
class acquire : public ::testing::Test {
protected:
  void SetUp() override {
    folder = fs::path(scratch(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  std::string path(const std::string& name) const { return (folder / name).string(); }

  fs::path folder;
};

// Region of the small acquisitions: 64 x 16 pixels at sensor column 8, row 4.
constexpr std::uint32_t region_x1 = 8;
constexpr std::uint32_t region_y1 = 4;
constexpr std::uint32_t region_width = 64;
constexpr std::uint32_t region_height = 16;
constexpr std::uint32_t calibration_lines = 2; // the simulated camera's default
constexpr std::size_t tag_block_bytes = 48;
constexpr std::size_t slot_bytes =
    tag_block_bytes + 2 * std::size_t{region_width} * (region_height + calibration_lines);
const std::vector<std::string> small_region = {"--roi", "8,4,71,19", "--sim-fps", "500"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The arguments of an acquisition of the small region at 500 frames per second.
std::vector<std::string> small(const std::vector<std::string>& arguments) {
  return join(arguments, small_region);
}

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Checks raw slots of the small region: tag block, frame counters in order, every image pixel
// against the simulator's pattern. The number of slots.
std::size_t check_raw_slots(const std::string& bytes) {
  EXPECT_EQ(bytes.size() % slot_bytes, 0u) << "whole slots only";
  const std::size_t slots = bytes.size() / slot_bytes;
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < slots; ++i) {
    const auto* slot = reinterpret_cast<const unsigned char*>(bytes.data()) + i * slot_bytes;
    EXPECT_EQ(std::memcmp(slot, "QMX\0", 4), 0) << "slot " << i;
    EXPECT_EQ(std::memcmp(slot + 8, "FCNT", 4), 0) << "slot " << i;
    const std::uint32_t counter = u32_at(slot + 12);
    if (i > 0) {
      EXPECT_GT(counter, previous);
    }
    previous = counter;
    for (std::uint32_t y = 0; y < region_height; ++y) {
      for (std::uint32_t x = 0; x < region_width; ++x) {
        const std::size_t at = tag_block_bytes + 2 * (std::size_t{y} * region_width + x);
        const unsigned value = slot[at] | (slot[at + 1] << 8);
        if (value != qmx_sim_pattern_pixel(counter, region_y1 + y, region_x1 + x)) {
          ADD_FAILURE() << "slot " << i << " row " << y << " column " << x;
          return slots;
        }
      }
    }
  }
  return slots;
}

// Pages of a TIFF file that libtiff reads whole, every pixel checked against the pattern when
// the page carries its frame counter; 0 when it cannot be opened.
std::size_t tiff_pages(const std::string& file) {
  TIFF* tiff = TIFFOpen(file.c_str(), "r");
  if (tiff == nullptr) {
    return 0;
  }
  std::size_t pages = 0;
  do {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    std::vector<std::uint16_t> row(width);
    for (std::uint32_t r = 0; r < height; ++r) {
      if (TIFFReadScanline(tiff, row.data(), r, 0) != 1) {
        ADD_FAILURE() << file << " page " << pages << " row " << r << " cannot be read";
        TIFFClose(tiff);
        return pages;
      }
    }
    ++pages;
  } while (TIFFReadDirectory(tiff) == 1);
  TIFFClose(tiff);
  return pages;
}

// Image extensions of a FITS file that cfitsio reads whole; -1 when it cannot be opened.
int fits_images(const std::string& file) {
  fitsfile* fits = nullptr;
  int status = 0;
  // The file name is given to cfitsio as a plain disk file, whatever its characters.
  if (fits_open_diskfile(&fits, file.c_str(), READONLY, &status) != 0) {
    return -1;
  }
  int hdus = 0;
  fits_get_num_hdus(fits, &hdus, &status);
  int images = 0;
  for (int hdu = 2; hdu <= hdus && status == 0; ++hdu) {
    int type = 0;
    fits_movabs_hdu(fits, hdu, &type, &status);
    long axes[2] = {};
    fits_get_img_size(fits, 2, axes, &status);
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(axes[0] * axes[1]));
    fits_read_img(fits, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(),
                  nullptr, &status);
    images += status == 0 ? 1 : 0;
  }
  EXPECT_EQ(status, 0) << file;
  fits_close_file(fits, &status);
  return images;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---- What the outputs do to the paths they are given ----

TEST_F(acquire, an_existing_file_is_kept_unless_overwrite_is_given) {
  const std::string file = path("frames.tif");
  std::ofstream(file) << "results of last night";
  run_result r = run(small({"acquire", "--frames", "2", "--output", file}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, file + " exists")) << r.err;
  EXPECT_TRUE(contains(r.err, "--overwrite")) << r.err;
  EXPECT_FALSE(contains(r.err, " frames of ")) << "refused before acquiring: " << r.err;
  EXPECT_EQ(read_file(file), "results of last night");
  r = run(small({"acquire", "--frames", "2", "--output", file, "--overwrite"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tiff_pages(file), 2u);
}

TEST_F(acquire, a_device_node_is_written_as_a_stream_and_never_replaced) {
  const std::string node = path("null_device");
  if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
  }
  for (const char* format : {"fits", "tiff"}) {
    const run_result r =
        run(small({"acquire", "--frames", "1", "--format", format, "--output", node}));
    EXPECT_EQ(r.status, 1) << format << ": " << r.err;
    EXPECT_TRUE(contains(r.err, node + " is a device")) << r.err;
    EXPECT_TRUE(contains(r.err, "--format raw")) << r.err;
    struct stat info {};
    ASSERT_EQ(lstat(node.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << "the device node is still one after " << format;
  }
  const run_result r =
      run(small({"acquire", "--frames", "3", "--format", "raw", "--output", node}));
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat info {};
  ASSERT_EQ(lstat(node.c_str(), &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST_F(acquire, a_symbolic_link_is_followed_and_kept) {
  const std::string target = path("night.fits");
  const std::string link = path("latest.fits");
  fs::create_symlink(target, link);
  run_result r = run(small({"acquire", "--frames", "2", "--format", "fits", "--output", link}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fits_images(target), 2);
  // An existing target through the link: refused, then replaced in place with --overwrite.
  r = run(small({"acquire", "--frames", "3", "--format", "fits", "--output", link}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(fits_images(target), 2);
  r = run(small({"acquire", "--frames", "3", "--format", "fits", "--output", link, "--overwrite"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fits_images(target), 3);
}

TEST_F(acquire, fits_file_names_are_taken_literally) {
  for (const std::string name : {"a[1].fits", "x.fits.gz", "mem://y.fits", "!z.fits"}) {
    const std::string file = path(name);
    fs::create_directories(fs::path(file).parent_path());
    const run_result r =
        run(small({"acquire", "--frames", "3", "--format", "fits", "--output", file}));
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.out, file + "\n");
    EXPECT_EQ(read_file(file).substr(0, 9), "SIMPLE  =") << name << " is a plain FITS file";
    EXPECT_EQ(fits_images(file), 3) << name;
  }
  // Nothing else appeared beside them (cfitsio's syntax would have made "a" and "z.fits").
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"!z.fits", "a[1].fits", "x.fits.gz", "y.fits"}));
}

TEST_F(acquire, standard_output_takes_raw_frames_only) {
  const std::string out = path("stdout.raw");
  run_options options;
  options.stdout_file = out;
  run_result r =
      run(small({"acquire", "--frames", "4", "--format", "raw", "--output", "-"}), options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(check_raw_slots(read_file(out)), 4u) << "standard output holds the frames only";
  for (const char* format : {"fits", "tiff"}) {
    r = run(small({"acquire", "--frames", "1", "--format", format, "--output", "-"}), options);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(contains(r.err, "standard output")) << r.err;
    EXPECT_EQ(read_file(out), "");
  }
}

TEST_F(acquire, a_named_pipe_is_streamed_to_its_reader) {
  const std::string pipe = path("frames.pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] {
    const int fd = open(pipe.c_str(), O_RDONLY);
    char chunk[65536];
    for (ssize_t n; fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0;) {
      received.append(chunk, static_cast<std::size_t>(n));
    }
    if (fd >= 0) {
      close(fd);
    }
  });
  run_options limited;
  limited.limit_seconds = 30;
  run_result r =
      run(small({"acquire", "--frames", "5", "--format", "raw", "--output", pipe}), limited);
  EXPECT_FALSE(r.hung) << "a pipe must not hang the program";
  if (r.hung) {
    // Unblock the reader: a writer that opens and closes ends its read.
    close(open(pipe.c_str(), O_WRONLY | O_NONBLOCK));
  }
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(check_raw_slots(received), 5u);
  r = run(small({"acquire", "--frames", "1", "--format", "tiff", "--output", pipe}), limited);
  EXPECT_FALSE(r.hung);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, pipe + " is a named pipe")) << r.err;
}

TEST_F(acquire, output_and_preview_may_not_be_the_same_file) {
  const std::string file = path("frames.png");
  run_result r = run({"acquire", "--frames", "1", "--output", file, "--preview", file});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(contains(r.err, "the same file")) << r.err;
  EXPECT_FALSE(fs::exists(file));
  // The same file under two names.
  const std::string alias = path("alias.png");
  fs::create_symlink(file, alias);
  r = run({"acquire", "--frames", "1", "--output", file, "--preview", alias});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "the same file")) << r.err;
  EXPECT_FALSE(contains(r.err, " frames of ")) << r.err;
}

TEST_F(acquire, empty_paths_are_usage_errors_found_before_anything_is_acquired) {
  for (const char* option : {"--output", "--preview"}) {
    const run_result r = run({"acquire", "--frames", "1", option, ""});
    EXPECT_EQ(r.status, 2) << option << ": " << r.err;
    EXPECT_TRUE(contains(r.err, std::string(option) + " needs a file name")) << r.err;
    EXPECT_FALSE(contains(r.err, " frames of ")) << r.err;
  }
}

TEST_F(acquire, a_folder_is_an_output_only_with_per_frame) {
  const run_result r = run({"acquire", "--frames", "1", "--output", folder.string()});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "is a folder")) << r.err;
  EXPECT_TRUE(contains(r.err, "--per-frame")) << r.err;
}

std::vector<std::string> file_names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(acquire, per_frame_files_go_into_a_folder_with_the_format_s_extension) {
  const fs::path frames = folder / "night";
  fs::create_directories(frames);
  run_result r = run(small({"acquire", "--frames", "3", "--per-frame", "--format", "fits",
                            "--output", frames.string()}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(file_names(frames), (std::vector<std::string>{"frame_000000.fits", "frame_000001.fits",
                                                          "frame_000002.fits"}));
  EXPECT_EQ(fits_images((frames / "frame_000002.fits").string()), 1);
  // A name pattern: the format's extension is added.
  r = run(small({"acquire", "--frames", "2", "--per-frame", "--output", path("shot")}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tiff_pages(path("shot_000001.tif")), 1u);
  EXPECT_EQ(r.out, path("shot_000000.tif") + "\n" + path("shot_000001.tif") + "\n");
}

TEST_F(acquire, per_frame_files_of_an_earlier_run_are_never_mixed_with_new_ones) {
  const fs::path frames = folder / "night";
  fs::create_directories(frames);
  std::ofstream((frames / "frame_000005.tif").string()) << "from the first run";
  std::ofstream((frames / "notes.txt").string()) << "mine";
  run_result r =
      run(small({"acquire", "--frames", "2", "--per-frame", "--output", frames.string()}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "frame_000005.tif")) << r.err;
  EXPECT_EQ(read_file((frames / "frame_000005.tif").string()), "from the first run");
  r = run(small(
      {"acquire", "--frames", "2", "--per-frame", "--output", frames.string(), "--overwrite"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(file_names(frames),
            (std::vector<std::string>{"frame_000000.tif", "frame_000001.tif", "notes.txt"}));
}

// ---- Exit statuses ----

TEST_F(acquire, frames_missing_from_the_sequence_give_their_own_status_unless_allowed) {
  const std::string file = path("lossy.raw");
  const std::vector<std::string> lossy = {
      "acquire",        "--frames",     "20",        "--format",   "raw", "--output",   file,
      "--sim-max-rate", "--sim-faults", "drop=0.01", "--sim-seed", "7",   "--overwrite"};
  run_result r = run(lossy);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_TRUE(contains(r.err, "frames missing")) << r.err;
  r = run(join(lossy, {"--max-drops", "100000"}));
  EXPECT_EQ(r.status, 0) << r.err;
  r = run(small({"acquire", "--frames", "20", "--format", "raw", "--output", path("whole.raw")}));
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(acquire, an_interrupt_gives_130_also_when_frames_were_missing) {
  run_options options;
  options.signal = SIGINT;
  options.signal_after_ms = 2500;
  const run_result r = run({"acquire", "--seconds", "60", "--format", "raw", "--output",
                            path("x.raw"), "--sim-faults", "drop=0.01", "--sim-seed", "3"},
                           options);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_TRUE(contains(r.err, "interrupted")) << r.err;
}

TEST_F(acquire, termination_and_hangup_stop_the_run_as_ctrl_c_does_with_complete_files) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    const std::string file = path("run_" + std::to_string(signal) + ".fits");
    run_options options;
    options.signal = signal;
    options.signal_after_ms = 2500;
    const run_result r =
        run({"acquire", "--seconds", "60", "--sim-fps", "20", "--format", "fits", "--output", file},
            options);
    EXPECT_EQ(r.killed_by, 0) << "ended by signal " << signal << " instead of stopping";
    EXPECT_EQ(r.status, 128 + signal) << r.err;
    EXPECT_TRUE(contains(r.err, " frames of 1280 x 1024")) << r.err;
    EXPECT_GE(fits_images(file), 1) << "every HDU complete after signal " << signal;
  }
}

TEST_F(acquire, a_full_disk_stops_the_acquisition_at_once_and_says_why) {
  run_options limited;
  limited.limit_seconds = 60;
  const run_result r = run(
      {"acquire", "--frames", "1000", "--sim-fps", "5", "--format", "raw", "--output", "/dev/full"},
      limited);
  EXPECT_FALSE(r.hung) << "the acquisition went on after the write failed";
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "cannot write /dev/full: No space left on device")) << r.err;
}

// A small file system of its own (root only).
class small_disk : public acquire {
protected:
  void SetUp() override {
    acquire::SetUp();
    mounted = mount("qmxcam_test", folder.c_str(), "tmpfs", 0, "size=8m") == 0;
    if (!mounted) {
      GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    }
  }
  void TearDown() override {
    if (mounted) {
      umount(folder.c_str());
    }
    acquire::TearDown();
  }
  bool mounted = false;
};

TEST_F(small_disk, a_full_disk_leaves_complete_tiff_and_fits_files) {
  run_options limited;
  limited.limit_seconds = 60;
  for (const char* format : {"tiff", "fits"}) {
    const std::string file = path(std::string("full.") + format);
    const run_result r =
        run({"acquire", "--frames", "100", "--sim-fps", "20", "--format", format, "--output", file},
            limited);
    EXPECT_FALSE(r.hung);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.err, "No space left on device")) << r.err;
    // 8 MB hold three frames of 2.6 MB and part of a fourth.
    if (std::string(format) == "tiff") {
      EXPECT_EQ(tiff_pages(file), 3u);
    } else {
      EXPECT_EQ(fits_images(file), 3);
    }
    fs::remove(file);
  }
}

// ---- Limits that follow the camera's settings ----

TEST_F(acquire, the_no_frame_limit_counts_from_the_end_of_the_exposure) {
  run_options limited;
  limited.limit_seconds = 60;
  const run_result r =
      run({"acquire", "--frames", "1", "--exposure", "2000", "--no-frame-timeout", "1",
           "--sim-faults", "drop=1", "--format", "raw", "--output", path("none.raw")},
          limited);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "no frame came for 3 s (exposure 2 s + 1 s)")) << r.err;
  EXPECT_GE(r.seconds, 3.0);
}

TEST_F(acquire, exposures_are_taken_in_fractions_of_a_millisecond_where_the_camera_takes_them) {
  // The simulated camera takes whole milliseconds only and says so.
  run_result r = run(small({"acquire", "--frames", "1", "--exposure", "0.25", "--format", "raw",
                            "--output", path("a.raw")}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "the camera refused \"exposure_ms 0.25\"")) << r.err;
  r = run(small({"acquire", "--frames", "1", "--exposure", "7.0", "--format", "raw", "--output",
                 path("b.raw")}));
  EXPECT_EQ(r.status, 0) << r.err;
  r = run({"acquire", "--exposure", "-3"});
  EXPECT_EQ(r.status, 2) << r.err;
}

// ---- Progress ----

// The lines drawn on a terminal: the text between carriage returns and line ends, with the
// terminal's control sequences taken out.
std::vector<std::string> drawn_lines(const std::string& terminal_text) {
  const std::string plain =
      std::regex_replace(terminal_text, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
  std::vector<std::string> lines;
  std::string line;
  for (const char c : plain) {
    if (c == '\r' || c == '\n') {
      if (!line.empty()) {
        lines.push_back(line);
      }
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) {
    lines.push_back(line);
  }
  return lines;
}

TEST_F(acquire, the_progress_line_is_redrawn_on_a_timer_within_the_terminal_s_width) {
  run_options terminal;
  terminal.terminal_columns = 60;
  // No frame ever comes: the line must still move.
  run_result r = run({"acquire", "--seconds", "3", "--sim-faults", "drop=1", "--format", "raw",
                      "--output", path("none.raw")},
                     terminal);
  std::size_t redraws = 0;
  for (const std::string& line : drawn_lines(r.err)) {
    if (line.rfind("qmxcam acquire:", 0) == 0) {
      continue; // messages and the summary are ordinary lines
    }
    ++redraws;
    EXPECT_LT(line.size(), 60u) << "'" << line << "'";
  }
  EXPECT_GE(redraws, 6u) << r.err;
  EXPECT_TRUE(contains(r.err, "0:02")) << "elapsed time: " << r.err;
  // With frames: progress toward --frames.
  // (Frames lost on a busy machine are not what this test is about.)
  r = run({"acquire", "--frames", "40", "--sim-fps", "20", "--format", "raw", "--output",
           path("some.raw"), "--max-drops", "1000"},
          terminal);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(" [0-9]+/40 "))) << r.err;
}

TEST_F(acquire, without_a_terminal_progress_comes_as_plain_periodic_lines) {
  const run_result r = run({"acquire", "--seconds", "6", "--sim-fps", "10", "--format", "raw",
                            "--output", path("some.raw"), "--max-drops", "1000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("\nqmxcam acquire: progress 0:0[45] |^qmxcam acquire: progress 0:0[45] ")))
      << r.err;
}

} // namespace
