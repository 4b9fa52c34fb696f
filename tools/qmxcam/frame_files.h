// qmxcam, output: the frames as the module delivered them (read in place in their slots), what
// the files record about them, where they go (one file or stream, or one file per frame), and
// the writers for each file format and the preview image.
#pragma once

#include "tools/qmxcam/host_os.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qmxcam {

// What is the same for every frame of one acquisition. Region in sensor pixels, inclusive
// corners; settings as the camera answered them ("" when it has no such setting).
struct acquisition_info {
  std::string camera_id;
  std::uint32_t roi_x1 = 0, roi_y1 = 0, roi_x2 = 0, roi_y2 = 0;
  std::uint32_t hbin = 1, vbin = 1;
  std::uint32_t width = 0, height = 0; // delivered image, after binning
  std::string exposure_ms;
  std::string gain;
};

// One frame where it lies: nothing is copied. `slot` is the whole slot (tag block first) for
// raw output; `pixels` the image, width * height 16-bit pixels row by row.
struct frame_view {
  const acquisition_info* run = nullptr;
  std::uint32_t frame_counter = 0;
  std::uint64_t timestamp = 0; // the tag block's PCKH:PCKL words, the camera's clock
  std::chrono::system_clock::time_point taken; // when qmxcam took it from the module
  const unsigned char* slot = nullptr;
  std::size_t slot_bytes = 0;
  const std::uint16_t* pixels = nullptr;
};

// The unit of the camera's time stamp, as the simulated camera counts it.
constexpr const char* timestamp_unit = "microseconds";

// "2025-03-01T21:04:05.123": the UTC time to the millisecond, as FITS DATE-OBS writes it.
std::string utc_text(std::chrono::system_clock::time_point time);

// The one-line text every format stores with a frame.
std::string describe_frame(const frame_view& f);

enum class file_format { tiff, fits, raw };
// "tiff", "fits", "raw"; the extension that format's files get (".tif", ...).
const char* format_name(file_format format);
const char* format_extension(file_format format);
// Whether `extension` (with its dot, any case) names files of `format`.
bool extension_of(file_format format, const std::string& extension);

// Whether this build can write `format` and the preview (the image libraries may be left out).
bool format_available(file_format format);
bool preview_available();

// Where the frames go, opened before the camera is armed: one file or stream (`first`), or one
// new file per frame named FOLDER/PREFIX_000000.EXT, FOLDER/PREFIX_000001.EXT, ..., the first
// of them already created.
struct frame_destination {
  file_format format = file_format::tiff;
  bool per_frame = false;
  bool bigtiff = false; // TIFF files in the 64-bit variant, for sequences beyond 4 GiB
  output_file first;
  std::string folder; // per frame: with its trailing separator ("" for the current folder)
  std::string prefix;
  std::string extension;

  // The name of frame `number` of a per-frame destination.
  std::string numbered(std::uint64_t number) const;
};

// Writes frames in the order taken, one call per frame, on one thread. A writer that fails
// once keeps the system's reason and refuses every later frame; the files then hold the frames
// written before the failure, complete (a partly written frame is cut off again). finish()
// completes and closes the files.
class frame_sink {
public:
  virtual ~frame_sink() = default;
  virtual bool write(const frame_view& f) = 0;
  virtual bool finish() = 0;
  const std::string& error() const { return error_; }
  // The files written so far ("-" for standard output).
  const std::vector<std::string>& files() const { return files_; }
  std::uint64_t frames_written() const { return written_; }

protected:
  bool fail(const std::string& message) {
    if (error_.empty()) {
      error_ = message;
    }
    return false;
  }
  // The file for the next frame: the destination's first file, or a new numbered one.
  bool next_file(frame_destination& destination, output_file& file);
  // Takes back a frame written in part: a per-frame file (which holds only that frame) is closed
  // and removed, a file of many frames is cut back to its first `committed` bytes where it can
  // be. Whether it was cut back.
  bool take_back_frame(const frame_destination& destination, output_file& file,
                       std::uint64_t committed);
  // Closes the last file; whether the writer has met no failure.
  bool close_last(output_file& file);

  std::string error_;
  std::vector<std::string> files_;
  std::uint64_t written_ = 0;
};

std::unique_ptr<frame_sink> make_frame_sink(frame_destination&& destination);
// The writers of each format (make_frame_sink chooses).
std::unique_ptr<frame_sink> make_raw_sink(frame_destination&& destination);
std::unique_ptr<frame_sink> make_tiff_sink(frame_destination&& destination);
std::unique_ptr<frame_sink> make_fits_sink(frame_destination&& destination);

// Whether a TIFF file of `pages` pages of `image_bytes` each can pass what classic TIFF's 32-bit
// offsets reach; `pages` 0 means not known beforehand.
bool tiff_needs_64_bit_offsets(std::uint64_t pages, std::uint64_t image_bytes);

// Writes `f` into `file` (emptied first) as an 8-bit grey PNG whose contrast is stretched from
// the 0.5th to the 99.5th percentile of its pixels onto 0..255. False with a message.
bool write_preview_png(output_file& file, const frame_view& f, std::string& error);

} // namespace qmxcam
