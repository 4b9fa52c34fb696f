// qmxcam, operating-system seam: loading the module and looking up its exports, the Ctrl-C
// handler, and whether stderr is a terminal. The only file of the program that knows the OS.
#pragma once

#include <string>

namespace qmxcam {

// Loads a shared library by file name or path; null on failure, with the system's reason in
// `error`.
void* load_library(const std::string& file, std::string& error);
// The address of export `name` of `library`, or null.
void* library_symbol(void* library, const char* name);
// Whether a library of this file name is loaded in the process (it loads nothing).
bool library_in_process(const std::string& file);

// Installs the handler for Ctrl-C (SIGINT on POSIX, the console control handler on Windows).
// The handler only records the interrupt; interrupted() reads it from any thread.
void install_interrupt_handler();
bool interrupted();

// The folder that holds the running executable, with a trailing separator ("" if unknown).
std::string executable_folder();
// The file names on this system of the module, the simulator and the hotplug monitor.
const char* module_file_name();
const char* simulator_file_name();
const char* monitor_file_name();

// Why this system has no real cameras to offer (no driver for them), or null where it has.
const char* real_cameras_unavailable_reason();

// Whether standard error goes to a terminal (the progress line is drawn only then).
bool stderr_is_terminal();

} // namespace qmxcam
