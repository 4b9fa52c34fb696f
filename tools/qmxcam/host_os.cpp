// qmxcam, operating-system seam (see host_os.h).
#include "tools/qmxcam/host_os.h"

#include <atomic>
#include <cstdio>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace qmxcam {
namespace {

std::atomic<bool> interrupt_seen{false};

#if defined(_WIN32)
BOOL WINAPI console_handler(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    interrupt_seen.store(true);
    return TRUE;
  }
  return FALSE;
}
#else
void sigint_handler(int) {
  interrupt_seen.store(true);
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

void install_interrupt_handler() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(console_handler, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = sigint_handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
#endif
}

bool interrupted() {
  return interrupt_seen.load();
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

} // namespace qmxcam
