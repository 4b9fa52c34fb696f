// Simulator, hotplug: arrivals and removals told to the listeners (the monitor stand-in and any
// test that watches raw notifications), in the order in which they happened.
#include "sim/sim_world.h"

#include <algorithm>

namespace sim {

// `path` is a copy taken under the world lock: the device's own may change once it is dropped.
void notify(world& w, std::unique_lock<std::mutex>& lock, std::uint32_t event,
            std::string path) { // NOLINT(performance-unnecessary-value-param)
  std::vector<listener_entry> targets;
  try {
    if (w.primary.listener != nullptr) {
      targets.push_back(w.primary);
    }
    targets.insert(targets.end(), w.listeners.begin(), w.listeners.end());
  } catch (...) {
    targets.clear(); // out of memory: nobody hears of this change, but the order still holds
  }
  // The ticket is taken with the change itself under the world lock, so tickets follow the
  // order of the changes even when several threads plug and unplug at once.
  const std::uint64_t ticket = w.next_ticket++;
  lock.unlock();
  {
    qmx::unique_lock order(w.order_mutex);
    while (w.serving != ticket) {
      order.wait(w.order_changed);
    }
  }
  for (const listener_entry& target : targets) {
    target.listener(target.context, event, path.c_str());
  }
  {
    qmx::lock_guard order(w.order_mutex);
    ++w.serving;
  }
  w.order_changed.notify_all();
  lock.lock();
}

} // namespace sim

using namespace sim;

extern "C" {

QMX_SIM_API void qmx_sim_set_hotplug_listener(qmx_sim_hotplug_listener listener, void* context) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  w.primary = {listener, context};
}

QMX_SIM_API int qmx_sim_add_hotplug_listener(qmx_sim_hotplug_listener listener, void* context) {
  if (listener == nullptr) {
    return -1;
  }
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  const auto same = [&](const listener_entry& e) {
    return e.listener == listener && e.context == context;
  };
  if (std::find_if(w.listeners.begin(), w.listeners.end(), same) == w.listeners.end()) {
    try {
      w.listeners.push_back({listener, context});
    } catch (...) {
      return -1;
    }
  }
  return 0;
}

QMX_SIM_API int qmx_sim_remove_hotplug_listener(qmx_sim_hotplug_listener listener, void* context) {
  world& w = the_world();
  std::uint64_t issued = 0;
  {
    std::lock_guard lock(w.mutex);
    const auto found =
        std::find_if(w.listeners.begin(), w.listeners.end(), [&](const listener_entry& e) {
          return e.listener == listener && e.context == context;
        });
    if (found == w.listeners.end()) {
      return -1;
    }
    w.listeners.erase(found);
    issued = w.next_ticket;
  }
  // Notifications that took their ticket before the removal may still call the pair.
  qmx::unique_lock order(w.order_mutex);
  while (w.serving < issued) {
    order.wait(w.order_changed);
  }
  return 0;
}

} // extern "C"
