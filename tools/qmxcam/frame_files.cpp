// qmxcam, output (see frame_files.h): TIFF through libtiff, FITS through cfitsio, PNG through
// libpng, raw slots with the C library. Builds without the image libraries
// (QMXCAM_IMAGE_LIBRARIES 0) offer raw output only.
#include "tools/qmxcam/frame_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#if QMXCAM_IMAGE_LIBRARIES
#include <fitsio.h>
#include <png.h>
#include <tiffio.h>
#endif

namespace qmxcam {

std::string describe_frame(const frame_info& info) {
  std::ostringstream text;
  text << "camera=" << info.camera_id << " frame_counter=" << info.frame_counter
       << " timestamp=" << info.timestamp << " roi=" << info.roi_x1 << ',' << info.roi_y1 << ','
       << info.roi_x2 << ',' << info.roi_y2 << " binning=" << info.hbin << 'x' << info.vbin
       << " exposure_ms=" << info.exposure_ms;
  return text.str();
}

namespace {

// "frames.tif" and 7 give "frames_000007.tif".
std::string numbered_path(const std::string& path, std::uint64_t number) {
  const std::size_t slash = path.find_last_of("/\\");
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    dot = path.size();
  }
  char digits[32];
  std::snprintf(digits, sizeof digits, "_%06llu", static_cast<unsigned long long>(number));
  return path.substr(0, dot) + digits + path.substr(dot);
}

class raw_sink final : public frame_sink {
public:
  raw_sink(std::string path, bool per_frame) : path_(std::move(path)), per_frame_(per_frame) {}
  ~raw_sink() override { finish(); }

  bool write(const frame& f) override {
    if (!error_.empty()) {
      return false;
    }
    if (file_ == nullptr) {
      const std::string name = per_frame_ ? numbered_path(path_, count_) : path_;
      file_ = std::fopen(name.c_str(), "wb");
      if (file_ == nullptr) {
        error_ = "cannot create " + name;
        return false;
      }
      files_.push_back(name);
    }
    if (std::fwrite(f.slot.data(), 1, f.slot.size(), file_) != f.slot.size()) {
      error_ = "cannot write " + files_.back();
      return false;
    }
    ++count_;
    if (per_frame_) {
      return close_file();
    }
    return true;
  }

  bool finish() override { return close_file() && error_.empty(); }

private:
  bool close_file() {
    if (file_ != nullptr && std::fclose(file_) != 0 && error_.empty()) {
      error_ = "cannot complete " + files_.back();
    }
    file_ = nullptr;
    return error_.empty();
  }

  std::string path_;
  bool per_frame_;
  std::FILE* file_ = nullptr;
  std::uint64_t count_ = 0;
};

#if QMXCAM_IMAGE_LIBRARIES

class tiff_sink final : public frame_sink {
public:
  tiff_sink(std::string path, bool per_frame) : path_(std::move(path)), per_frame_(per_frame) {}
  ~tiff_sink() override { finish(); }

  bool write(const frame& f) override {
    if (!error_.empty()) {
      return false;
    }
    if (tiff_ == nullptr) {
      const std::string name = per_frame_ ? numbered_path(path_, count_) : path_;
      tiff_ = TIFFOpen(name.c_str(), "w");
      if (tiff_ == nullptr) {
        error_ = "cannot create " + name;
        return false;
      }
      files_.push_back(name);
    }
    const std::string description = describe_frame(f.info);
    TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, f.info.width);
    TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, f.info.height);
    TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff_, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff_, 0));
    TIFFSetField(tiff_, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    TIFFSetField(tiff_, TIFFTAG_SOFTWARE, "qmxcam");
    if (!per_frame_) {
      TIFFSetField(tiff_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    }
    for (std::uint32_t row = 0; row < f.info.height; ++row) {
      // libtiff takes a non-const row; it does not change it without compression.
      auto* line = const_cast<std::uint16_t*>(f.pixels.data() + std::size_t{row} * f.info.width);
      if (TIFFWriteScanline(tiff_, line, row, 0) < 0) {
        error_ = "cannot write " + files_.back();
        return false;
      }
    }
    // Each page's directory is written now, so the file holds whole frames at any moment.
    if (TIFFWriteDirectory(tiff_) == 0) {
      error_ = "cannot write " + files_.back();
      return false;
    }
    ++count_;
    if (per_frame_) {
      TIFFClose(tiff_);
      tiff_ = nullptr;
    }
    return true;
  }

  bool finish() override {
    if (tiff_ != nullptr) {
      TIFFClose(tiff_);
      tiff_ = nullptr;
    }
    return error_.empty();
  }

private:
  std::string path_;
  bool per_frame_;
  TIFF* tiff_ = nullptr;
  std::uint64_t count_ = 0;
};

class fits_sink final : public frame_sink {
public:
  fits_sink(std::string path, bool per_frame) : path_(std::move(path)), per_frame_(per_frame) {}
  ~fits_sink() override { finish(); }

