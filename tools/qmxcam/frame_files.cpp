// qmxcam, output (see frame_files.h): what every format shares, the raw writer (the slots as
// the module filled them), the choice of writer, and the PNG preview through libpng. Builds
// without the image libraries (QMXCAM_IMAGE_LIBRARIES 0) offer raw output only.
#include "tools/qmxcam/frame_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#if QMXCAM_IMAGE_LIBRARIES
#include <png.h>
#endif

namespace qmxcam {

std::string utc_text(std::chrono::system_clock::time_point time) {
  const auto since_epoch = time.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds).count();
  const std::tm calendar = utc_calendar(static_cast<std::time_t>(seconds.count()));
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", calendar.tm_year + 1900,
                calendar.tm_mon + 1, calendar.tm_mday, calendar.tm_hour, calendar.tm_min,
                calendar.tm_sec, static_cast<int>(milliseconds));
  return text;
}

std::string describe_frame(const frame_view& f) {
  const acquisition_info& run = *f.run;
  std::ostringstream text;
  text << "camera=" << run.camera_id << " frame_counter=" << f.frame_counter
       << " timestamp=" << f.timestamp << " timestamp_unit=" << timestamp_unit
       << " roi=" << run.roi_x1 << ',' << run.roi_y1 << ',' << run.roi_x2 << ',' << run.roi_y2
       << " binning=" << run.hbin << 'x' << run.vbin << " exposure_ms=" << run.exposure_ms;
  if (!run.gain.empty()) {
    text << " gain=" << run.gain;
  }
  text << " utc=" << utc_text(f.taken);
  return text.str();
}

const char* format_name(file_format format) {
  switch (format) {
  case file_format::tiff:
    return "tiff";
  case file_format::fits:
    return "fits";
  default:
    return "raw";
  }
}

const char* format_extension(file_format format) {
  switch (format) {
  case file_format::tiff:
    return ".tif";
  case file_format::fits:
    return ".fits";
  default:
    return ".raw";
  }
}

bool extension_of(file_format format, const std::string& extension) {
  std::string lower = extension;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  switch (format) {
  case file_format::tiff:
    return lower == ".tif" || lower == ".tiff";
  case file_format::fits:
    return lower == ".fits" || lower == ".fit" || lower == ".fts";
  default:
    return lower == ".raw";
  }
}

bool format_available(file_format format) {
#if QMXCAM_IMAGE_LIBRARIES
  (void)format;
  return true;
#else
  // FITS is written by qmxcam's own code; TIFF needs libtiff.
  return format != file_format::tiff;
#endif
}

bool preview_available() {
  return QMXCAM_IMAGE_LIBRARIES != 0;
}

std::string frame_destination::numbered(std::uint64_t number) const {
  char digits[32];
  std::snprintf(digits, sizeof digits, "_%06llu", static_cast<unsigned long long>(number));
  return folder + prefix + digits + extension;
}

bool frame_sink::next_file(frame_destination& destination, output_file& file) {
  if (written_ == 0) {
    file = std::move(destination.first);
  } else if (!file.create(destination.numbered(written_))) {
    return fail(file.error());
  }
  files_.push_back(file.path());
  return true;
}

bool frame_sink::take_back_frame(const frame_destination& destination, output_file& file,
                                 std::uint64_t committed) {
  if (destination.per_frame) {
    file.close();
    std::string ignored;
    remove_file(file.path(), ignored);
    files_.pop_back();
    return false;
  }
  if (!file.seekable()) {
    return false;
  }
  file.truncate(static_cast<std::int64_t>(committed));
  return true;
}

bool frame_sink::close_last(output_file& file) {
  if (!file.close()) {
    fail(file.error());
  }
  return error_.empty();
}

bool tiff_needs_64_bit_offsets(std::uint64_t pages, std::uint64_t image_bytes) {
  // Each page also takes its directory and tags (well under 4 KiB); classic TIFF addresses
  // 4 GiB with 32-bit offsets. A little room is kept for the header and rounding.
  constexpr std::uint64_t classic_limit = (std::uint64_t{1} << 32) - (std::uint64_t{1} << 20);
  constexpr std::uint64_t page_overhead = 4096;
  return pages == 0 || pages > classic_limit / (image_bytes + page_overhead);
}

namespace {

// Raw output: each slot exactly as the module filled it, one after another.
class raw_sink final : public frame_sink {
public:
  explicit raw_sink(frame_destination&& destination) : destination_(std::move(destination)) {}
  ~raw_sink() override { finish(); }

  bool write(const frame_view& f) override {
    if (!error_.empty()) {
      return false;
    }
    if ((destination_.per_frame || written_ == 0) && !next_file(destination_, file_)) {
      return false;
    }
    if (!file_.write(f.slot, f.slot_bytes)) {
      // Whole slots only: what part of this one reached the file is cut off again.
      const std::string reason = file_.error();
      take_back_frame(destination_, file_, committed_);
      return fail(reason);
    }
    committed_ += f.slot_bytes;
    ++written_;
    if (destination_.per_frame && !file_.close()) {
      return fail(file_.error());
    }
    return true;
  }

  bool finish() override { return close_last(file_); }

private:
  frame_destination destination_;
  output_file file_;
  std::uint64_t committed_ = 0;
};

} // namespace

std::unique_ptr<frame_sink> make_raw_sink(frame_destination&& destination) {
  return std::make_unique<raw_sink>(std::move(destination));
}

std::unique_ptr<frame_sink> make_frame_sink(frame_destination&& destination) {
  switch (destination.format) {
  case file_format::tiff:
    return make_tiff_sink(std::move(destination));
  case file_format::fits:
    return make_fits_sink(std::move(destination));
  default:
    return make_raw_sink(std::move(destination));
  }
}

bool write_preview_png(output_file& file, const frame_view& f, std::string& error) {
#if QMXCAM_IMAGE_LIBRARIES
  const std::size_t count = std::size_t{f.run->width} * f.run->height;
  if (count == 0 || f.pixels == nullptr) {
    error = "no frame for the preview";
    return false;
  }
  std::vector<std::uint16_t> sorted(f.pixels, f.pixels + count);
  const std::size_t last = count - 1;
  const std::size_t low_index = last / 200;
  const std::size_t high_index = last - last / 200;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(low_index),
                   sorted.end());
  const double low = sorted[low_index];
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(high_index),
                   sorted.end());
  const double high = std::max(sorted[high_index] * 1.0, low + 1);
  std::vector<unsigned char> grey(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double scaled = (f.pixels[i] - low) * 255.0 / (high - low);
    grey[i] = static_cast<unsigned char>(std::clamp(scaled + 0.5, 0.0, 255.0));
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = f.run->width;
  image.height = f.run->height;
  image.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  // The encoded size first, then the encoding, then one write to a file qmxcam opened itself.
  if (png_image_write_to_memory(&image, nullptr, &size, 0, grey.data(), 0, nullptr) == 0) {
    error = "cannot encode the preview: " + std::string(image.message);
    return false;
  }
  std::vector<unsigned char> encoded(size);
  if (png_image_write_to_memory(&image, encoded.data(), &size, 0, grey.data(), 0, nullptr) == 0) {
    error = "cannot encode the preview: " + std::string(image.message);
    return false;
  }
  if ((file.seekable() && !file.truncate(0)) || !file.write(encoded.data(), size)) {
    error = file.error();
    return false;
  }
  return true;
#else
  (void)file;
  (void)f;
  error = "this build of qmxcam has no PNG writer";
  return false;
#endif
}

} // namespace qmxcam
