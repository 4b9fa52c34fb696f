// qmxcam, FITS output written by qmxcam itself: an empty primary array, then one image
// extension per frame (16-bit, unsigned through BZERO 32768) with the frame's keywords. The
// format is small (2880-byte blocks of 80-character header cards, big-endian data), and writing
// it here keeps file names literal and the file under qmxcam's own control.
#include "tools/qmxcam/frame_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qmxcam {
namespace {

constexpr std::size_t block_bytes = 2880;
constexpr std::size_t card_bytes = 80;
constexpr std::size_t value_column = 10; // values start after "KEYWORD = "
constexpr std::size_t number_width = 20; // fixed-format numbers end in column 30

// Header cards of one HDU, padded to whole blocks by end().
class header {
public:
  explicit header(std::string& text) : text_(text) { text_.clear(); }

  void logical(const char* keyword, bool value, const char* comment) {
    put(keyword, right_aligned(value ? "T" : "F"), comment);
  }
  void integer(const char* keyword, unsigned long long value, const char* comment) {
    put(keyword, right_aligned(std::to_string(value)), comment);
  }
  void real(const char* keyword, double value, const char* comment) {
    char number[32];
    std::snprintf(number, sizeof number, "%.12G", value);
    std::string text = number;
    if (text.find_first_of(".E") == std::string::npos) {
      text += ".0"; // a real value carries a decimal point
    }
    put(keyword, right_aligned(text), comment);
  }
  void string(const char* keyword, const std::string& value, const char* comment) {
    std::string quoted = "'";
    for (const char c : value) {
      quoted += c;
      if (c == '\'') {
        quoted += '\''; // quotes inside a string are doubled
      }
    }
    while (quoted.size() < 9) {
      quoted += ' '; // at least eight characters between the quotes
    }
    put(keyword, quoted + "'", comment);
  }
  // A number when the camera's text is one, else the text.
  void camera_value(const char* keyword, const std::string& value, const char* comment) {
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0') {
      string(keyword, value, comment);
    } else if (value.find_first_of(".eE") == std::string::npos && number >= 0) {
      integer(keyword, std::strtoull(value.c_str(), nullptr, 10), comment);
    } else {
      real(keyword, number, comment);
    }
  }
  void end() {
    std::string card = "END";
    card.resize(card_bytes, ' ');
    text_ += card;
    text_.resize((text_.size() + block_bytes - 1) / block_bytes * block_bytes, ' ');
  }

private:
  static std::string right_aligned(const std::string& value) {
    return value.size() >= number_width ? value
                                        : std::string(number_width - value.size(), ' ') + value;
  }
  void put(const char* keyword, const std::string& value, const char* comment) {
    std::string card = keyword;
    card.resize(value_column - 2, ' ');
    card += "= " + value;
    if (comment != nullptr && card.size() + 3 < card_bytes) {
      card += std::string(" / ") + comment;
    }
    card.resize(card_bytes, ' ');
    text_ += card;
  }

  std::string& text_;
};

class fits_sink final : public frame_sink {
public:
  explicit fits_sink(frame_destination&& destination) : destination_(std::move(destination)) {}
  ~fits_sink() override { finish(); }

  bool write(const frame_view& f) override {
    if (!error_.empty()) {
      return false;
    }
    if (destination_.per_frame || written_ == 0) {
      if (!next_file(destination_, file_)) {
        return false;
      }
      committed_ = 0;
      primary_header(f);
      if (!file_.write(cards_.data(), cards_.size())) {
        return give_up();
      }
      committed_ = cards_.size();
    }
    image_header(f);
    pixels_as_fits(f);
    if (!file_.write(cards_.data(), cards_.size()) || !file_.write(data_.data(), data_.size())) {
      return give_up();
    }
    committed_ += cards_.size() + data_.size();
    ++written_;
    if (destination_.per_frame && !file_.close()) {
      return fail(file_.error());
    }
    return true;
  }

  bool finish() override { return close_last(file_); }

private:
  // The primary header: no data, the camera, and the time of the file's first frame.
  void primary_header(const frame_view& f) {
    header h(cards_);
    h.logical("SIMPLE", true, "conforms to FITS");
    h.integer("BITPIX", 16, "bits per data value");
    h.integer("NAXIS", 0, "no primary data; one image extension per frame");
    h.logical("EXTEND", true, "extensions follow");
    h.string("CREATOR", "qmxcam", "program that wrote this file");
    h.string("CAMERA", f.run->camera_id, "camera device ID");
    h.string("DATE-OBS", utc_text(f.taken), "UTC when the first frame was taken (host clock)");
    h.end();
  }

  void image_header(const frame_view& f) {
    const acquisition_info& run = *f.run;
    header h(cards_);
    h.string("XTENSION", "IMAGE", "image extension");
    h.integer("BITPIX", 16, "16-bit pixels");
    h.integer("NAXIS", 2, "two axes");
    h.integer("NAXIS1", run.width, "pixels per row");
    h.integer("NAXIS2", run.height, "rows");
    h.integer("PCOUNT", 0, nullptr);
    h.integer("GCOUNT", 1, nullptr);
    h.integer("BZERO", 32768, "unsigned 16-bit pixels");
    h.integer("BSCALE", 1, nullptr);
    h.integer("FRAMECNT", f.frame_counter, "camera frame counter");
    h.integer("TIMESTMP", f.timestamp, "camera time stamp (PCKH:PCKL), microseconds");
    h.string("DATE-OBS", utc_text(f.taken), "UTC when the frame was taken (host clock)");
    h.real("EXPTIME", std::strtod(run.exposure_ms.c_str(), nullptr) / 1000.0,
           "exposure time, seconds");
    if (!run.gain.empty()) {
      h.camera_value("GAIN", run.gain, "camera gain setting, tenths of a decibel");
    }
    h.integer("XBINNING", run.hbin, "horizontal binning");
    h.integer("YBINNING", run.vbin, "vertical binning");
    h.integer("ROI_X1", run.roi_x1, "region, first sensor column");
    h.integer("ROI_Y1", run.roi_y1, "region, first sensor row");
    h.integer("ROI_X2", run.roi_x2, "region, last sensor column");
    h.integer("ROI_Y2", run.roi_y2, "region, last sensor row");
    h.string("CAMERA", run.camera_id, "camera device ID");
    h.end();
  }

  // Big-endian, with 32768 taken off so that the unsigned values fit the signed 16-bit type;
  // the buffer is allocated once and reused for every frame.
  void pixels_as_fits(const frame_view& f) {
    const std::size_t count = std::size_t{f.run->width} * f.run->height;
    const std::size_t bytes = (count * 2 + block_bytes - 1) / block_bytes * block_bytes;
    data_.resize(bytes);
    unsigned char* out = data_.data();
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint16_t value = f.pixels[i];
      out[2 * i] = static_cast<unsigned char>((value >> 8) ^ 0x80);
      out[2 * i + 1] = static_cast<unsigned char>(value);
    }
    std::memset(out + count * 2, 0, bytes - count * 2);
  }

  // The file keeps only the HDUs written whole: a part written of this one is cut off again (a
  // per-frame file, which holds one frame, is removed).
  bool give_up() {
    const std::string reason = file_.error();
    take_back_frame(destination_, file_, committed_);
    return fail(reason);
  }

  frame_destination destination_;
  output_file file_;
  std::string cards_;
  std::vector<unsigned char> data_;
  std::uint64_t committed_ = 0;
};

} // namespace

std::unique_ptr<frame_sink> make_fits_sink(frame_destination&& destination) {
  return std::make_unique<fits_sink>(std::move(destination));
}

} // namespace qmxcam
