// qmxcam, operating-system seam: loading the module and looking up its exports, the stop
// requests (Ctrl-C, termination, hangup), the terminal, the UTC calendar, and the files frames
// are written to. The only part of the program that knows the OS.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace qmxcam {

// Loads a shared library by file name or path; null on failure, with the system's reason in
// `error`.
void* load_library(const std::string& file, std::string& error);
// The address of export `name` of `library`, or null.
void* library_symbol(void* library, const char* name);
// Whether a library of this file name is loaded in the process (it loads nothing).
bool library_in_process(const std::string& file);

// Stop requests. Installs handlers for Ctrl-C (SIGINT; on Windows also Ctrl-Break), termination
// (SIGTERM; on Windows the end of the session) and hangup (SIGHUP; on Windows the console
// window closing); they only record the request, which stop_signal() reads from any thread.
// Writes to a pipe whose reader has gone fail with an error instead of ending the process.
void install_stop_handlers();
// The signal number of the first stop request (2 interrupt, 15 termination, 1 hangup), or 0.
int stop_signal();
bool interrupted();
// Called once the program has finished what a stop request asked for (files complete): on
// Windows a console that is closing waits for this before it ends the process.
void stop_request_handled();
// "interrupted", "terminated" or "hung up" for a stop_signal() value.
const char* describe_stop_signal(int signal);

// The folder that holds the running executable, with a trailing separator ("" if unknown).
std::string executable_folder();
// The file names on this system of the module, the simulator and the hotplug monitor.
const char* module_file_name();
const char* simulator_file_name();
const char* monitor_file_name();

// Why this system has no real cameras to offer (no driver for them), or null where it has.
const char* real_cameras_unavailable_reason();

// Whether standard error goes to a terminal, and that terminal's width in columns (0 when it
// is not a terminal or its width is unknown).
bool stderr_is_terminal();
int stderr_columns();

// The UTC calendar date and time of `seconds` since the epoch.
std::tm utc_calendar(std::time_t seconds);

// What is at a path, symbolic links followed (a link to nothing counts as missing).
enum class path_kind { missing, regular, folder, device, pipe, other };
// False with the system's reason when the path cannot be examined (other than being absent).
bool inspect_path(const std::string& path, path_kind& kind, std::string& error);
// Removes a regular file; false with the system's reason.
bool remove_file(const std::string& path, std::string& error);

// A file that frames are written to: a regular file (seekable), or a stream (a device, a named
// pipe, standard output). Owns its descriptor or handle (standard output's is not closed).
// Every failure keeps the system's reason in error().
class output_file {
public:
  output_file() = default;
  ~output_file();
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  output_file(output_file&& other) noexcept;
  output_file& operator=(output_file&& other) noexcept;

  // Creates `path`, which must not exist (a symbolic link to nothing is followed and its target
  // created). Opened for reading and writing.
  bool create(const std::string& path);
  // Opens the existing regular file `path` for reading and writing, emptied when `truncate`.
  bool open_existing(const std::string& path, bool truncate);
  // Opens a device or a named pipe for writing. A pipe with no reader yet is waited for, every
  // `poll_ms`, while `keep_waiting()` answers true; `waiting()` is called once before the wait.
  bool open_stream(const std::string& path, const std::function<void()>& waiting,
                   const std::function<bool()>& keep_waiting);
  // Writes to standard output (in binary).
  void use_standard_output();

  bool is_open() const;
  bool seekable() const { return seekable_; }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

  // Writes all `size` bytes; false on the first failure.
  bool write(const void* data, std::size_t size);
  // Reads up to `size` bytes at the current position; the count read, or -1.
  std::int64_t read(void* data, std::size_t size);
  // Moves the position (origin as for fseek: SEEK_SET, SEEK_CUR, SEEK_END); the new position,
  // or -1.
  std::int64_t seek(std::int64_t offset, int origin);
  // The file's size, or -1.
  std::int64_t size();
  // Cuts the file to `length` bytes (regular files).
  bool truncate(std::int64_t length);
  // Whether both are open on one and the same file.
  bool same_file_as(const output_file& other) const;
  // Whether `path` names the file this is open on (under any of its names).
  bool is_named(const std::string& path) const;
  // Closes; false with the reason when the system reports a failure at the close.
  bool close();

private:
  bool fail(const std::string& what);
  void take(output_file& other) noexcept;

  std::string path_;
  std::string error_;
  bool seekable_ = false;
  bool owned_ = true;
#if defined(_WIN32)
  void* handle_ = nullptr; // HANDLE; null or INVALID_HANDLE_VALUE when closed
#else
  int fd_ = -1;
#endif
};

} // namespace qmxcam
