// qmxcam's output: frames written as multi-page and per-frame TIFF, FITS with one image
// extension per frame, raw slots and a PNG preview, read back with libtiff, cfitsio and libpng;
// the writing thread's bounded queue and its count of frames not written.
#include "tools/qmxcam/frame_files.h"
#include "tools/qmxcam/write_queue.h"

#include <gtest/gtest.h>

#include <fitsio.h>
#include <png.h>
#include <tiffio.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace {

using namespace qmxcam;
namespace fs = std::filesystem;

// A frame whose pixels follow the simulated camera's pattern over a region at (x1, y1).
frame pattern_frame(std::uint32_t counter, std::uint32_t width, std::uint32_t height) {
  frame f;
  f.info.frame_counter = counter;
  f.info.timestamp = 0x0000000500000000ull + counter * 1000ull;
  f.info.roi_x1 = 8;
  f.info.roi_y1 = 4;
  f.info.roi_x2 = 8 + width - 1;
  f.info.roi_y2 = 4 + height - 1;
  f.info.exposure_ms = "25";
  f.info.camera_id = "QMXSIM-0001";
  f.info.width = width;
  f.info.height = height;
  f.pixels.resize(std::size_t{width} * height);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width; ++c) {
      f.pixels[std::size_t{r} * width + c] =
          static_cast<std::uint16_t>((counter * 37 + (r + 4) * 3 + (c + 8)) & 1023);
    }
  }
  f.slot.assign(48 + f.pixels.size() * 2, static_cast<unsigned char>(counter));
  return f;
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
  }
  void TearDown() override { fs::remove_all(folder); }

  std::vector<frame> write_frames(file_format format, const std::string& name, bool per_frame,
                                  std::vector<std::string>& files) {
    std::vector<frame> frames;
    auto sink = make_frame_sink(format, (folder / name).string(), per_frame);
    for (std::uint32_t counter : {7u, 8u, 10u}) {
      frames.push_back(pattern_frame(counter, 24, 6));
      EXPECT_TRUE(sink->write(frames.back()));
    }
    EXPECT_TRUE(sink->finish());
    EXPECT_EQ(sink->error(), "");
    files = sink->files();
    return frames;
  }

  // The pages of a TIFF file, compared with `expected` from page `first` on.
  static std::size_t check_tiff(const std::string& file, const std::vector<frame>& expected,
                                std::size_t first) {
    TIFF* tiff = TIFFOpen(file.c_str(), "r");
    EXPECT_NE(tiff, nullptr) << file;
    if (tiff == nullptr) {
      return 0;
    }
    std::size_t pages = 0;
    do {
      const frame& f = expected.at(first + pages);
      std::uint32_t width = 0, height = 0;
      std::uint16_t bits = 0, samples = 0;
      TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
      TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
      TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
      TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
      EXPECT_EQ(width, f.info.width);
      EXPECT_EQ(height, f.info.height);
      EXPECT_EQ(bits, 16);
      EXPECT_EQ(samples, 1);
      char* description = nullptr;
      EXPECT_EQ(TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description), 1);
      const std::string text = description != nullptr ? description : "";
      EXPECT_EQ(text, describe_frame(f.info));
      EXPECT_NE(text.find("frame_counter=" + std::to_string(f.info.frame_counter)),
                std::string::npos);
      std::vector<std::uint16_t> image;
      std::vector<std::uint16_t> row(width);
      for (std::uint32_t r = 0; r < height; ++r) {
        EXPECT_EQ(TIFFReadScanline(tiff, row.data(), r, 0), 1);
        image.insert(image.end(), row.begin(), row.end());
      }
      EXPECT_EQ(image, f.pixels) << file << " page " << pages;
      ++pages;
    } while (TIFFReadDirectory(tiff) == 1);
    TIFFClose(tiff);
    return pages;
  }

  fs::path folder;
};

TEST_F(output, multi_page_tiff_holds_every_frame_with_its_description) {
  std::vector<std::string> files;
  const auto frames = write_frames(file_format::tiff, "frames.tif", false, files);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(check_tiff(files[0], frames, 0), 3u);
  const std::string text = describe_frame(frames[2].info);
  EXPECT_EQ(text, "camera=QMXSIM-0001 frame_counter=10 timestamp=21474846480 roi=8,4,31,9 "
                  "binning=1x1 exposure_ms=25");
}

TEST_F(output, per_frame_tiff_writes_one_numbered_file_per_frame) {
  std::vector<std::string> files;
  const auto frames = write_frames(file_format::tiff, "frames.tif", true, files);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(fs::path(files[0]).filename(), "frames_000000.tif");
  EXPECT_EQ(fs::path(files[2]).filename(), "frames_000002.tif");
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(check_tiff(files[i], frames, i), 1u);
  }
}

