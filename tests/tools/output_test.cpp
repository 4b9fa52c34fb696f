// qmxcam's output, read back through the libraries users read it with: multi-page TIFF (classic
// and BigTIFF) and per-frame TIFF through libtiff, FITS through cfitsio where it is at hand (and
// its blocks and cards checked byte by byte everywhere), raw slots, the PNG preview through
// libpng; where the frames go (names of per-frame files, what is refused); the progress line.
#include "tools/qmxcam/frame_files.h"
#include "tools/qmxcam/json_text.h"
#include "tools/qmxcam/output_paths.h"
#include "tools/qmxcam/progress.h"

#include <gtest/gtest.h>

#if QMXCAM_TEST_CFITSIO
#include <fitsio.h>
#endif
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

using namespace qmxcam;
namespace fs = std::filesystem;

constexpr std::size_t tag_block_bytes = 48;

// One frame as the module leaves it in a slot: tag block, then the pattern of the simulated
// camera over a region at column 8, row 4, then stale bytes where calibration lines were.
struct test_frame {
  std::vector<unsigned char> slot;
  frame_view view;
};

acquisition_info test_run(std::uint32_t width, std::uint32_t height) {
  acquisition_info run;
  run.camera_id = "QMXSIM-0001";
  run.roi_x1 = 8;
  run.roi_y1 = 4;
  run.roi_x2 = 8 + width - 1;
  run.roi_y2 = 4 + height - 1;
  run.width = width;
  run.height = height;
  run.exposure_ms = "25";
  run.gain = "40";
  return run;
}

std::uint16_t pattern(std::uint32_t counter, std::uint32_t row, std::uint32_t column) {
  return static_cast<std::uint16_t>((counter * 37 + (row + 4) * 3 + (column + 8)) & 1023);
}

std::string file_bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

test_frame make_frame(const acquisition_info& run, std::uint32_t counter) {
  test_frame f;
  const std::size_t pixels = std::size_t{run.width} * run.height;
  f.slot.assign(tag_block_bytes + pixels * 2 + 2 * run.width * 2, 0xA5);
  std::memcpy(f.slot.data(), "QMX\0FCNT", 8);
  for (std::uint32_t r = 0; r < run.height; ++r) {
    for (std::uint32_t c = 0; c < run.width; ++c) {
      const std::uint16_t value = pattern(counter, r, c);
      std::memcpy(f.slot.data() + tag_block_bytes + 2 * (std::size_t{r} * run.width + c), &value,
                  2);
    }
  }
  f.view.run = &run;
  f.view.frame_counter = counter;
  f.view.timestamp = 0x0000000500000000ull + counter * 1000ull;
  f.view.taken = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123LL));
  f.view.slot = f.slot.data();
  f.view.slot_bytes = f.slot.size();
  f.view.pixels = reinterpret_cast<const std::uint16_t*>(f.slot.data() + tag_block_bytes);
  return f;
}

// Opens the outputs of `r` with no questions asked and no stop requested.
bool open(const output_request& r, opened_outputs& opened, std::string& error) {
  return open_outputs(
      r, opened, [](const std::string&) {}, [] { return false; }, error);
}

