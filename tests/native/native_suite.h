// Native-path tests: what the suites share. The bridge serves the test bus driver from the
// simulator for the whole process, so every case runs with the kernel driver as the only device
// source.
#pragma once

#include "tests/native/bridge.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN // keeps out the COM headers, whose `interface` macro breaks libusb's
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace native_test {

// The bridge of this process (connected before the first case, by native_main.cpp).
bus_bridge& the_bridge();

// Wine gives a program a handle to a device even when its driver refused the open; Windows
// refuses the open itself. Tests of exclusive opens check what each allows.
inline bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace native_test
