// qmxcam, operating-system seam (see host_os.h).
#include "tools/qmxcam/host_os.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qmxcam {
namespace {

// The first stop request's signal number; 0 while there is none.
std::atomic<int> stop_request{0};

void record_stop(int signal) {
  int none = 0;
  stop_request.compare_exchange_strong(none, signal);
}

constexpr int signal_interrupt = 2;
constexpr int signal_hangup = 1;
constexpr int signal_terminate = 15;

#if defined(_WIN32)
// Set once the program has completed its files after a stop request.
HANDLE stop_done_event = nullptr;
// How long a closing console waits for the files to be completed; Windows ends the process
// about five seconds after the close event in any case.
constexpr DWORD close_wait_ms = 4500;

BOOL WINAPI console_handler(DWORD event) {
  switch (event) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
    record_stop(signal_interrupt);
    return TRUE;
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    record_stop(event == CTRL_CLOSE_EVENT ? signal_hangup : signal_terminate);
    // The process ends when this handler returns: give the program the time to finish.
    if (stop_done_event != nullptr) {
      WaitForSingleObject(stop_done_event, close_wait_ms);
    }
    return TRUE;
  default:
    return FALSE;
  }
}

std::string system_error_text(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length)
                                                      : "system error " + std::to_string(code);
  if (text != nullptr) {
    LocalFree(text);
  }
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

std::string last_error_text() {
  return system_error_text(GetLastError());
}

HANDLE as_handle(void* handle) {
  return static_cast<HANDLE>(handle);
}

bool valid(void* handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool is_pipe_name(const std::string& path) {
  return path.rfind("\\\\.\\pipe\\", 0) == 0 || path.rfind("//./pipe/", 0) == 0;
}
#else
void stop_signal_handler(int signal) {
  record_stop(signal);
}

std::string last_error_text() {
  return std::strerror(errno);
}
#endif

} // namespace

void* load_library(const std::string& file, std::string& error) {
#if defined(_WIN32)
  HMODULE library = LoadLibraryA(file.c_str());
  if (library == nullptr) {
    error = "LoadLibrary failed with system error " + std::to_string(GetLastError());
  }
  return reinterpret_cast<void*>(library);
#else
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "dlopen failed";
  }
  return library;
#endif
}

void* library_symbol(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

bool library_in_process(const std::string& file) {
#if defined(_WIN32)
  return GetModuleHandleA(file.c_str()) != nullptr;
#else
  void* library = dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) {
    return false;
  }
  dlclose(library); // gives back the reference the lookup added
  return true;
#endif
}

void install_stop_handlers() {
#if defined(_WIN32)
  if (stop_done_event == nullptr) {
    stop_done_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  SetConsoleCtrlHandler(console_handler, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = stop_signal_handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call returns, so that a stop is seen at once.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

int stop_signal() {
  return stop_request.load();
}

bool interrupted() {
  return stop_signal() != 0;
}

void stop_request_handled() {
#if defined(_WIN32)
  if (stop_done_event != nullptr) {
    SetEvent(stop_done_event);
  }
#endif
}

const char* describe_stop_signal(int signal) {
  switch (signal) {
  case signal_interrupt:
    return "interrupted";
  case signal_terminate:
    return "terminated";
  case signal_hangup:
    return "hung up";
  default:
    return "stopped";
  }
}

std::string executable_folder() {
#if defined(_WIN32)
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return "";
  }
  std::string text(path, length);
#else
  char path[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return "";
  }
  std::string text(path, static_cast<std::size_t>(length));
#endif
  const std::size_t separator = text.find_last_of("/\\");
  return separator == std::string::npos ? "" : text.substr(0, separator + 1);
}

const char* module_file_name() {
#if defined(_WIN32)
  return "orbanite_qmx_camera.dll";
#else
  return "liborbanite_qmx_camera.so";
#endif
}

const char* simulator_file_name() {
#if defined(_WIN32)
  return "qmx_camera_sim.dll";
#else
  return "libqmx_camera_sim.so";
#endif
}

const char* monitor_file_name() {
#if defined(_WIN32)
  return "orbanite_qmx_usb_hotplug_monitor.dll";
#else
  return "liborbanite_qmx_usb_hotplug_monitor.so";
#endif
}

const char* real_cameras_unavailable_reason() {
#if defined(_WIN32)
  return nullptr;
#else
  return "real cameras need the camera controller's kernel driver, which exists for Windows "
         "only; on this system the simulator is the only source of cameras";
#endif
}

bool stderr_is_terminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

int stderr_columns() {
  if (!stderr_is_terminal()) {
    return 0;
  }
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) {
    return 0;
  }
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) {
    return 0;
  }
  return size.ws_col;
#endif
}