TEST_F(output, fits_has_one_image_extension_per_frame_with_its_keywords) {
  std::vector<std::string> files;
  const auto frames = write_frames(file_format::fits, "frames.fits", false, files);
  ASSERT_EQ(files.size(), 1u);
  fitsfile* fits = nullptr;
  int status = 0;
  fits_open_file(&fits, files[0].c_str(), READONLY, &status);
  ASSERT_EQ(status, 0);
  int hdus = 0;
  fits_get_num_hdus(fits, &hdus, &status);
  EXPECT_EQ(hdus, 4); // an empty primary array and three image extensions
  for (int i = 0; i < 3; ++i) {
    const frame& f = frames[static_cast<std::size_t>(i)];
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
    unsigned long counter = 0, xbin = 0, y1 = 0;
    unsigned long long stamp = 0;
    double exposure = 0;
    fits_read_key(fits, TULONG, "FRAMECNT", &counter, nullptr, &status);
    fits_read_key(fits, TULONGLONG, "TIMESTMP", &stamp, nullptr, &status);
    fits_read_key(fits, TULONG, "XBINNING", &xbin, nullptr, &status);
    fits_read_key(fits, TULONG, "ROI_Y1", &y1, nullptr, &status);
    fits_read_key(fits, TDOUBLE, "EXPTIME", &exposure, nullptr, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(counter, f.info.frame_counter);
    EXPECT_EQ(stamp, f.info.timestamp);
    EXPECT_EQ(xbin, 1u);
    EXPECT_EQ(y1, 4u);
    EXPECT_DOUBLE_EQ(exposure, 0.025);
    std::vector<std::uint16_t> pixels(f.pixels.size());
    int any_null = 0;
    fits_read_img(fits, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(),
                  &any_null, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(pixels, f.pixels);
  }
  fits_close_file(fits, &status);
}

TEST_F(output, raw_output_is_the_slots_one_after_another) {
  std::vector<std::string> files;
  const auto frames = write_frames(file_format::raw, "frames.raw", false, files);
  ASSERT_EQ(files.size(), 1u);
  std::ifstream in(files[0], std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  std::vector<unsigned char> expected;
  for (const frame& f : frames) {
    expected.insert(expected.end(), f.slot.begin(), f.slot.end());
  }
  EXPECT_EQ(bytes, expected);
}

TEST_F(output, png_preview_stretches_the_frame_onto_the_full_grey_range) {
  const frame f = pattern_frame(3, 64, 40);
  std::string error;
  const std::string file = (folder / "preview.png").string();
  ASSERT_TRUE(write_preview_png(file, f, error)) << error;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&image, file.c_str()), 0);
  image.format = PNG_FORMAT_GRAY;
  EXPECT_EQ(image.width, 64u);
  EXPECT_EQ(image.height, 40u);
  std::vector<unsigned char> grey(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr), 0);
  ASSERT_EQ(grey.size(), f.pixels.size());
  EXPECT_EQ(*std::min_element(grey.begin(), grey.end()), 0);
  EXPECT_EQ(*std::max_element(grey.begin(), grey.end()), 255);
  // The stretch keeps the order of the pixel values.
  for (std::size_t i = 0; i < grey.size(); ++i) {
    for (std::size_t j : {std::size_t{0}, grey.size() / 2, grey.size() - 1}) {
      if (f.pixels[i] < f.pixels[j]) {
        ASSERT_LE(grey[i], grey[j]) << i << " " << j;
      }
    }
  }
}

TEST_F(output, a_preview_of_no_frame_is_refused) {
  frame empty;
  std::string error;
  EXPECT_FALSE(write_preview_png((folder / "none.png").string(), empty, error));
  EXPECT_EQ(error, "no frame for the preview");
}

TEST_F(output, a_file_that_cannot_be_created_fails_with_its_name) {
  auto sink = make_frame_sink(file_format::raw, (folder / "no_such_dir" / "x.raw").string(), false);
  EXPECT_FALSE(sink->write(pattern_frame(1, 8, 2)));
  EXPECT_NE(sink->error().find("cannot create"), std::string::npos);
  EXPECT_NE(sink->error().find("x.raw"), std::string::npos);
}

// A sink that holds its first write until released, and records what it was given.
class held_sink final : public frame_sink {
public:
  bool write(const frame& f) override {
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [this] { return released; });
    counters.push_back(f.info.frame_counter);
    return !fail;
  }
  bool finish() override {
    finished = true;
    return true;
  }
  void wait_entered() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return entered; });
  }
  void release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
  bool fail = false;
  bool finished = false;
  std::vector<std::uint32_t> counters;
};

TEST(write_queue_test, a_full_queue_counts_frames_as_not_written_without_waiting) {
  held_sink sink;
  write_queue queue(sink, 2);
  EXPECT_TRUE(queue.push(pattern_frame(1, 4, 1)));
  sink.wait_entered(); // the writer holds frame 1; the queue is empty again
  EXPECT_TRUE(queue.push(pattern_frame(2, 4, 1)));
  EXPECT_TRUE(queue.push(pattern_frame(3, 4, 1)));
  EXPECT_FALSE(queue.push(pattern_frame(4, 4, 1)));
  EXPECT_EQ(queue.queued(), 2u);
  sink.release();
  queue.finish();
  EXPECT_TRUE(sink.finished);
  EXPECT_EQ(queue.written(), 3u);
  EXPECT_EQ(queue.not_written(), 1u);
  EXPECT_EQ(sink.counters, (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST(write_queue_test, a_failing_sink_counts_its_frame_and_every_later_one_as_not_written) {
  held_sink sink;
  sink.fail = true;
  write_queue queue(sink, 8);
  EXPECT_TRUE(queue.push(pattern_frame(1, 4, 1)));
  sink.wait_entered();
  EXPECT_TRUE(queue.push(pattern_frame(2, 4, 1)));
  sink.release();
  queue.finish();
  EXPECT_FALSE(queue.push(pattern_frame(3, 4, 1)));
  EXPECT_EQ(queue.written(), 0u);
  EXPECT_EQ(queue.not_written(), 3u);
}

} // namespace
