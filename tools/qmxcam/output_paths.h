// qmxcam, where an acquisition's files go: the checks and openings done before the camera is
// armed, so that a path that cannot be written, or holds what qmxcam must not destroy, is
// refused before any frame is taken.
#pragma once

#include "tools/qmxcam/frame_files.h"

#include <string>

namespace qmxcam {

struct output_request {
  std::string output;  // a file, a folder or a name pattern with per_frame, or "-"
  std::string preview; // "" for none
  file_format format = file_format::tiff;
  bool per_frame = false;
  bool overwrite = false; // an existing regular file (or earlier numbered files) may be replaced
  bool bigtiff = false;
};

// What open_outputs() opened.
struct opened_outputs {
  frame_destination destination;
  output_file preview;
  std::string output_path;     // the single output, or the first per-frame file
  bool created_output = false; // it did not exist before
  bool created_preview = false;
};

// The checks that need no file system, done with the other usage checks: "" or what is wrong.
std::string check_output_request(const output_request& request);

// Opens the outputs by these rules: an existing regular file is refused unless `overwrite`; a
// device, a named pipe or "-" (standard output) is written as a stream, which only raw output
// can be; a symbolic link is followed and stays; a folder takes one file per frame only; with
// `per_frame` the output is a folder (FOLDER/frame_000000.EXT) or a name pattern
// (NAME_000000.EXT), and numbered files of an earlier run are refused, or removed first with
// `overwrite`; output and preview may not be the same file. `waiting_for_reader` is called when
// a named pipe has no reader yet, which is waited for while `keep_waiting` answers true. False
// with a message.
bool open_outputs(const output_request& request, opened_outputs& opened,
                  const std::function<void(const std::string&)>& waiting_for_reader,
                  const std::function<bool()>& keep_waiting, std::string& error);

// Removes what open_outputs() created and nothing was written into: the preview while it is
// still open (it is closed once written), and the output when `frames_written` is false (after
// the frame writer, if one took the destination over, has finished).
void discard_unwritten(opened_outputs& opened, bool frames_written);

} // namespace qmxcam
