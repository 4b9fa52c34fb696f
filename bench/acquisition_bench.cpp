// Bench: acquisition end to end through the module's exported interface, loaded as a host loads
// it, from a simulated 1280 x 1024 camera (2 calibration lines). Prints frames per second,
// megabytes per second of packets, frames dropped, and the CPU time the module's USB threads used
// per second of acquisition; first with the camera at maximum rate, then paced at about 400 MB/s.
//   acquisition_bench [seconds per run, default 3]
#include "include/qmx_module.h"
#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

using clock_type = std::chrono::steady_clock;
using data_fn = int (*)(void*, const char*, size_t, void*, size_t, char*, size_t);

void* symbol(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

// CPU seconds used so far by the module's USB threads (named "wait ..." and "cb ..."); -1 where
// per-thread times are not available.
double module_thread_seconds() {
#if defined(__linux__)
  double seconds = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) {
    return -1;
  }
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') {
      continue;
    }
    const std::string base = std::string("/proc/self/task/") + task->d_name;
    char name[64] = {};
    if (std::FILE* comm = std::fopen((base + "/comm").c_str(), "r")) {
      if (std::fgets(name, sizeof name, comm) == nullptr) {
        name[0] = '\0';
      }
      std::fclose(comm);
    }
    if (std::strncmp(name, "wait ", 5) != 0 && std::strncmp(name, "cb ", 3) != 0) {
      continue;
    }
    if (std::FILE* stat = std::fopen((base + "/stat").c_str(), "r")) {
      char line[1024] = {};
      if (std::fgets(line, sizeof line, stat) != nullptr) {
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        const char* after = std::strrchr(line, ')');
        unsigned long utime = 0;
        unsigned long stime = 0;
        if (after != nullptr &&
            std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                        &stime) == 2) {
          seconds += static_cast<double>(utime + stime) / ticks;
        }
      }
      std::fclose(stat);
    }
  }
  closedir(tasks);
  return seconds;
#else
  return -1;
#endif
}

struct run_result {
  double frames_per_second;
  double packet_megabytes_per_second;
  unsigned long long frames;
  std::string statistics;
  double cpu_per_second;
};

run_result run(data_fn get_data, data_fn set_data, void* handle, int camera, double seconds) {
  char response[512];
  get_data(handle, "acquisition_bytes_per_frame", 28, nullptr, 0, response, sizeof response);
  const std::size_t slot = std::strtoull(response, nullptr, 10);
  std::vector<unsigned char> buffer(slot * 16);
  set_data(handle, "arm", 4, buffer.data(), buffer.size(), response, sizeof response);
  std::uint64_t address = 0;
  get_data(handle, "image_wait_per_frame", 21, &address, 8, response, sizeof response);
  qmx_sim_counters before{};
  qmx_sim_get_counters(camera, &before);
  const double cpu_before = module_thread_seconds();
  const auto start = clock_type::now();
  unsigned long long frames = 0;
  while (clock_type::now() - start < std::chrono::duration<double>(seconds)) {
    get_data(handle, "image_wait_per_frame", 21, &address, 8, response, sizeof response);
    if (address != 0) {
      ++frames;
    }
  }
  const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
  const double cpu = module_thread_seconds() - cpu_before;
  qmx_sim_counters after{};
  qmx_sim_get_counters(camera, &after);
  get_data(handle, "qmx_module.acquisition_statistics", 34, nullptr, 0, response, sizeof response);
  run_result result{};
  result.statistics = response;
  set_data(handle, "stop", 5, nullptr, 0, response, sizeof response);
  constexpr double packet_bytes = 16384;
  result.frames = frames;
  result.frames_per_second = static_cast<double>(frames) / elapsed;
  result.packet_megabytes_per_second =
      static_cast<double>(after.packets_sent - before.packets_sent) * packet_bytes / elapsed / 1e6;
  result.cpu_per_second = cpu_before < 0 ? -1 : cpu / elapsed;
  return result;
}

void print(const char* what, const run_result& r) {
  std::printf("%s: %.1f frames/s handed out, %.0f MB/s of packets, module USB threads %.1f%% of "
              "one core\n  %s\n",
              what, r.frames_per_second, r.packet_megabytes_per_second, r.cpu_per_second * 100,
              r.statistics.c_str());
}

} // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  // The monitor stand-in must be loaded before the module initialises; calling it keeps the
  // linker from dropping it.
  hotplug_monitor_wait_idle(0);
#if defined(_WIN32)
  void* library = reinterpret_cast<void*>(LoadLibraryA("orbanite_qmx_camera.dll"));
#else
  void* library = dlopen(QMX_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
  if (library == nullptr) {
    std::fprintf(stderr, "acquisition_bench: the module could not be loaded\n");
    return 1;
  }
  auto initialize = reinterpret_cast<int (*)(void*)>(symbol(library, "ob_module_initialize"));
  auto get_function = reinterpret_cast<void* (*)(const char*)>(symbol(library, "ob_get_function"));
  if (initialize == nullptr || get_function == nullptr || initialize(nullptr) != 0) {
    std::fprintf(stderr, "acquisition_bench: the module did not initialise\n");
    return 1;
  }
  auto get_ids = reinterpret_cast<int (*)(char*, int, char*, int)>(get_function("get_device_ids"));
  auto create = reinterpret_cast<int (*)(const char*, void**)>(get_function("create"));
  auto destroy = reinterpret_cast<int (*)(void*)>(get_function("destroy"));
  auto get_data = reinterpret_cast<data_fn>(get_function("get_data__returns_zero_for_success"));
  auto set_data = reinterpret_cast<data_fn>(get_function("set_data__returns_zero_for_success"));
  const int camera = qmx_sim_camera_add("BENCH001", 0x0300);
  char ids[256];
  get_ids(ids, sizeof ids, nullptr, 0);
  std::string id(ids);
  id = id.substr(0, id.find(','));
  void* handle = nullptr;
  if (create(id.c_str(), &handle) != 0) {
    std::fprintf(stderr, "acquisition_bench: create failed\n");
    return 1;
  }
  char on[] = "on";
  set_data(handle, "image_metadata", 15, on, 3, nullptr, 0);
  qmx_sim_set_max_rate(camera, 1);
  print("maximum rate", run(get_data, set_data, handle, camera, seconds));
  qmx_sim_set_max_rate(camera, 0);
  char reply[64];
  // 101 packets of 16384 bytes a frame: 242 frames a second make about 400 MB/s.
  get_data(handle, "fps 242", 8, nullptr, 0, reply, sizeof reply);
  print("paced at 242 frames/s", run(get_data, set_data, handle, camera, seconds));
  destroy(handle);
  return 0;
}
