// Tests, host side: loads the camera module as a host does (LoadLibrary or dlopen, then the
// module's entry points by name, then the device functions through its function table).
#pragma once

#include "include/qmx_module.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace host_test {

// Threads of this process now (Linux); -1 where the count is not available.
inline int thread_count() {
#if defined(__linux__)
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) {
    return -1;
  }
  char line[256];
  int threads = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Threads: %d", &threads) == 1) {
      break;
    }
  }
  std::fclose(status);
  return threads;
#else
  return -1;
#endif
}

// Waits up to a second for the thread count to reach `expected` (threads end asynchronously
// after they are joined); the last count seen.
inline int settled_thread_count(int expected) {
  int now = thread_count();
  for (int tries = 0; tries < 100 && now != expected; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = thread_count();
  }
  return now;
}

using name_fn = const char* (*)();
using initialize_fn = int (*)(void*);
using uninitialize_fn = int (*)();
using get_function_fn = void* (*)(const char*);
using get_function_name_fn = const char* (*)(std::uint32_t);
using count_fn = int (*)();
using get_device_ids_fn = int (*)(char*, int, char*, int);
using create_fn = int (*)(const char*, void**);
using destroy_fn = int (*)(void*);
using data_fn = int (*)(void*, const char*, size_t, void*, size_t, char*, size_t);
using module_data_fn = int (*)(const char*, void*, int);

// The module's entry points, looked up by name in the loaded library.
struct host_module {
  void* library = nullptr;
  name_fn get_name = nullptr;
  name_fn get_type = nullptr;
  name_fn get_version = nullptr;
  initialize_fn initialize = nullptr;
  uninitialize_fn uninitialize = nullptr;
  get_function_fn get_function = nullptr;
  get_function_name_fn get_function_name = nullptr;
  count_fn get_num_attributes = nullptr;

  void* symbol(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return dlsym(library, name);
#endif
  }

  template <typename F> F lookup(const char* name) const {
    return reinterpret_cast<F>(symbol(name));
  }

  void unload() {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(library));
#else
    dlclose(library);
#endif
    library = nullptr;
  }

  static host_module load() {
    host_module m;
#if defined(_WIN32)
    m.library = reinterpret_cast<void*>(LoadLibraryA(QMX_MODULE_FILE));
#else
    m.library = dlopen(QMX_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
    if (m.library == nullptr) {
      return m;
    }
    m.get_name = m.lookup<name_fn>("ob_module_get_name");
    m.get_type = m.lookup<name_fn>("ob_module_get_type");
    m.get_version = m.lookup<name_fn>("ob_module_get_version");
    m.initialize = m.lookup<initialize_fn>("ob_module_initialize");
    m.uninitialize = m.lookup<uninitialize_fn>("ob_module_uninitialize");
    m.get_function = m.lookup<get_function_fn>("ob_get_function");
    m.get_function_name = m.lookup<get_function_name_fn>("ob_get_function_name");
    m.get_num_attributes = m.lookup<count_fn>("ob_get_num_mod_attributes");
    return m;
  }
};

// The device functions as the host obtains them from the function table.
struct device_functions {
  get_device_ids_fn get_device_ids = nullptr;
  create_fn create = nullptr;
  destroy_fn destroy = nullptr;
  data_fn get_data = nullptr;
  data_fn set_data = nullptr;
  module_data_fn get_module_data = nullptr;
  module_data_fn set_module_data = nullptr;

  static device_functions from(const host_module& m) {
    device_functions f;
    f.get_device_ids = reinterpret_cast<get_device_ids_fn>(m.get_function("get_device_ids"));
    f.create = reinterpret_cast<create_fn>(m.get_function("create"));
    f.destroy = reinterpret_cast<destroy_fn>(m.get_function("destroy"));
    f.get_data = reinterpret_cast<data_fn>(m.get_function("get_data__returns_zero_for_success"));
    f.set_data = reinterpret_cast<data_fn>(m.get_function("set_data__returns_zero_for_success"));
    f.get_module_data = reinterpret_cast<module_data_fn>(m.get_function("get_module_data"));
    f.set_module_data = reinterpret_cast<module_data_fn>(m.get_function("set_module_data"));
    return f;
  }

  bool complete() const {
    return get_device_ids && create && destroy && get_data && set_data && get_module_data &&
           set_module_data;
  }

  // Device IDs and serials as the module lists them (each followed by a comma).
  std::pair<std::string, std::string> list() const {
    std::vector<char> ids(4096, 'x');
    std::vector<char> serials(4096, 'x');
    EXPECT_EQ(get_device_ids(ids.data(), static_cast<int>(ids.size()), serials.data(),
                             static_cast<int>(serials.size())),
              0);
    return {ids.data(), serials.data()};
  }

  // A text command through get_data; the result code and the answer.
  std::pair<int, std::string> get(void* handle, const std::string& command) const {
    char response[1024] = {};
    const int result = get_data(handle, command.c_str(), command.size() + 1, nullptr, 0, response,
                                sizeof response);
    return {result, response};
  }
};

} // namespace host_test