std::tm utc_calendar(std::time_t seconds) {
  std::tm calendar{};
#if defined(_WIN32)
  gmtime_s(&calendar, &seconds);
#else
  gmtime_r(&seconds, &calendar);
#endif
  return calendar;
}

bool remove_file(const std::string& path, std::string& error) {
  if (std::remove(path.c_str()) != 0) {
    error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

#if defined(_WIN32)

bool inspect_path(const std::string& path, path_kind& kind, std::string& error) {
  if (is_pipe_name(path)) {
    // Opening a pipe to look at it would take one of its instances.
    kind = path_kind::pipe;
    return true;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    kind = path_kind::folder;
    return true;
  }
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      kind = path_kind::missing;
      return true;
    }
    error = "cannot examine " + path + ": " + system_error_text(code);
    return false;
  }
  switch (GetFileType(file)) {
  case FILE_TYPE_DISK:
    kind = path_kind::regular;
    break;
  case FILE_TYPE_CHAR:
    kind = path_kind::device;
    break;
  case FILE_TYPE_PIPE:
    kind = path_kind::pipe;
    break;
  default:
    kind = path_kind::other;
    break;
  }
  CloseHandle(file);
  return true;
}

output_file::~output_file() {
  close();
}

void output_file::take(output_file& other) noexcept {
  path_ = std::move(other.path_);
  error_ = std::move(other.error_);
  seekable_ = other.seekable_;
  owned_ = other.owned_;
  handle_ = other.handle_;
  other.handle_ = nullptr;
}

bool output_file::is_open() const {
  return valid(handle_);
}

bool output_file::create(const std::string& path) {
  close();
  path_ = path;
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  seekable_ = true;
  owned_ = true;
  return valid(handle_) || fail("cannot create " + path);
}

bool output_file::open_existing(const std::string& path, bool truncate) {
  close();
  path_ = path;
  handle_ =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  truncate ? TRUNCATE_EXISTING : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  seekable_ = true;
  owned_ = true;
  if (!valid(handle_)) {
    return fail("cannot open " + path);
  }
  if (GetFileType(as_handle(handle_)) != FILE_TYPE_DISK) {
    close();
    error_ = path + " is not a regular file";
    return false;
  }
  return true;
}

bool output_file::open_stream(const std::string& path, const std::function<void()>& waiting,
                              const std::function<bool()>& keep_waiting) {
  close();
  path_ = path;
  seekable_ = false;
  owned_ = true;
  constexpr DWORD poll_ms = 50;
  bool announced = false;
  for (;;) {
    handle_ = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    if (valid(handle_)) {
      return true;
    }
    if (GetLastError() != ERROR_PIPE_BUSY) {
      return fail("cannot open " + path);
    }
    // Every instance of the pipe is taken: wait for one to be free.
    if (!announced) {
      waiting();
      announced = true;
    }
    if (!keep_waiting()) {
      error_ = "stopped while waiting for " + path;
      return false;
    }
    WaitNamedPipeA(path.c_str(), poll_ms);
  }
}

void output_file::use_standard_output() {
  close();
  path_ = "-";
  handle_ = GetStdHandle(STD_OUTPUT_HANDLE);
  _setmode(_fileno(stdout), _O_BINARY);
  seekable_ = false;
  owned_ = false;
}

