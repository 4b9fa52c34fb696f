// qmxcam, TIFF output through libtiff: 16-bit grey pages, one strip per page written straight
// from the frame's slot, the page's directory written at once so that the file holds whole
// frames at any moment. libtiff works on the file qmxcam opened (its client procedures), never
// on a name of its own. Sequences that can pass 4 GiB are written as BigTIFF.
#include "tools/qmxcam/frame_files.h"

#if QMXCAM_IMAGE_LIBRARIES

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace qmxcam {
namespace {

// libtiff reports through process-wide handlers; the message of the last error on this thread.
thread_local std::string last_tiff_error;

void keep_tiff_error(const char* module, const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  last_tiff_error = module != nullptr ? std::string(module) + ": " + text : text;
}

void ignore_tiff_warning(const char*, const char*, va_list) {}

output_file& file_of(thandle_t handle) {
  return *static_cast<output_file*>(handle);
}

tmsize_t read_proc(thandle_t handle, void* data, tmsize_t size) {
  return static_cast<tmsize_t>(file_of(handle).read(data, static_cast<std::size_t>(size)));
}

tmsize_t write_proc(thandle_t handle, void* data, tmsize_t size) {
  return file_of(handle).write(data, static_cast<std::size_t>(size)) ? size : -1;
}

toff_t seek_proc(thandle_t handle, toff_t offset, int origin) {
  const std::int64_t position = file_of(handle).seek(static_cast<std::int64_t>(offset), origin);
  return position < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(position);
}

int close_proc(thandle_t) {
  return 0; // the sink closes the file itself
}

toff_t size_proc(thandle_t handle) {
  const std::int64_t size = file_of(handle).size();
  return size < 0 ? 0 : static_cast<toff_t>(size);
}

int map_proc(thandle_t, void**, toff_t*) {
  return 0;
}

void unmap_proc(thandle_t, void*, toff_t) {}

// The TIFF DateTime text of a time, in UTC: "YYYY:MM:DD HH:MM:SS".
std::string tiff_date_time(std::chrono::system_clock::time_point time) {
  const std::tm calendar = utc_calendar(std::chrono::system_clock::to_time_t(time));
  char text[64];
  std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", calendar.tm_year + 1900,
                calendar.tm_mon + 1, calendar.tm_mday, calendar.tm_hour, calendar.tm_min,
                calendar.tm_sec);
  return text;
}

class tiff_sink final : public frame_sink {
public:
  explicit tiff_sink(frame_destination&& destination) : destination_(std::move(destination)) {
    static std::once_flag handlers;
    std::call_once(handlers, [] {
      TIFFSetErrorHandler(keep_tiff_error);
      TIFFSetWarningHandler(ignore_tiff_warning);
    });
  }
  ~tiff_sink() override { finish(); }

  bool write(const frame_view& f) override {
    if (!error_.empty()) {
      return false;
    }
    if ((destination_.per_frame || written_ == 0) && !open_file()) {
      return false;
    }
    if (!write_page(f)) {
      return give_up();
    }
    ++written_;
    if (destination_.per_frame) {
      return close_file();
    }
    return true;
  }

  bool finish() override {
    if (tiff_ != nullptr || file_.is_open()) {
      close_file();
    }
    return error_.empty();
  }

private:
  bool open_file() {
    if (!next_file(destination_, file_)) {
      return false;
    }
    // "m": no memory mapping; "8": BigTIFF, 64-bit offsets.
    const char* mode = destination_.bigtiff && !destination_.per_frame ? "w8m" : "wm";
    last_tiff_error.clear();
    tiff_ = TIFFClientOpen(file_.path().c_str(), mode, &file_, read_proc, write_proc, seek_proc,
                           close_proc, size_proc, map_proc, unmap_proc);
    if (tiff_ == nullptr) {
      return fail(reason("cannot start the TIFF file " + file_.path()));
    }
    committed_ = static_cast<std::uint64_t>(file_.size());
    last_directory_ = 0;
    return true;
  }

  bool write_page(const frame_view& f) {
    const acquisition_info& run = *f.run;
    description_ = describe_frame(f);
    date_time_ = tiff_date_time(f.taken);
    TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, run.width);
    TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, run.height);
    TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff_, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, run.height);
    TIFFSetField(tiff_, TIFFTAG_IMAGEDESCRIPTION, description_.c_str());
    TIFFSetField(tiff_, TIFFTAG_DATETIME, date_time_.c_str());
    TIFFSetField(tiff_, TIFFTAG_SOFTWARE, "qmxcam");
    if (!destination_.per_frame) {
      TIFFSetField(tiff_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    }
    const auto bytes = static_cast<tmsize_t>(std::size_t{run.width} * run.height * 2);
    last_tiff_error.clear();
    // The pixels are in the file's (the machine's) byte order already: written as they lie.
    if (TIFFWriteRawStrip(tiff_, 0, const_cast<std::uint16_t*>(f.pixels), bytes) != bytes) {
      return false;
    }
    // libtiff puts the directory at the end of the file, on an even offset.
    const std::int64_t end = file_.size();
    if (end < 0 || TIFFWriteDirectory(tiff_) == 0) {
      return false;
    }
    last_directory_ = static_cast<std::uint64_t>((end + 1) & ~std::int64_t{1});
    committed_ = static_cast<std::uint64_t>(file_.size());
    return true;
  }

  // After a failed page, the file is brought back to its last whole page: the page's bytes are
  // cut off and the last directory's link to a next one is cleared again (libtiff links the new
  // directory before writing it).
  bool give_up() {
    const std::string message = reason("cannot write " + file_.path());
    TIFFClose(tiff_); // its last flush may fail too; the file is repaired below
    tiff_ = nullptr;
    if (take_back_frame(destination_, file_, committed_)) {
      clear_last_link();
    }
    file_.close();
    return fail(message);
  }

  void clear_last_link() {
    if (last_directory_ == 0) {
      return;
    }
    const bool big = destination_.bigtiff && !destination_.per_frame;
    unsigned char count_bytes[8] = {};
    const std::size_t count_size = big ? 8 : 2;
    if (file_.seek(static_cast<std::int64_t>(last_directory_), SEEK_SET) < 0 ||
        file_.read(count_bytes, count_size) != static_cast<std::int64_t>(count_size)) {
      return;
    }
    std::uint64_t entries = 0;
    for (std::size_t i = count_size; i-- > 0;) {
      entries = entries << 8 | count_bytes[i]; // little-endian, as written on this machine
    }
    const std::uint64_t link = last_directory_ + count_size + entries * (big ? 20 : 12);
    const unsigned char zero[8] = {};
    if (file_.seek(static_cast<std::int64_t>(link), SEEK_SET) >= 0) {
      file_.write(zero, big ? 8 : 4);
    }
  }

  bool close_file() {
    if (tiff_ != nullptr) {
      last_tiff_error.clear();
      TIFFClose(tiff_);
      tiff_ = nullptr;
      if (!last_tiff_error.empty()) {
        fail(reason("cannot complete " + file_.path()));
      }
    }
    if (!file_.close()) {
      fail(file_.error());
    }
    return error_.empty();
  }

  // The system's reason when the file reported one, else libtiff's.
  std::string reason(const std::string& what) const {
    const std::string& system = file_.error();
    if (!system.empty()) {
      return system;
    }
    return what + (last_tiff_error.empty() ? "" : ": " + last_tiff_error);
  }

  frame_destination destination_;
  output_file file_;
  TIFF* tiff_ = nullptr;
  std::string description_;
  std::string date_time_;
  std::uint64_t committed_ = 0;
  std::uint64_t last_directory_ = 0;
};

} // namespace

std::unique_ptr<frame_sink> make_tiff_sink(frame_destination&& destination) {
  return std::make_unique<tiff_sink>(std::move(destination));
}

} // namespace qmxcam

#else

namespace qmxcam {

std::unique_ptr<frame_sink> make_tiff_sink(frame_destination&&) {
  return nullptr;
}

} // namespace qmxcam

#endif