class output : public ::testing::Test {
protected:
  void SetUp() override {
    folder =
        fs::temp_directory_path() /
        ("qmxcam_output_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
    run = test_run(24, 6);
  }
  void TearDown() override { fs::remove_all(folder); }

  std::string path(const std::string& name) const { return (folder / name).string(); }

  // The writer for `request`, or null when its outputs could not be opened.
  static std::unique_ptr<frame_sink> open_sink(const output_request& request) {
    opened_outputs opened;
    std::string error;
    if (!open(request, opened, error)) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    return make_frame_sink(std::move(opened.destination));
  }

  // Writes frames 7, 8 and 10 through the writer for `request`; the files written.
  std::vector<std::string> write_frames(const output_request& request) {
    auto sink = open_sink(request);
    if (sink == nullptr) {
      return {};
    }
    for (std::uint32_t counter : {7u, 8u, 10u}) {
      frames.push_back(make_frame(run, counter));
      EXPECT_TRUE(sink->write(frames.back().view)) << sink->error();
    }
    EXPECT_TRUE(sink->finish());
    EXPECT_EQ(sink->error(), "");
    EXPECT_EQ(sink->frames_written(), 3u);
    return sink->files();
  }

  output_request request(const std::string& name, file_format format, bool per_frame = false) {
    output_request r;
    r.output = path(name);
    r.format = format;
    r.per_frame = per_frame;
    return r;
  }

  // The pages of a TIFF file, compared with `frames` from frame `first` on.
  std::size_t check_tiff(const std::string& file, std::size_t first) {
    TIFF* tiff = TIFFOpen(file.c_str(), "r");
    EXPECT_NE(tiff, nullptr) << file;
    if (tiff == nullptr) {
      return 0;
    }
    std::size_t pages = 0;
    do {
      const test_frame& f = frames.at(first + pages);
      std::uint32_t width = 0, height = 0;
      std::uint16_t bits = 0, samples = 0;
      TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
      TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
      TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
      TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
      EXPECT_EQ(width, run.width);
      EXPECT_EQ(height, run.height);
      EXPECT_EQ(bits, 16);
      EXPECT_EQ(samples, 1);
      char* description = nullptr;
      EXPECT_EQ(TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description), 1);
      EXPECT_EQ(std::string(description != nullptr ? description : ""), describe_frame(f.view));
      char* date_time = nullptr;
      EXPECT_EQ(TIFFGetField(tiff, TIFFTAG_DATETIME, &date_time), 1);
      EXPECT_EQ(std::string(date_time != nullptr ? date_time : ""), "2023:11:14 22:13:20");
      std::vector<std::uint16_t> row(width);
      for (std::uint32_t r = 0; r < height; ++r) {
        EXPECT_EQ(TIFFReadScanline(tiff, row.data(), r, 0), 1);
        for (std::uint32_t c = 0; c < width; ++c) {
          if (row[c] != pattern(f.view.frame_counter, r, c)) {
            ADD_FAILURE() << file << " page " << pages << " row " << r << " column " << c;
            TIFFClose(tiff);
            return pages;
          }
        }
      }
      ++pages;
    } while (TIFFReadDirectory(tiff) == 1);
    TIFFClose(tiff);
    return pages;
  }

  fs::path folder;
  acquisition_info run;
  std::vector<test_frame> frames;
};

// ---- Writers ----

TEST_F(output, multi_page_tiff_holds_every_frame_with_its_description_and_time) {
  const auto files = write_frames(request("frames.tif", file_format::tiff));
  ASSERT_EQ(files, std::vector<std::string>{path("frames.tif")});
  EXPECT_EQ(check_tiff(files[0], 0), 3u);
  EXPECT_EQ(describe_frame(frames[2].view),
            "camera=QMXSIM-0001 frame_counter=10 timestamp=21474846480 "
            "timestamp_unit=microseconds roi=8,4,31,9 binning=1x1 exposure_ms=25 gain=40 "
            "utc=2023-11-14T22:13:20.123");
  // Classic TIFF: "II", 42.
  std::ifstream in(files[0], std::ios::binary);
  char header[4] = {};
  in.read(header, 4);
  EXPECT_EQ(std::string(header, 4), std::string("II\x2a\0", 4));
}

TEST_F(output, bigtiff_is_written_when_asked_and_read_whole) {
  output_request r = request("big.tif", file_format::tiff);
  r.bigtiff = true;
  const auto files = write_frames(r);
  ASSERT_EQ(files.size(), 1u);
  std::ifstream in(files[0], std::ios::binary);
  char header[4] = {};
  in.read(header, 4);
  EXPECT_EQ(std::string(header, 4), std::string("II\x2b\0", 4)) << "BigTIFF: \"II\", 43";
  EXPECT_EQ(check_tiff(files[0], 0), 3u);
}

TEST(tiff_offsets, a_sequence_that_can_pass_4_gib_needs_bigtiff) {
  constexpr std::uint64_t full_frame = 1280 * 1024 * 2;
  EXPECT_FALSE(tiff_needs_64_bit_offsets(1, full_frame));
  EXPECT_FALSE(tiff_needs_64_bit_offsets(1600, full_frame)); // 4.19 GB: under 4 GiB
  EXPECT_TRUE(tiff_needs_64_bit_offsets(1700, full_frame));  // 4.46 GB
  EXPECT_TRUE(tiff_needs_64_bit_offsets(0, 16)) << "a run bounded by time only";
  EXPECT_FALSE(tiff_needs_64_bit_offsets(1000000, 64));
}