bool output_file::write(const void* data, std::size_t size) {
  constexpr std::size_t most_per_call = 1u << 30;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(size < most_per_call ? size : most_per_call);
    DWORD written = 0;
    if (WriteFile(as_handle(handle_), bytes, chunk, &written, nullptr) == 0 || written == 0) {
      return fail("cannot write " + path_);
    }
    bytes += written;
    size -= written;
  }
  return true;
}

std::int64_t output_file::read(void* data, std::size_t size) {
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
  if (ReadFile(as_handle(handle_), data, wanted, &got, nullptr) == 0) {
    fail("cannot read " + path_);
    return -1;
  }
  return got;
}

std::int64_t output_file::seek(std::int64_t offset, int origin) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  const DWORD method = origin == SEEK_SET   ? FILE_BEGIN
                       : origin == SEEK_CUR ? FILE_CURRENT
                                            : FILE_END;
  if (SetFilePointerEx(as_handle(handle_), distance, &position, method) == 0) {
    fail("cannot seek in " + path_);
    return -1;
  }
  return position.QuadPart;
}

std::int64_t output_file::size() {
  LARGE_INTEGER length{};
  if (GetFileSizeEx(as_handle(handle_), &length) == 0) {
    fail("cannot read the size of " + path_);
    return -1;
  }
  return length.QuadPart;
}

bool output_file::truncate(std::int64_t length) {
  const std::int64_t position = seek(0, SEEK_CUR);
  if (position < 0 || seek(length, SEEK_SET) < 0) {
    return false;
  }
  if (SetEndOfFile(as_handle(handle_)) == 0) {
    return fail("cannot cut " + path_);
  }
  return seek(position < length ? position : length, SEEK_SET) >= 0;
}

bool output_file::same_file_as(const output_file& other) const {
  BY_HANDLE_FILE_INFORMATION mine{};
  BY_HANDLE_FILE_INFORMATION theirs{};
  if (!is_open() || !other.is_open() ||
      GetFileInformationByHandle(as_handle(handle_), &mine) == 0 ||
      GetFileInformationByHandle(as_handle(other.handle_), &theirs) == 0) {
    return handle_ == other.handle_ && is_open();
  }
  return mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
}

bool output_file::is_named(const std::string& path) const {
  // Attributes only: an open that asks for no data access is not refused by sharing rules.
  HANDLE other = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (other == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION mine{};
  BY_HANDLE_FILE_INFORMATION theirs{};
  const bool same = is_open() && GetFileInformationByHandle(as_handle(handle_), &mine) != 0 &&
                    GetFileInformationByHandle(other, &theirs) != 0 &&
                    mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                    mine.nFileIndexHigh == theirs.nFileIndexHigh &&
                    mine.nFileIndexLow == theirs.nFileIndexLow;
  CloseHandle(other);
  return same;
}

bool output_file::close() {
  if (!valid(handle_)) {
    handle_ = nullptr;
    return true;
  }
  bool ok = true;
  if (owned_) {
    ok = CloseHandle(as_handle(handle_)) != 0 || fail("cannot complete " + path_);
  } else {
    FlushFileBuffers(as_handle(handle_));
  }
  handle_ = nullptr;
  return ok;
}

#else

bool inspect_path(const std::string& path, path_kind& kind, std::string& error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      kind = path_kind::missing;
      return true;
    }
    error = "cannot examine " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISREG(info.st_mode)) {
    kind = path_kind::regular;
  } else if (S_ISDIR(info.st_mode)) {
    kind = path_kind::folder;
  } else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
    kind = path_kind::device;
  } else if (S_ISFIFO(info.st_mode)) {
    kind = path_kind::pipe;
  } else {
    kind = path_kind::other;
  }
  return true;
}

output_file::~output_file() {
  close();
}

void output_file::take(output_file& other) noexcept {
  path_ = std::move(other.path_);
  error_ = std::move(other.error_);
  seekable_ = other.seekable_;
  owned_ = other.owned_;
  fd_ = other.fd_;
  other.fd_ = -1;
}

