// Simulator, world: the simulated cameras, their interface paths, and plugging them in and out.
#include "sim/sim_world.h"

#include <cstdio>

namespace sim {

namespace {

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

std::string make_path(const device& d, int instance) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", d.vendor_id, d.product_id);
  // Built by appending: g++ 12 warns falsely (-Wrestrict) about chained std::string additions.
  std::string path = "\\\\?\\usb#";
  path.append(ids).append("#").append(d.serial);
  if (d.path_generation > 0) {
    path.append("_").append(std::to_string(d.path_generation));
  }
  if (instance > 0) {
    path.append("&").append(std::to_string(instance));
  }
  path.append("#{ae18aa60-7f6a-11d4-97dd-00010229b959}");
  return path;
}

bool path_taken(const world& w, const device& d, const std::string& path) {
  const std::string wanted = upper(path);
  for (const auto& other : w.devices) {
    if (other.get() != &d && !other->removed && upper(other->path) == wanted) {
      return true;
    }
  }
  return false;
}

// The path derived from the serial number; two cameras with one serial get distinct paths.
void choose_path(const world& w, device& d) {
  int instance = 0;
  d.path = make_path(d, instance);
  while (path_taken(w, d, d.path)) {
    d.path = make_path(d, ++instance);
  }
}

} // namespace

world& the_world() {
  static world* instance = new world;
  return *instance;
}

device* find_device(world& w, int id) {
  for (auto& d : w.devices) {
    if (d->id == id && !d->removed) {
      return d.get();
    }
  }
  return nullptr;
}

void assign_path(world& w, device& d, bool new_path) {
  if (new_path) {
    ++d.path_generation;
  }
  choose_path(w, d);
}

void plug_in(world& w, std::unique_lock<std::mutex>& lock, device& d) {
  ++d.plug;
  d.exclusive_opens = 0;
  d.shared_opens = 0;
  d.camera->power_on();
  d.next_frame_counter = d.frame_counter_start;
  d.replies.clear();
  d.present = true;
  notify(w, lock, QMX_SIM_EVENT_ARRIVED, d.path);
}

void unplug(world& w, std::unique_lock<std::mutex>& lock, device& d, bool tell_listeners) {
  d.present = false;
  if (d.streamer.joinable() && d.streamer.get_id() == std::this_thread::get_id()) {
    d.stream_stop = true; // the streamer unplugs its own camera: it leaves its loop by itself
  } else {
    stop_streamer(lock, d);
  }
  fail_pending(d, nullptr, win32::device_not_connected);
  d.replies.clear();
  discard_kept_packets(d);
  count_pending(d);
  if (tell_listeners) {
    notify(w, lock, QMX_SIM_EVENT_LEFT, d.path);
  }
}

} // namespace sim
