// Test bus driver, installer: puts the test bus in (as the root-enumerated device
// ROOT\QMXTESTBUS\0000, driver from qmx_test_bus.inf beside this program) or takes it out again.
// Prints what it did; exit status 0 on success, 1 on failure, 2 on a usage error.
//   qmx_test_bus_install install      installs and waits until the bus's control interface is up
//   qmx_test_bus_install remove       removes the device (its children go with it)
#include "tests/native/test_bus_protocol.h"

#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr char instance_id[] = "ROOT\\QMXTESTBUS\\0000";
constexpr char hardware_id[] = "qmx_test_bus\0"; // a list of one string
constexpr char inf_name[] = "qmx_test_bus.inf";
constexpr auto interface_wait = std::chrono::seconds(30);

const GUID control_class = {QMX_TEST_BUS_CLASS_DATA1, QMX_TEST_BUS_CLASS_DATA2,
                            QMX_TEST_BUS_CLASS_DATA3, QMX_TEST_BUS_CLASS_DATA4};

int fail(const char* what) {
  const DWORD error = GetLastError();
  std::printf("qmx_test_bus_install: %s failed, error %lu (0x%lx)\n", what, error, error);
  return 1;
}

std::string program_folder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  const std::size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

// The number of present control interfaces of the bus.
int control_interfaces() {
  HDEVINFO set =
      SetupDiGetClassDevsA(&control_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    return 0;
  }
  int count = 0;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  while (SetupDiEnumDeviceInterfaces(set, nullptr, &control_class, static_cast<DWORD>(count),
                                     &data) != FALSE) {
    ++count;
  }
  SetupDiDestroyDeviceInfoList(set);
  return count;
}

int install() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    return fail("SetupDiCreateDeviceInfoList");
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  const GUID no_class{};
  if (SetupDiCreateDeviceInfoA(set, instance_id, &no_class, nullptr, nullptr, 0, &device) ==
      FALSE) {
    if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
      return fail("SetupDiCreateDeviceInfo");
    }
    std::printf("qmx_test_bus_install: %s exists already\n", instance_id);
  } else {
    if (SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE*>(hardware_id),
                                          sizeof hardware_id) == FALSE) {
      return fail("SetupDiSetDeviceRegistryProperty(HARDWAREID)");
    }
    if (SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device) == FALSE) {
      return fail("DIF_REGISTERDEVICE");
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  const std::string inf = program_folder() + "\\" + inf_name;
  BOOL reboot = FALSE;
  if (UpdateDriverForPlugAndPlayDevicesA(nullptr, hardware_id, inf.c_str(), INSTALLFLAG_FORCE,
                                         &reboot) == FALSE) {
    return fail("UpdateDriverForPlugAndPlayDevices");
  }
  // The system starts the device on its own time; the bus serves once its interface is up.
  const auto deadline = std::chrono::steady_clock::now() + interface_wait;
  while (control_interfaces() == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::printf("qmx_test_bus_install: the bus's interface did not appear\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("qmx_test_bus_install: installed %s from %s\n", instance_id, inf.c_str());
  return 0;
}

int remove() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    return fail("SetupDiCreateDeviceInfoList");
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (SetupDiOpenDeviceInfoA(set, instance_id, nullptr, 0, &device) == FALSE) {
    return fail("SetupDiOpenDeviceInfo");
  }
  if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device) == FALSE) {
    return fail("DIF_REMOVE");
  }
  SetupDiDestroyDeviceInfoList(set);
  std::printf("qmx_test_bus_install: removed %s\n", instance_id);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 2 && std::strcmp(argv[1], "install") == 0) {
    return install();
  }
  if (argc == 2 && std::strcmp(argv[1], "remove") == 0) {
    return remove();
  }
  std::printf("usage: qmx_test_bus_install install | remove\n");
  return 2;
}
