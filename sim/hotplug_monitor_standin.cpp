// Simulator: stand-in for the camera maker's hotplug monitor library. It relays the simulated
// world's arrivals and removals to every subscriber, on a notification thread of its own.
// It does not link the simulator: it finds the simulator library already loaded in the process
// at the first subscription, so that a host can load the monitor without the simulator (real
// cameras only); without the simulator it is a monitor that never sees a camera.
#include "platform/platform.h"
#include "sim/qmx_sim.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#define MONITOR_EXPORT __declspec(dllexport)
#else
#define MONITOR_EXPORT __attribute__((visibility("default")))
#endif

namespace {

using notify_fn = void (*)(std::uint32_t event, const char* path, void* context);

struct subscriber {
  std::uint32_t vendor_id;
  std::uint32_t product_id;
  notify_fn notify;
  void* context;
};

using steady = std::chrono::steady_clock;

struct notification {
  std::uint32_t event;
  std::string path;
  steady::time_point due; // not delivered before this moment
};

// Lives for the whole process: subscriptions cannot be ended, and the notification thread runs
// until the process exits.
struct monitor {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  std::vector<subscriber> subscribers;
  std::deque<notification> queue;
  bool delivering = false;
  bool started = false;
  bool relay_simulator = true;
  std::chrono::milliseconds delay{0};
};

monitor& the_monitor() {
  static monitor* instance = new monitor;
  return *instance;
}

void notification_loop() {
  monitor& m = the_monitor();
  std::unique_lock lock(m.mutex);
  for (;;) {
    m.wake.wait(lock, [&] { return !m.queue.empty(); });
    // Notifications are due in the order they came, so waiting for the oldest keeps the order.
    const steady::time_point due = m.queue.front().due;
    if (steady::now() < due) {
      m.wake.wait_until(lock, due);
      continue;
    }
    notification next = std::move(m.queue.front());
    m.queue.pop_front();
    const std::vector<subscriber> targets = m.subscribers;
    m.delivering = true;
    lock.unlock();
    for (const subscriber& s : targets) {
      s.notify(next.event, next.path.c_str(), s.context);
    }
    lock.lock();
    m.delivering = false;
    if (m.queue.empty()) {
      m.idle.notify_all();
    }
  }
}

// Device-change notifications name the interface in upper case, while interface listings give
// it in lower case; the stand-in does the same, so subscribers must compare paths without
// regard to letter case.
std::string notified_path(const char* path) {
  std::string text(path);
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

// Queues a notification for the subscribers; `from_simulator` marks the simulator's own.
void post(std::uint32_t event, const char* path, bool from_simulator) {
  monitor& m = the_monitor();
  try {
    std::lock_guard lock(m.mutex);
    if (!m.started || (from_simulator && !m.relay_simulator)) {
      return;
    }
    m.queue.push_back({event, notified_path(path), steady::now() + m.delay});
  } catch (...) {
    return; // out of memory: the notification is lost, as a full message queue would lose it
  }
  m.wake.notify_one();
}

void on_world_change(void* /*context*/, std::uint32_t event, const char* path) {
  post(event, path, true);
}

// Attaches the relay to the simulator when the simulator library is loaded in the process.
void listen_to_the_simulator() {
  using set_listener_fn = void (*)(qmx_sim_hotplug_listener, void*);
  platform::library_handle simulator = platform::find_loaded_library(QMX_SIM_LIBRARY_FILE_NAME);
  if (simulator == nullptr) {
    return;
  }
  const auto set_listener = reinterpret_cast<set_listener_fn>(
      platform::find_library_function(simulator, "qmx_sim_set_hotplug_listener"));
  if (set_listener != nullptr) {
    set_listener(on_world_change, nullptr);
  }
}

} // namespace

extern "C" {

// Subscribes `notify` to every later arrival (event 1) and removal (event 2) of a simulated
// camera; it is called on the monitor's thread with the device's interface path in upper case. The
// vendor and product IDs are kept but not used to filter: the subscriber checks the device itself.
MONITOR_EXPORT int hotplug_event_subscribe(std::uint32_t vendor_id, std::uint32_t product_id,
                                           notify_fn notify, void* context) {
  if (notify == nullptr) {
    return -1;
  }
  try {
    monitor& m = the_monitor();
    std::lock_guard lock(m.mutex);
    m.subscribers.push_back({vendor_id, product_id, notify, context});
    if (!m.started) {
      std::thread(notification_loop).detach();
      listen_to_the_simulator();
      m.started = true;
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

MONITOR_EXPORT int hotplug_monitor_wait_idle(std::uint32_t timeout_ms) {
  monitor& m = the_monitor();
  std::unique_lock lock(m.mutex);
  return m.idle.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return m.queue.empty() && !m.delivering; })
             ? 1
             : 0;
}

MONITOR_EXPORT void hotplug_monitor_set_delay(std::uint32_t delay_ms) {
  monitor& m = the_monitor();
  std::lock_guard lock(m.mutex);
  m.delay = std::chrono::milliseconds(delay_ms);
}

MONITOR_EXPORT void hotplug_monitor_relay_simulator(int relay) {
  monitor& m = the_monitor();
  std::lock_guard lock(m.mutex);
  m.relay_simulator = relay != 0;
}

MONITOR_EXPORT void hotplug_monitor_report(std::uint32_t event, const char* path) {
  if (path != nullptr) {
    post(event, path, false);
  }
}

} // extern "C"
