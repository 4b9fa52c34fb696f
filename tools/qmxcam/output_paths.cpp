// qmxcam, where an acquisition's files go (see output_paths.h).
#include "tools/qmxcam/output_paths.h"

#include <filesystem>
#include <regex>
#include <system_error>

namespace qmxcam {
namespace {

namespace fs = std::filesystem;

constexpr const char* default_frame_prefix = "frame";

bool ends_with_separator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

const char* kind_text(path_kind kind) {
  return kind == path_kind::device ? "a device" : "a named pipe";
}

// Checks one path for a single output file or the preview and opens it; `stream_ok` for raw
// output, which may go to a device or a pipe.
bool open_single(const std::string& path, const std::string& what, bool stream_ok, bool overwrite,
                 bool truncate, const output_file* other, output_file& file, bool& created,
                 const std::function<void(const std::string&)>& waiting_for_reader,
                 const std::function<bool()>& keep_waiting, std::string& error) {
  path_kind kind = path_kind::missing;
  if (!inspect_path(path, kind, error)) {
    return false;
  }
  created = false;
  switch (kind) {
  case path_kind::missing:
    created = file.create(path);
    break;
  case path_kind::regular:
    if (other != nullptr) {
      if (other->is_named(path)) {
        error = "--output and --preview name the same file (" + path + ")";
        return false;
      }
    }
    if (!overwrite) {
      error = path + " exists; give --overwrite to replace it";
      return false;
    }
    file.open_existing(path, truncate);
    break;
  case path_kind::folder:
    error = path + " is a folder; give --per-frame to write one file per frame into it";
    return false;
  case path_kind::device:
  case path_kind::pipe:
    if (!stream_ok) {
      error = path + " is " + kind_text(kind) + ", not a regular file: " + what +
              " is written to regular files only (--format raw streams to devices, named pipes "
              "and standard output)";
      return false;
    }
    file.open_stream(
        path, [&] { waiting_for_reader(path); }, keep_waiting);
    break;
  default:
    error = path + " is neither a regular file, nor a device, nor a named pipe";
    return false;
  }
  if (!file.is_open()) {
    error = file.error();
    return false;
  }
  return true;
}

// Splits a per-frame output into folder, prefix and extension, and checks the folder.
bool plan_numbered_files(const output_request& request, frame_destination& destination,
                         std::string& error) {
  path_kind kind = path_kind::missing;
  if (!inspect_path(request.output, kind, error)) {
    return false;
  }
  if (kind == path_kind::folder || ends_with_separator(request.output)) {
    destination.folder = request.output;
    if (!ends_with_separator(destination.folder)) {
      destination.folder += '/';
    }
    destination.prefix = default_frame_prefix;
    destination.extension = format_extension(request.format);
  } else {
    const std::size_t separator = request.output.find_last_of("/\\");
    destination.folder =
        separator == std::string::npos ? "" : request.output.substr(0, separator + 1);
    std::string name =
        separator == std::string::npos ? request.output : request.output.substr(separator + 1);
    const std::size_t dot = name.rfind('.');
    destination.extension = format_extension(request.format);
    if (dot != std::string::npos && dot > 0 && extension_of(request.format, name.substr(dot))) {
      destination.extension = name.substr(dot);
      name.resize(dot);
    }
    destination.prefix = name;
  }
  const std::string folder = destination.folder.empty() ? "." : destination.folder;
  path_kind folder_kind = path_kind::missing;
  if (!inspect_path(folder, folder_kind, error)) {
    return false;
  }
  if (folder_kind != path_kind::folder) {
    error = "cannot write one file per frame into " + folder + ": " +
            (folder_kind == path_kind::missing ? "no such folder" : "not a folder");
    return false;
  }
  return true;
}

std::string regex_quoted(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

std::regex numbered_pattern(const frame_destination& destination) {
  return std::regex(regex_quoted(destination.prefix) + "_[0-9]{6,}" +
                    regex_quoted(destination.extension));
}

// Numbered files of an earlier run: refused, or removed with `overwrite`, so that no file of
// that run stays among the new ones.
bool clear_earlier_files(const frame_destination& destination, bool overwrite, std::string& error) {
  const std::regex pattern = numbered_pattern(destination);
  std::vector<fs::path> earlier;
  std::error_code failure;
  const fs::path folder = destination.folder.empty() ? fs::path(".") : fs::path(destination.folder);
  for (const auto& entry : fs::directory_iterator(folder, failure)) {
    if (entry.is_regular_file() && std::regex_match(entry.path().filename().string(), pattern)) {
      earlier.push_back(entry.path());
    }
  }
  if (failure) {
    error = "cannot read the folder " + folder.string() + ": " + failure.message();
    return false;
  }
  if (earlier.empty()) {
    return true;
  }
  std::sort(earlier.begin(), earlier.end());
  if (!overwrite) {
    error = folder.string() + " already holds " + earlier.front().filename().string() +
            (earlier.size() > 1 ? " and " + std::to_string(earlier.size() - 1) + " more" : "") +
            " from an earlier run; choose another name or folder, or give --overwrite to remove "
            "them first";
    return false;
  }
  for (const fs::path& file : earlier) {
    if (!remove_file(file.string(), error)) {
      return false;
    }
  }
  return true;
}

// Whether `preview` would be one of the numbered files of a per-frame destination.
bool among_numbered_files(const std::string& preview, const frame_destination& destination) {
  std::error_code ignored;
  const fs::path file = fs::weakly_canonical(fs::absolute(preview, ignored), ignored);
  const fs::path folder = fs::weakly_canonical(
      fs::absolute(destination.folder.empty() ? "." : destination.folder, ignored), ignored);
  return file.parent_path() == folder &&
         std::regex_match(file.filename().string(), numbered_pattern(destination));
}

// The preview: as a single file, and never the output under another name.
bool open_preview(const output_request& request, opened_outputs& opened,
                  const std::function<void(const std::string&)>& waiting_for_reader,
                  const std::function<bool()>& keep_waiting, std::string& error) {
  const frame_destination& destination = opened.destination;
  if (request.per_frame && among_numbered_files(request.preview, destination)) {
    error = "--output and --preview name the same file (" + request.preview + ")";
    return false;
  }
  // The preview is emptied only when it is written, at the end.
  if (!open_single(request.preview, "the preview", true, request.overwrite, false,
                   &destination.first, opened.preview, opened.created_preview, waiting_for_reader,
                   keep_waiting, error)) {
    return false;
  }
  if (opened.preview.same_file_as(destination.first)) {
    error = "--output and --preview name the same file (" + request.preview + ")";
    return false;
  }
  return true;
}

} // namespace

std::string check_output_request(const output_request& request) {
  if (request.output.empty()) {
    return "--output needs a file name";
  }
  if (request.output == "-" && request.format != file_format::raw) {
    return std::string("--format ") + format_name(request.format) +
           " cannot be written to standard output; only --format raw streams";
  }
  if (request.output == "-" && request.per_frame) {
    return "--per-frame needs a folder or a name pattern, not standard output";
  }
  if (request.preview == "-") {
    return "--preview needs a file name, not standard output";
  }
  if (!request.preview.empty() && request.preview == request.output) {
    return "--output and --preview name the same file (" + request.output + ")";
  }
  return "";
}

bool open_outputs(const output_request& request, opened_outputs& opened,
                  const std::function<void(const std::string&)>& waiting_for_reader,
                  const std::function<bool()>& keep_waiting, std::string& error) {
  frame_destination& destination = opened.destination;
  destination.format = request.format;
  destination.per_frame = request.per_frame;
  destination.bigtiff = request.bigtiff;
  if (request.output == "-") {
    destination.first.use_standard_output();
  } else if (request.per_frame) {
    if (!plan_numbered_files(request, destination, error) ||
        !clear_earlier_files(destination, request.overwrite, error)) {
      return false;
    }
    opened.output_path = destination.numbered(0);
    if (!destination.first.create(opened.output_path)) {
      error = destination.first.error();
      return false;
    }
    opened.created_output = true;
  } else if (opened.output_path = request.output;
             !open_single(request.output, std::string("--format ") + format_name(request.format),
                          request.format == file_format::raw, request.overwrite, false, nullptr,
                          destination.first, opened.created_output, waiting_for_reader,
                          keep_waiting, error)) {
    return false;
  }
  if (!request.preview.empty() &&
      !open_preview(request, opened, waiting_for_reader, keep_waiting, error)) {
    return false;
  }
  // A file replaced with --overwrite is emptied only once nothing else can refuse the run.
  if (destination.first.seekable() && !opened.created_output && !destination.first.truncate(0)) {
    error = destination.first.error();
    return false;
  }
  return true;
}

void discard_unwritten(opened_outputs& opened, bool frames_written) {
  std::string ignored;
  if (opened.created_output && !frames_written) {
    opened.destination.first.close();
    remove_file(opened.output_path, ignored);
    opened.created_output = false;
  }
  if (opened.created_preview && opened.preview.is_open()) {
    opened.preview.close();
    remove_file(opened.preview.path(), ignored);
  }
}

} // namespace qmxcam