TEST_F(output, per_frame_tiff_writes_one_numbered_file_per_frame) {
  const auto files = write_frames(request("frames.tif", file_format::tiff, true));
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0], path("frames_000000.tif"));
  EXPECT_EQ(files[2], path("frames_000002.tif"));
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(check_tiff(files[i], i), 1u);
  }
}

// The value text of a header card, or "" when the HDU starting at `offset` has none.
std::string card_value(const std::string& bytes, std::size_t offset, const std::string& keyword) {
  for (std::size_t at = offset; at + 80 <= bytes.size(); at += 80) {
    const std::string card = bytes.substr(at, 80);
    if (card.rfind("END ", 0) == 0) {
      break;
    }
    std::string name = card.substr(0, 8);
    name.erase(name.find_last_not_of(' ') + 1);
    if (name == keyword && card.substr(8, 2) == "= ") {
      std::string value = card.substr(
          10, card.find(" / ") == std::string::npos ? std::string::npos : card.find(" / ") - 10);
      value.erase(0, value.find_first_not_of(' '));
      value.erase(value.find_last_not_of(' ') + 1);
      return value;
    }
  }
  return "";
}

TEST_F(output, fits_is_whole_blocks_of_cards_with_big_endian_offset_pixels) {
  const auto files = write_frames(request("frames.fits", file_format::fits));
  ASSERT_EQ(files.size(), 1u);
  const std::string bytes = file_bytes(files[0]);
  // An empty primary HDU (one block), then per frame one header block and the data's blocks.
  const std::size_t data_blocks = (24 * 6 * 2 + 2879) / 2880;
  ASSERT_EQ(bytes.size(), 2880 * (1 + 3 * (1 + data_blocks)));
  EXPECT_EQ(bytes.substr(0, 30), "SIMPLE  =                    T");
  EXPECT_EQ(card_value(bytes, 0, "NAXIS"), "0");
  EXPECT_EQ(card_value(bytes, 0, "DATE-OBS"), "'2023-11-14T22:13:20.123'");
  for (char c : bytes.substr(0, 2880)) {
    ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << "header bytes are printable ASCII";
  }
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t hdu = 2880 * (1 + i * (1 + data_blocks));
    EXPECT_EQ(bytes.substr(hdu, 20), "XTENSION= 'IMAGE   '");
    EXPECT_EQ(card_value(bytes, hdu, "BZERO"), "32768");
    EXPECT_EQ(card_value(bytes, hdu, "FRAMECNT"), std::to_string(frames[i].view.frame_counter));
    EXPECT_EQ(card_value(bytes, hdu, "EXPTIME"), "0.025");
    EXPECT_EQ(card_value(bytes, hdu, "GAIN"), "40");
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data() + hdu + 2880);
    for (std::uint32_t p = 0; p < 24 * 6; ++p) {
      const int stored = static_cast<std::int16_t>((data[2 * p] << 8) | data[2 * p + 1]);
      ASSERT_EQ(stored + 32768, pattern(frames[i].view.frame_counter, p / 24, p % 24));
    }
  }
}

