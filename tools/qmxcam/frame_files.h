// qmxcam, output: one copied frame with what the files record about it, the writers for each
// file format, and the preview image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qmxcam {

// What the files record beside the pixels. Region in sensor pixels, inclusive corners.
struct frame_info {
  std::uint32_t frame_counter = 0;
  std::uint64_t timestamp = 0; // the tag block's PCKH:PCKL words
  std::uint32_t roi_x1 = 0, roi_y1 = 0, roi_x2 = 0, roi_y2 = 0;
  std::uint32_t hbin = 1, vbin = 1;
  std::string exposure_ms;
  std::string camera_id;
  std::uint32_t width = 0, height = 0; // delivered image, after binning
};

// A frame copied out of its slot: the pixels, and for raw output the slot as it was.
struct frame {
  frame_info info;
  std::vector<std::uint16_t> pixels; // width * height, row by row
  std::vector<unsigned char> slot;   // filled for raw output only
};

// The one-line text every format stores with a frame.
std::string describe_frame(const frame_info& info);

enum class file_format { tiff, fits, raw };

// Whether this build can write `format` (the image libraries may be left out of a build).
bool format_available(file_format format);

// Writes frames, one call per frame, in arrival order, on one thread. A writer that fails once
// keeps its message and refuses every later frame. finish() completes and closes the files.
class frame_sink {
public:
  virtual ~frame_sink() = default;
  virtual bool write(const frame& f) = 0;
  virtual bool finish() = 0;
  const std::string& error() const { return error_; }
  // The files written so far.
  const std::vector<std::string>& files() const { return files_; }

protected:
  std::string error_;
  std::vector<std::string> files_;
};

// A writer for `format` into `path`; with `per_frame`, one file per frame named after `path`
// with the frame's number before the extension.
std::unique_ptr<frame_sink> make_frame_sink(file_format format, const std::string& path,
                                            bool per_frame);

// The first file a writer for `path` creates: `path` itself, or with `per_frame` the file of
// frame 0.
std::string first_file(const std::string& path, bool per_frame);

// Whether `path` can be opened for writing, checked before frames are taken. The file is left
// as it was: one that the check creates is removed again. False with the reason in `error`.
bool can_write_file(const std::string& path, std::string& error);

// Writes `f` as an 8-bit grey PNG whose contrast is stretched from the 0.5th to the 99.5th
// percentile of its pixels onto 0..255. False with a message in `error`.
bool write_preview_png(const std::string& path, const frame& f, std::string& error);

} // namespace qmxcam