bool output_file::is_open() const {
  return fd_ >= 0;
}

bool output_file::create(const std::string& path) {
  close();
  path_ = path;
  seekable_ = true;
  owned_ = true;
  constexpr mode_t permissions = 0666; // narrowed by the user's umask
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
  if (fd_ < 0 && errno == EEXIST) {
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      // A symbolic link to nothing: its target is created, the link stays.
      fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, permissions);
    } else {
      errno = EEXIST;
    }
  }
  return fd_ >= 0 || fail("cannot create " + path);
}

bool output_file::open_existing(const std::string& path, bool truncate) {
  close();
  path_ = path;
  seekable_ = true;
  owned_ = true;
  fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) {
    return fail("cannot open " + path);
  }
  struct stat info {};
  if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    close();
    error_ = path + " is not a regular file";
    return false;
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  return !truncate || this->truncate(0);
}

bool output_file::open_stream(const std::string& path, const std::function<void()>& waiting,
                              const std::function<bool()>& keep_waiting) {
  close();
  path_ = path;
  seekable_ = false;
  owned_ = true;
  constexpr auto poll = std::chrono::milliseconds(50);
  bool announced = false;
  for (;;) {
    // Without O_NONBLOCK, opening a pipe blocks until a reader comes, beyond reach of a stop.
    fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ >= 0) {
      break;
    }
    if (errno != ENXIO) {
      return fail("cannot open " + path);
    }
    // A named pipe with no reader yet.
    if (!announced) {
      waiting();
      announced = true;
    }
    if (!keep_waiting()) {
      error_ = "stopped while waiting for a reader of " + path;
      return false;
    }
    std::this_thread::sleep_for(poll);
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  return true;
}

void output_file::use_standard_output() {
  close();
  path_ = "-";
  fd_ = STDOUT_FILENO;
  seekable_ = false;
  owned_ = false;
}

bool output_file::write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd_, bytes, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return fail("cannot write " + path_);
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::int64_t output_file::read(void* data, std::size_t size) {
  ssize_t got = 0;
  do {
    got = ::read(fd_, data, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    fail("cannot read " + path_);
  }
  return got;
}

std::int64_t output_file::seek(std::int64_t offset, int origin) {
  const off_t position = lseek(fd_, static_cast<off_t>(offset), origin);
  if (position < 0) {
    fail("cannot seek in " + path_);
  }
  return position;
}

std::int64_t output_file::size() {
  struct stat info {};
  if (fstat(fd_, &info) != 0) {
    fail("cannot read the size of " + path_);
    return -1;
  }
  return info.st_size;
}

bool output_file::truncate(std::int64_t length) {
  return ftruncate(fd_, static_cast<off_t>(length)) == 0 || fail("cannot cut " + path_);
}

bool output_file::same_file_as(const output_file& other) const {
  struct stat mine {};
  struct stat theirs {};
  if (!is_open() || !other.is_open() || fstat(fd_, &mine) != 0 || fstat(other.fd_, &theirs) != 0) {
    return false;
  }
  return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

bool output_file::is_named(const std::string& path) const {
  struct stat mine {};
  struct stat theirs {};
  return is_open() && fstat(fd_, &mine) == 0 && stat(path.c_str(), &theirs) == 0 &&
         mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

bool output_file::close() {
  if (fd_ < 0) {
    return true;
  }
  bool ok = true;
  if (owned_) {
    ok = ::close(fd_) == 0 || fail("cannot complete " + path_);
  }
  fd_ = -1;
  return ok;
}

#endif

output_file::output_file(output_file&& other) noexcept {
  take(other);
}

output_file& output_file::operator=(output_file&& other) noexcept {
  if (this != &other) {
    close();
    take(other);
  }
  return *this;
}

bool output_file::fail(const std::string& what) {
  const std::string reason = last_error_text(); // before anything else can change it
  error_ = what + ": " + reason;
  return false;
}

} // namespace qmxcam