#if QMXCAM_TEST_CFITSIO
TEST_F(output, cfitsio_reads_every_frame_and_its_keywords) {
  const auto files = write_frames(request("frames.fits", file_format::fits));
  fitsfile* fits = nullptr;
  int status = 0;
  fits_open_diskfile(&fits, files.at(0).c_str(), READONLY, &status);
  ASSERT_EQ(status, 0);
  int hdus = 0;
  fits_get_num_hdus(fits, &hdus, &status);
  EXPECT_EQ(hdus, 4); // an empty primary array and three image extensions
  for (int i = 0; i < 3; ++i) {
    const frame_view& f = frames[static_cast<std::size_t>(i)].view;
    int type = 0;
    fits_movabs_hdu(fits, i + 2, &type, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(type, IMAGE_HDU);
    long axes[2] = {};
    int dimensions = 0;
    fits_get_img_dim(fits, &dimensions, &status);
    fits_get_img_size(fits, 2, axes, &status);
    EXPECT_EQ(dimensions, 2);
    EXPECT_EQ(axes[0], 24);
    EXPECT_EQ(axes[1], 6);
    unsigned long counter = 0, xbin = 0, y1 = 0, gain = 0;
    unsigned long long stamp = 0;
    double exposure = 0;
    char date[FLEN_VALUE] = {};
    char camera[FLEN_VALUE] = {};
    fits_read_key(fits, TULONG, "FRAMECNT", &counter, nullptr, &status);
    fits_read_key(fits, TULONGLONG, "TIMESTMP", &stamp, nullptr, &status);
    fits_read_key(fits, TULONG, "XBINNING", &xbin, nullptr, &status);
    fits_read_key(fits, TULONG, "ROI_Y1", &y1, nullptr, &status);
    fits_read_key(fits, TULONG, "GAIN", &gain, nullptr, &status);
    fits_read_key(fits, TDOUBLE, "EXPTIME", &exposure, nullptr, &status);
    fits_read_key(fits, TSTRING, "DATE-OBS", date, nullptr, &status);
    fits_read_key(fits, TSTRING, "CAMERA", camera, nullptr, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(counter, f.frame_counter);
    EXPECT_EQ(stamp, f.timestamp);
    EXPECT_EQ(xbin, 1u);
    EXPECT_EQ(y1, 4u);
    EXPECT_EQ(gain, 40u);
    EXPECT_DOUBLE_EQ(exposure, 0.025);
    EXPECT_STREQ(date, "2023-11-14T22:13:20.123");
    EXPECT_STREQ(camera, "QMXSIM-0001");
    std::vector<std::uint16_t> pixels(24 * 6);
    int any_null = 0;
    fits_read_img(fits, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(),
                  &any_null, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(std::memcmp(pixels.data(), f.pixels, pixels.size() * 2), 0);
  }
  fits_close_file(fits, &status);
}
#endif

TEST_F(output, raw_output_is_the_slots_one_after_another) {
  const auto files = write_frames(request("frames.raw", file_format::raw));
  ASSERT_EQ(files.size(), 1u);
  std::string expected;
  for (const test_frame& f : frames) {
    expected.append(reinterpret_cast<const char*>(f.slot.data()), f.slot.size());
  }
  EXPECT_EQ(file_bytes(files[0]), expected);
}

#if !defined(_WIN32)
// A file that cannot take a whole frame (here: a file size limit, as a full disk would) keeps the
// frames written before it, whole: the part of the failed frame that reached it is cut off again,
// and a per-frame file that fails is removed.
TEST_F(output, a_frame_the_file_cannot_take_is_cut_off_again) {
  run = test_run(256, 64); // 32 KiB of pixels: every page reaches the file as it is written
  struct sigaction ignore {};
  struct sigaction saved_action {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &saved_action), 0);
  rlimit saved_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
  for (const file_format format : {file_format::raw, file_format::fits, file_format::tiff}) {
    SCOPED_TRACE(static_cast<int>(format));
    frames.clear();
    // The same two frames with no limit, for the size two whole frames take.
    const std::string whole = path("two" + std::to_string(static_cast<int>(format)));
    std::uint64_t two_frames = 0;
    {
      auto sink = open_sink(request(fs::path(whole).filename().string(), format));
      ASSERT_NE(sink, nullptr);
      for (std::uint32_t counter : {7u, 8u}) {
        frames.push_back(make_frame(run, counter));
        ASSERT_TRUE(sink->write(frames.back().view)) << sink->error();
      }
      ASSERT_TRUE(sink->finish());
      two_frames = fs::file_size(whole);
    }
    const std::string cut = path("cut" + std::to_string(static_cast<int>(format)));
    auto sink = open_sink(request(fs::path(cut).filename().string(), format));
    ASSERT_NE(sink, nullptr);
    rlimit limited = saved_limit;
    limited.rlim_cur = two_frames + 256 * 64; // room for half of a third frame
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    EXPECT_TRUE(sink->write(frames[0].view)) << sink->error();
    EXPECT_TRUE(sink->write(frames[1].view)) << sink->error();
    frames.push_back(make_frame(run, 10));
    const bool third = sink->write(frames.back().view);
    sink->finish();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    EXPECT_FALSE(third);
    EXPECT_NE(sink->error(), "");
    EXPECT_EQ(sink->frames_written(), 2u);
    if (format == file_format::tiff) {
      EXPECT_EQ(check_tiff(cut, 0), 2u) << "the pages written whole";
    }
    EXPECT_EQ(file_bytes(cut), file_bytes(whole))
        << "the two frames written whole, as a file of two frames holds them";

    // One frame per file, with room for less than one: the file begun is removed.
    auto single = open_sink(request("single", format, true));
    ASSERT_NE(single, nullptr);
    limited.rlim_cur = 256 * 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = single->write(frames[0].view);
    single->finish();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    EXPECT_FALSE(written);
    EXPECT_TRUE(single->files().empty());
    for (const auto& entry : fs::directory_iterator(folder)) {
      EXPECT_NE(entry.path().filename().string().rfind("single", 0), 0u)
          << entry.path() << ": nothing is left of the frame that failed";
    }
  }
  sigaction(SIGXFSZ, &saved_action, nullptr);
}
#endif

TEST_F(output, png_preview_stretches_the_frame_onto_the_full_grey_range) {
  run = test_run(64, 40);
  const test_frame f = make_frame(run, 3);
  output_file file;
  ASSERT_TRUE(file.create(path("preview.png"))) << file.error();
  std::string error;
  ASSERT_TRUE(write_preview_png(file, f.view, error)) << error;
  ASSERT_TRUE(file.close());
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&image, path("preview.png").c_str()), 0);
  image.format = PNG_FORMAT_GRAY;
  EXPECT_EQ(image.width, 64u);
  EXPECT_EQ(image.height, 40u);
  std::vector<unsigned char> grey(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr), 0);
  ASSERT_EQ(grey.size(), 64u * 40u);
  EXPECT_EQ(*std::min_element(grey.begin(), grey.end()), 0);
  EXPECT_EQ(*std::max_element(grey.begin(), grey.end()), 255);
  // The stretch keeps the order of the pixel values.
  for (std::size_t i = 0; i < grey.size(); ++i) {
    for (std::size_t j : {std::size_t{0}, grey.size() / 2, grey.size() - 1}) {
      if (f.view.pixels[i] < f.view.pixels[j]) {
        ASSERT_LE(grey[i], grey[j]) << i << " " << j;
      }
    }
  }
}

