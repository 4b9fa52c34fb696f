// qmxcam run as a process against simulated cameras, as a user runs it: listing, parameters,
// the pass-through, connection events, and wrong input with its messages and exit statuses;
// an interrupt during an acquisition.
#include "tests/tools/qmxcam_process.h"

#include <gtest/gtest.h>

#include <fitsio.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <signal.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace qmxcam_test;

TEST(qmxcam, list_shows_every_simulated_camera_with_its_serial) {
  const run_result r = run({"list", "--sim-cameras", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "QMXSIM-0001\tSIM00001\nQMXSIM-0002\tSIM00002\n");
}

TEST(qmxcam, list_without_cameras_says_so_and_succeeds) {
  const run_result r = run({"list", "--sim-cameras", "0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "qmxcam list: no camera is attached\n");
}

TEST(qmxcam, an_unknown_option_is_a_usage_error_naming_the_option) {
  const run_result r = run({"acquire", "--frames", "3", "--bogus"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qmxcam acquire: unknown option '--bogus'; see 'qmxcam acquire --help'\n");
}

TEST(qmxcam, bad_option_values_are_usage_errors) {
  run_result r = run({"acquire", "--bin", "3y2"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--bin takes HxV"), std::string::npos) << r.err;
  r = run({"acquire", "--roi", "10,0,5,5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--roi takes X1,Y1,X2,Y2"), std::string::npos) << r.err;
  r = run({"acquire", "--sim-faults", "melt=0.5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown fault 'melt'"), std::string::npos) << r.err;
  r = run({"list", "--sim-cameras", "many"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--sim-cameras takes a number"), std::string::npos) << r.err;
  // Durations that never end are refused rather than run.
  r = run({"watch", "--seconds", "nan"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--seconds takes a positive number, not 'nan'"), std::string::npos) << r.err;
  r = run({"acquire", "--seconds", "inf"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--seconds takes a positive number, not 'inf'"), std::string::npos) << r.err;
  r = run({"acquire", "-o", "frames.tif"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option '-o'"), std::string::npos) << r.err;
}

TEST(qmxcam, set_checks_the_values_the_module_would_take_unchecked) {
  run_result r = run({"set", "hbin", "17"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("'hbin' takes one binning factor from 1 to 16"), std::string::npos) << r.err;
  r = run({"set", "image_metadata", "maybe"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("'image_metadata' takes on or off"), std::string::npos) << r.err;
  r = run({"set", "gain"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("'gain' needs a value"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(qmxcam, an_output_file_that_cannot_be_written_fails_before_any_frame_is_taken) {
  const std::string missing_folder = scratch("no_such_folder") + "/frames.fits";
  run_result r = run({"acquire", "--frames", "1", "--format", "fits", "--output", missing_folder});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "qmxcam acquire: cannot create " + missing_folder + ": No such file or directory\n");
  r = run({"acquire", "--frames", "1", "--output", scratch("frames.tif"), "--preview",
           missing_folder + ".png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find(" frames of "), std::string::npos) << "no acquisition: " << r.err;
  EXPECT_FALSE(std::ifstream(scratch("frames.tif")).good()) << "the check leaves no file behind";
}

TEST(qmxcam, an_unknown_command_is_a_usage_error) {
  const run_result r = run({"snapshot"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qmxcam: unknown command 'snapshot'; see 'qmxcam --help'\n");
}

TEST(qmxcam, an_unknown_camera_is_named_with_the_attached_ones) {
  const run_result r = run(
      {"acquire", "--camera", "QMXSIM-0099", "--frames", "1", "--output", scratch("never.tif")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qmxcam acquire: cannot open camera 'QMXSIM-0099': module result 9 (the "
                   "camera could not be opened); attached: QMXSIM-0001\n");
}

TEST(qmxcam, real_cameras_are_refused_where_no_driver_exists_for_them) {
  const run_result r = run({"list", "--hardware"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("qmxcam list: --hardware is not available here: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("Windows only"), std::string::npos) << r.err;
}

TEST(qmxcam, a_simulated_camera_option_with_real_cameras_is_a_usage_error) {
  run_result r = run({"acquire", "--hardware", "--frames", "1", "--sim-faults", "drop=0.1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qmxcam acquire: --sim-faults is for simulated cameras and cannot go with "
                   "--hardware; see 'qmxcam acquire --help'\n");
  r = run({"list", "--sim-cameras", "2", "--hardware"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--sim-cameras is for simulated cameras"), std::string::npos) << r.err;
}

TEST(qmxcam, every_command_has_help) {
  for (const char* command : {"list", "info", "get", "set", "cmd", "watch", "acquire"}) {
    const run_result r = run({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("Usage: qmxcam ") + command, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--help"), std::string::npos) << command;
  }
}

TEST(qmxcam, info_shows_geometry_speed_and_settings) {
  const run_result r = run({"info"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* line :
       {"camera: QMXSIM-0001\n", "image_width: 1280\n", "image_height: 1024\n", "hbin: 1\n",
        "vbin: 1\n", "acquisition_bytes_per_frame: 2626608\n", "usb_speed: USB 3.0\n",
        "roi: 0 0 1279 1023\n", "gain: 0\n", "fps: 0\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
  }
  EXPECT_NE(r.out.find("exposure_ms: "), std::string::npos) << r.out;
}

TEST(qmxcam, get_set_and_cmd_reach_the_second_camera) {
  run_result r = run({"get", "sernum", "--sim-cameras", "2", "--camera", "QMXSIM-0002"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "SIM00002\n");
  r = run({"cmd", "id", "--sim-cameras", "2", "--camera", "QMXSIM-0002"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "QMXSIM-0002\n");
  r = run({"set", "gain", "40"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
  r = run({"set", "hbin", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(qmxcam, a_refusal_by_the_camera_fails_with_its_reason) {
  run_result r = run({"set", "roi", "0", "0", "5", "5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("qmxcam set: the camera refused \"roi\": error: ", 0), 0u) << r.err;
  r = run({"get", "no_such_setting"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("qmxcam get: the camera refused \"no_such_setting\": error", 0), 0u)
      << r.err;
  r = run({"get"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("missing argument"), std::string::npos) << r.err;
}

TEST(qmxcam, a_failed_module_call_names_the_result_code_and_its_meaning) {
  // A command longer than the camera's 1024-byte buffer is refused by the module itself.
  const run_result r = run({"cmd", std::string(1100, 'x')});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("failed: module result 6 (bad argument or unknown key on the get side)"),
            std::string::npos)
      << r.err;
}

TEST(qmxcam, watch_prints_arrivals_and_removals_with_time_stamps) {
  const run_result r = run({"watch", "--sim-plug", "1", "--seconds", "5"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string first;
  std::string second;
  std::getline(lines, first);
  std::getline(lines, second);
  // "2026-01-01 12:00:00.000  arrived  QMXSIM-0002"
  ASSERT_GE(first.size(), 23u) << r.out;
  EXPECT_EQ(first[4], '-');
  EXPECT_EQ(first[19], '.');
  EXPECT_EQ(first.substr(23), "  arrived  QMXSIM-0002") << r.out;
  ASSERT_GE(second.size(), 23u) << r.out;
  EXPECT_EQ(second.substr(23), "  left     QMXSIM-0002") << r.out;
  EXPECT_FALSE(std::getline(lines, first)) << r.out;
}

std::size_t tiff_pages(const std::string& path);

TEST(qmxcam, an_unplug_during_an_acquisition_is_reported_and_fails) {
  const std::string file = scratch("unplugged.tif");
  const run_result r = run({"acquire", "--seconds", "60", "--sim-fps", "5", "--sim-unplug-after",
                            "1", "--output", file});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("qmxcam acquire: the camera QMXSIM-0001 was unplugged during the "
                        "acquisition; the files hold every frame taken before\n",
                        0),
            0u)
      << r.err;
  EXPECT_GE(tiff_pages(file), 1u) << "the frames taken before the unplug are in a complete file";
  std::remove(file.c_str());
}

TEST(qmxcam, an_interrupt_during_an_acquisition_stops_it_and_closes_the_camera) {
  const std::string file = scratch("interrupted.tif");
  run_options interrupt;
  interrupt.signal = SIGINT;
  interrupt.signal_after_ms = 2500;
  const run_result r =
      run({"acquire", "--seconds", "60", "--sim-fps", "5", "--output", file}, interrupt);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("qmxcam acquire: interrupted; the files hold every frame taken so far"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(" frames of 1280 x 1024 (binning 1x1) from QMXSIM-0001"), std::string::npos)
      << r.err;
  EXPECT_GE(tiff_pages(file), 1u) << "the frames taken before the interrupt are in a complete file";
  std::remove(file.c_str());
}

// One frame of a file qmxcam wrote, read back: its pixels and its metadata under the names of
// the TIFF description (camera, frame_counter, timestamp, roi, binning, exposure_ms); a FITS
// frame's keywords are given the same names and forms.
struct written_frame {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint16_t> pixels;
  std::map<std::string, std::string> metadata;
};

std::vector<written_frame> read_tiff(const std::string& path) {
  std::vector<written_frame> pages;
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) {
    return pages;
  }
  do {
    written_frame page;
    std::uint16_t bits = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    EXPECT_EQ(bits, 16);
    char* description = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description) == 1 && description != nullptr) {
      std::istringstream fields(description);
      std::string field;
      while (fields >> field) {
        const std::size_t equals = field.find('=');
        if (equals != std::string::npos) {
          page.metadata[field.substr(0, equals)] = field.substr(equals + 1);
        }
      }
    }
    char* date_time = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_DATETIME, &date_time) == 1 && date_time != nullptr) {
      page.metadata["tiff_date_time"] = date_time;
    }
    page.pixels.resize(std::size_t{page.width} * page.height);
    for (std::uint32_t row = 0; row < page.height; ++row) {
      EXPECT_EQ(TIFFReadScanline(tiff, page.pixels.data() + std::size_t{row} * page.width, row), 1);
    }
    pages.push_back(std::move(page));
  } while (TIFFReadDirectory(tiff) == 1);
  TIFFClose(tiff);
  return pages;
}

// Pages of a TIFF file that libtiff reads whole (0 when it cannot be opened).
std::size_t tiff_pages(const std::string& path) {
  return read_tiff(path).size();
}

// The image extensions of a FITS file (the primary array is empty), with their keywords in the
// TIFF description's names; a keyword that is missing leaves its name out.
std::vector<written_frame> read_fits(const std::string& path) {
  std::vector<written_frame> frames;
  fitsfile* fits = nullptr;
  int status = 0;
  if (fits_open_file(&fits, path.c_str(), READONLY, &status) != 0) {
    ADD_FAILURE() << "cfitsio cannot open " << path << ": status " << status;
    return frames;
  }
  int hdus = 0;
  fits_get_num_hdus(fits, &hdus, &status);
  for (int hdu = 2; hdu <= hdus && status == 0; ++hdu) {
    int type = 0;
    fits_movabs_hdu(fits, hdu, &type, &status);
    int dimensions = 0;
    long axes[2] = {};
    fits_get_img_dim(fits, &dimensions, &status);
    fits_get_img_size(fits, 2, axes, &status);
    EXPECT_EQ(dimensions, 2);
    written_frame frame;
    frame.width = static_cast<std::uint32_t>(axes[0]);
    frame.height = static_cast<std::uint32_t>(axes[1]);
    frame.pixels.resize(std::size_t{frame.width} * frame.height);
    fits_read_img(fits, TUSHORT, 1, static_cast<LONGLONG>(frame.pixels.size()), nullptr,
                  frame.pixels.data(), nullptr, &status);
    auto number = [&](const char* key, std::string& to) {
      unsigned long long value = 0;
      int key_status = 0;
      if (fits_read_key(fits, TULONGLONG, key, &value, nullptr, &key_status) != 0) {
        return false;
      }
      to = std::to_string(value);
      return true;
    };
    std::string text;
    if (number("FRAMECNT", text)) {
      frame.metadata["frame_counter"] = text;
    }
    if (number("TIMESTMP", text)) {
      frame.metadata["timestamp"] = text;
    }
    std::string corners[4];
    if (number("ROI_X1", corners[0]) && number("ROI_Y1", corners[1]) &&
        number("ROI_X2", corners[2]) && number("ROI_Y2", corners[3])) {
      frame.metadata["roi"] = corners[0] + "," + corners[1] + "," + corners[2] + "," + corners[3];
    }
    std::string vertical;
    if (number("XBINNING", text) && number("YBINNING", vertical)) {
      frame.metadata["binning"] = text + "x" + vertical;
    }
    double seconds = 0;
    int key_status = 0;
    if (fits_read_key(fits, TDOUBLE, "EXPTIME", &seconds, nullptr, &key_status) == 0) {
      char milliseconds[32];
      std::snprintf(milliseconds, sizeof milliseconds, "%g", seconds * 1000);
      frame.metadata["exposure_ms"] = milliseconds;
    }
    char camera[FLEN_VALUE] = {};
    key_status = 0;
    if (fits_read_key(fits, TSTRING, "CAMERA", camera, nullptr, &key_status) == 0) {
      frame.metadata["camera"] = camera;
    }
    if (number("GAIN", text)) {
      frame.metadata["gain"] = text;
    }
    char date[FLEN_VALUE] = {};
    key_status = 0;
    if (fits_read_key(fits, TSTRING, "DATE-OBS", date, nullptr, &key_status) == 0) {
      frame.metadata["utc"] = date;
    }
    frames.push_back(std::move(frame));
  }
  EXPECT_EQ(status, 0) << "cfitsio status reading " << path;
  fits_close_file(fits, &status);
  return frames;
}

// Seconds since the epoch of "YYYY-MM-DDTHH:MM:SS..." read as UTC.
std::time_t utc_seconds(const std::string& text) {
  std::tm parts{};
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
    return 0;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return timegm(&parts);
}

// Acquires three frames of the region 8,4 .. 263,131 with `bin` x `bin` binning and an exposure
// of 5 ms into a file of `format` (tiff or fits), reads it back with libtiff or cfitsio and
// checks every frame's metadata, and every pixel against the documented pattern,
// (frame * 37 + row * 3 + column) & 1023 in sensor coordinates, binned sums clamped to 1023,
// with the frame counter the frame's metadata gives.
void acquire_and_check(const std::string& format, std::uint32_t bin) {
  const std::string file = scratch("frames_" + std::to_string(bin) + "." + format);
  const std::string binning = std::to_string(bin) + "x" + std::to_string(bin);
  const run_result r =
      run({"acquire", "--frames", "3", "--roi", "8,4,263,131", "--bin", binning, "--exposure", "5",
           "--gain", "40", "--format", format, "--output", file, "--sim-fps", "200"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, file + "\n");
  const std::vector<written_frame> frames = format == "fits" ? read_fits(file) : read_tiff(file);
  ASSERT_EQ(frames.size(), 3u);
  std::uint64_t previous_counter = 0;
  std::uint64_t previous_timestamp = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const written_frame& frame = frames[i];
    ASSERT_EQ(frame.width, 256 / bin);
    ASSERT_EQ(frame.height, 128 / bin);
    std::map<std::string, std::string> metadata = frame.metadata;
    EXPECT_EQ(metadata["camera"], "QMXSIM-0001");
    EXPECT_EQ(metadata["roi"], "8,4,263,131");
    EXPECT_EQ(metadata["binning"], binning);
    EXPECT_EQ(metadata["exposure_ms"], "5");
    EXPECT_EQ(metadata["gain"], "40");
    // The wall-clock time (UTC) at which the frame was taken, to the millisecond; TIFF pages
    // also carry it, to the second, as their DateTime.
    EXPECT_TRUE(std::regex_match(metadata["utc"],
                                 std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:"
                                            "[0-6][0-9]\\.[0-9]{3}")))
        << metadata["utc"];
    EXPECT_LE(std::abs(std::difftime(utc_seconds(metadata["utc"]), std::time(nullptr))), 120.0)
        << metadata["utc"];
    if (format == "tiff") {
      std::string date = metadata["utc"].substr(0, 19);
      std::replace(date.begin(), date.begin() + 10, '-', ':');
      date[10] = ' ';
      EXPECT_EQ(metadata["tiff_date_time"], date);
    }
    ASSERT_EQ(metadata.count("frame_counter"), 1u) << "frame " << i;
    ASSERT_EQ(metadata.count("timestamp"), 1u) << "frame " << i;
    const std::uint64_t counter = std::stoull(metadata["frame_counter"]);
    const std::uint64_t timestamp = std::stoull(metadata["timestamp"]);
    EXPECT_NE(timestamp, 0u) << "frame " << i;
    if (i > 0) {
      EXPECT_GT(counter, previous_counter) << "frames are written in the order taken";
      EXPECT_GE(timestamp, previous_timestamp) << "frame " << i;
    }
    previous_counter = counter;
    previous_timestamp = timestamp;
    const auto pattern_frame = static_cast<std::uint32_t>(counter);
    for (std::uint32_t y = 0; y < frame.height; ++y) {
      for (std::uint32_t x = 0; x < frame.width; ++x) {
        std::uint32_t sum = 0;
        for (std::uint32_t dy = 0; dy < bin; ++dy) {
          for (std::uint32_t dx = 0; dx < bin; ++dx) {
            sum += (pattern_frame * 37 + (4 + y * bin + dy) * 3 + (8 + x * bin + dx)) & 1023;
          }
        }
        ASSERT_EQ(frame.pixels[std::size_t{y} * frame.width + x], std::min(sum, 1023u))
            << format << " frame " << counter << " row " << y << " column " << x;
      }
    }
  }
  std::remove(file.c_str());
}

TEST(qmxcam, acquired_tiff_frames_match_the_pattern_and_carry_their_metadata) {
  acquire_and_check("tiff", 1);
}

TEST(qmxcam, acquired_binned_tiff_frames_match_the_pattern) {
  acquire_and_check("tiff", 2);
}

TEST(qmxcam, acquired_fits_frames_match_the_pattern_and_carry_their_metadata) {
  acquire_and_check("fits", 1);
}

TEST(qmxcam, acquired_binned_fits_frames_match_the_pattern) {
  acquire_and_check("fits", 2);
}

TEST(qmxcam, version_names_the_program_and_the_module) {
  const run_result r = run({"--version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("^qmxcam [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
  EXPECT_NE(r.out.find("module ORBANITE_QMX_PAVIK_CAMERA_DEVICE version BUILD_VERSION"),
            std::string::npos)
      << r.out;
}

TEST(qmxcam, a_camera_is_found_by_its_serial_number_too) {
  run_result r = run({"get", "id", "--sim-cameras", "3", "--camera", "SIM00002"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "QMXSIM-0002\n");
  r = run({"get", "id", "--sim-cameras", "2", "--camera", "SIM00009"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open camera 'SIM00009'"), std::string::npos) << r.err;
}

} // namespace