  bool write(const frame& f) override {
    if (!error_.empty()) {
      return false;
    }
    int status = 0;
    if (fits_ == nullptr) {
      const std::string name = per_frame_ ? numbered_path(path_, count_) : path_;
      // "!" replaces an existing file.
      fits_create_file(&fits_, ("!" + name).c_str(), &status);
      // An empty primary array; every frame is an image extension after it.
      fits_create_img(fits_, USHORT_IMG, 0, nullptr, &status);
      if (status != 0) {
        return fail("cannot create " + name, status);
      }
      files_.push_back(name);
    }
    long axes[2] = {static_cast<long>(f.info.width), static_cast<long>(f.info.height)};
    fits_create_img(fits_, USHORT_IMG, 2, axes, &status);
    auto key_u = [&](const char* key, unsigned long value, const char* comment) {
      fits_write_key(fits_, TULONG, key, &value, comment, &status);
    };
    key_u("FRAMECNT", f.info.frame_counter, "camera frame counter");
    unsigned long long stamp = f.info.timestamp;
    fits_write_key(fits_, TULONGLONG, "TIMESTMP", &stamp, "camera time stamp (PCKH:PCKL)", &status);
    key_u("ROI_X1", f.info.roi_x1, "region, first sensor column");
    key_u("ROI_Y1", f.info.roi_y1, "region, first sensor row");
    key_u("ROI_X2", f.info.roi_x2, "region, last sensor column");
    key_u("ROI_Y2", f.info.roi_y2, "region, last sensor row");
    key_u("XBINNING", f.info.hbin, "horizontal binning");
    key_u("YBINNING", f.info.vbin, "vertical binning");
    double exposure = std::atof(f.info.exposure_ms.c_str()) / 1000.0;
    fits_write_key(fits_, TDOUBLE, "EXPTIME", &exposure, "exposure time, seconds", &status);
    fits_write_key(fits_, TSTRING, "CAMERA", const_cast<char*>(f.info.camera_id.c_str()),
                   "camera device ID", &status);
    fits_write_img(fits_, TUSHORT, 1, static_cast<LONGLONG>(f.pixels.size()),
                   const_cast<std::uint16_t*>(f.pixels.data()), &status);
    fits_flush_buffer(fits_, 0, &status);
    if (status != 0) {
      return fail("cannot write " + files_.back(), status);
    }
    ++count_;
    if (per_frame_) {
      fits_close_file(fits_, &status);
      fits_ = nullptr;
      if (status != 0) {
        return fail("cannot complete " + files_.back(), status);
      }
    }
    return true;
  }

  bool finish() override {
    if (fits_ != nullptr) {
      int status = 0;
      fits_close_file(fits_, &status);
      fits_ = nullptr;
      if (status != 0 && error_.empty()) {
        fail("cannot complete " + files_.back(), status);
      }
    }
    return error_.empty();
  }

private:
  bool fail(const std::string& what, int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    error_ = what + ": " + text;
    return false;
  }

  std::string path_;
  bool per_frame_;
  fitsfile* fits_ = nullptr;
  std::uint64_t count_ = 0;
};

#endif

} // namespace

bool format_available(file_format format) {
#if QMXCAM_IMAGE_LIBRARIES
  (void)format;
  return true;
#else
  return format == file_format::raw;
#endif
}

std::unique_ptr<frame_sink> make_frame_sink(file_format format, const std::string& path,
                                            bool per_frame) {
  switch (format) {
#if QMXCAM_IMAGE_LIBRARIES
  case file_format::tiff:
    return std::make_unique<tiff_sink>(path, per_frame);
  case file_format::fits:
    return std::make_unique<fits_sink>(path, per_frame);
#endif
  case file_format::raw:
    return std::make_unique<raw_sink>(path, per_frame);
  default:
    return nullptr;
  }
}

std::string first_file(const std::string& path, bool per_frame) {
  return per_frame ? numbered_path(path, 0) : path;
}

bool can_write_file(const std::string& path, std::string& error) {
  std::FILE* existing = std::fopen(path.c_str(), "rb");
  const bool existed = existing != nullptr;
  if (existing != nullptr) {
    std::fclose(existing);
  }
  // Appending changes nothing in a file that is there already.
  std::FILE* probe = std::fopen(path.c_str(), "ab");
  if (probe == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(probe);
  if (!existed) {
    std::remove(path.c_str());
  }
  return true;
}

bool write_preview_png(const std::string& path, const frame& f, std::string& error) {
#if QMXCAM_IMAGE_LIBRARIES
  if (f.pixels.empty()) {
    error = "no frame for the preview";
    return false;
  }
  std::vector<std::uint16_t> sorted = f.pixels;
  const std::size_t last = sorted.size() - 1;
  const std::size_t low_index = last / 200;
  const std::size_t high_index = last - last / 200;
  std::nth_element(sorted.begin(), sorted.begin() + low_index, sorted.end());
  const double low = sorted[low_index];
  std::nth_element(sorted.begin(), sorted.begin() + high_index, sorted.end());
  const double high = std::max(sorted[high_index] * 1.0, low + 1);
  std::vector<unsigned char> grey(f.pixels.size());
  for (std::size_t i = 0; i < grey.size(); ++i) {
    const double scaled = (f.pixels[i] - low) * 255.0 / (high - low);
    grey[i] = static_cast<unsigned char>(std::clamp(scaled + 0.5, 0.0, 255.0));
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = f.info.width;
  image.height = f.info.height;
  image.format = PNG_FORMAT_GRAY;
  if (png_image_write_to_file(&image, path.c_str(), 0, grey.data(), 0, nullptr) == 0) {
    error = "cannot write " + path + ": " + image.message;
    return false;
  }
  return true;
#else
  (void)f;
  error = "this build of qmxcam has no PNG writer; " + path + " not written";
  return false;
#endif
}

} // namespace qmxcam