// ---- Where the frames go ----

TEST_F(output, per_frame_names_come_from_a_folder_or_a_name_pattern) {
  struct named {
    std::string output;
    file_format format;
    std::string first;
  };
  fs::create_directories(folder / "night");
  for (const named& n : {named{"night", file_format::fits, "night/frame_000000.fits"},
                         named{"night/", file_format::tiff, "night/frame_000000.tif"},
                         named{"shot", file_format::tiff, "shot_000000.tif"},
                         named{"shot.TIFF", file_format::tiff, "shot_000000.TIFF"},
                         named{"shot.fits", file_format::raw, "shot.fits_000000.raw"}}) {
    opened_outputs opened;
    std::string error;
    ASSERT_TRUE(open(request(n.output, n.format, true), opened, error))
        << n.output << ": " << error;
    EXPECT_EQ(fs::path(opened.output_path), fs::path(path(n.first))) << n.output;
    EXPECT_EQ(opened.destination.numbered(12).substr(opened.destination.folder.size()),
              opened.destination.prefix + "_000012" + opened.destination.extension);
    discard_unwritten(opened, false);
    EXPECT_FALSE(fs::exists(path(n.first))) << "an unwritten file it created is removed";
  }
}

TEST_F(output, what_must_not_be_destroyed_is_refused_and_nothing_is_left_behind) {
  std::ofstream(path("kept.tif")) << "earlier";
  opened_outputs opened;
  std::string error;
  EXPECT_FALSE(open(request("kept.tif", file_format::tiff), opened, error));
  EXPECT_EQ(error, path("kept.tif") + " exists; give --overwrite to replace it");
  output_request to_folder = request("", file_format::tiff);
  to_folder.output = folder.string();
  opened_outputs folder_outputs;
  EXPECT_FALSE(open(to_folder, folder_outputs, error));
  EXPECT_NE(error.find("is a folder; give --per-frame"), std::string::npos) << error;
  output_request nowhere = request("no_such_folder/x.tif", file_format::tiff, true);
  opened_outputs none;
  EXPECT_FALSE(open(nowhere, none, error));
  EXPECT_NE(error.find("no such folder"), std::string::npos) << error;
  // A preview that is the output under another name (a second link to the file) is refused
  // before the output, given with --overwrite, is emptied.
  std::ofstream(path("frames.tif")) << "earlier";
  fs::create_hard_link(path("frames.tif"), path("alias.png"));
  output_request same = request("frames.tif", file_format::tiff);
  same.overwrite = true;
  same.preview = path("alias.png");
  opened_outputs both;
  EXPECT_FALSE(open(same, both, error));
  EXPECT_NE(error.find("the same file"), std::string::npos) << error;
  discard_unwritten(both, false);
  both.destination.first.close();
  EXPECT_EQ(file_bytes(path("frames.tif")), "earlier");
}

TEST(output_request, names_that_need_no_file_system_are_checked_with_the_usage) {
  output_request r;
  r.output = "-";
  r.format = file_format::fits;
  EXPECT_NE(check_output_request(r).find("standard output"), std::string::npos);
  r.format = file_format::raw;
  EXPECT_EQ(check_output_request(r), "");
  r.per_frame = true;
  EXPECT_NE(check_output_request(r), "");
  r = output_request{};
  r.output = "a.tif";
  r.preview = "a.tif";
  EXPECT_EQ(check_output_request(r), "--output and --preview name the same file (a.tif)");
  r.output = "";
  EXPECT_EQ(check_output_request(r), "--output needs a file name");
}

// ---- Progress ----

TEST(progress, the_line_never_reaches_the_last_column_of_any_terminal) {
  progress_snapshot s;
  s.elapsed_seconds = 3725.4;
  s.frames = 123456;
  s.frame_limit = 1000000;
  s.frames_per_second = 1712.3;
  s.bytes_per_second = 4.48e9;
  s.frames_missing = 17;
  s.drops = read_drop_counts("frames_delivered=9 packets_seen=99 dropped_disorder=3 "
                             "dropped_bad_magic=0 dropped_overwritten=14 dropped_no_slot=0");
  EXPECT_EQ(progress_line(s, 200), "1:02:05  123456/1000000 frames 12%  1712.3 fps  4480 MB/s  "
                                   "missing 17, dropped 17 (disorder 3, overwritten 14)");
  for (int columns = 2; columns <= 200; ++columns) {
    const std::string line = progress_line(s, columns);
    ASSERT_LT(line.size(), static_cast<std::size_t>(columns)) << columns << ": " << line;
    EXPECT_EQ(line.substr(0, std::min<std::size_t>(line.size(), 7)),
              std::string("1:02:05").substr(0, std::min<std::size_t>(line.size(), 7)))
        << "the elapsed time goes last";
  }
  EXPECT_EQ(progress_line(s, 80).size() < 80, true);
  EXPECT_NE(progress_line(s, 80).find("fps"), std::string::npos) << progress_line(s, 80);
}

TEST(progress, the_limit_reached_first_is_the_one_shown) {
  progress_snapshot s;
  s.elapsed_seconds = 30;
  s.frames = 100;
  s.frame_limit = 1000;
  s.second_limit = 60;
  EXPECT_NE(progress_line(s, 200).find("100 frames 30/60 s 50%"), std::string::npos)
      << progress_line(s, 200);
  s.frames = 900;
  EXPECT_NE(progress_line(s, 200).find("900/1000 frames 90%"), std::string::npos);
  s.frame_limit = 0;
  s.second_limit = 0;
  EXPECT_NE(plain_progress_line(s).find("progress 0:30  900 frames  0.0 fps"), std::string::npos)
      << plain_progress_line(s);
}

TEST(progress, rates_come_from_the_last_window_only) {
  rate_window rates(std::chrono::seconds(1));
  const auto start = std::chrono::steady_clock::time_point{};
  // 10 frames per second for 5 s, then 100 per second.
  std::uint64_t frames = 0;
  for (int tick = 0; tick <= 60; ++tick) {
    rates.add(start + std::chrono::milliseconds(100 * tick), frames, frames * 1000);
    frames += tick < 50 ? 1 : 10;
  }
  EXPECT_NEAR(rates.frames_per_second(), 100, 1);
  EXPECT_NEAR(rates.bytes_per_second(), 100000, 1000);
}

TEST(json_text, strings_are_escaped_and_numbers_kept) {
  EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(json_number_or_string("1280"), "1280");
  EXPECT_EQ(json_number_or_string("-2.5"), "-2.5");
  EXPECT_EQ(json_number_or_string("USB 3.0"), "\"USB 3.0\"");
  EXPECT_EQ(json_number_or_string(""), "null");
  json_object o;
  o.add("n", 3);
  o.add("ok", true);
  o.add("s", "x");
  EXPECT_EQ(o.text(), "{\"n\":3,\"ok\":true,\"s\":\"x\"}");
}

} // namespace
