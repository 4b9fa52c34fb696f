// Simulator, control interface: the C functions through which tests, benches and host programs
// plug cameras in and out, configure them, script their faults and read their counters and
// frame log.
#include "sim/sim_world.h"
#include "sim/test_pattern.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint32_t max_sensor_side = 4096;
constexpr std::uint32_t max_calibration_lines = 64;
constexpr std::uint32_t max_reply_bytes = 1024;
constexpr std::uint16_t default_vendor_id = 0x2F4E;
constexpr std::uint16_t default_product_id = 0x4002;
constexpr std::uint16_t default_bcd_usb = 0x0300;
constexpr std::uint32_t default_sensor_width = 1280;
constexpr std::uint32_t default_sensor_height = 1024;
constexpr std::uint32_t default_calibration_lines = 2;

// Runs `change` on a known camera under the world lock; 0, or -1 for an unknown camera.
template <typename F> int with_camera(int camera, F change) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr) {
    return -1;
  }
  return change(*d);
}

bool config_is_valid(const qmx_sim_camera_config& c) {
  return c.struct_size >= sizeof(qmx_sim_camera_config) && c.serial != nullptr &&
         c.serial[0] != '\0' && c.sensor_width >= 4 && c.sensor_width <= max_sensor_side &&
         c.sensor_width % 4 == 0 && c.sensor_height >= 1 && c.sensor_height <= max_sensor_side &&
         c.calibration_lines <= max_calibration_lines;
}

int add_camera(const qmx_sim_camera_config& c) {
  if (!config_is_valid(c)) {
    return 0;
  }
  try {
    world& w = the_world();
    std::unique_lock lock(w.mutex);
    auto d = std::make_unique<device>();
    d->id = static_cast<int>(w.devices.size()) + 1;
    d->serial = c.serial;
    if (c.id != nullptr) {
      d->id_text = c.id;
    } else {
      char text[32];
      std::snprintf(text, sizeof text, "QMXSIM-%04d", d->id);
      d->id_text = text;
    }
    d->bcd_usb = c.bcd_usb;
    d->vendor_id = c.vendor_id;
    d->product_id = c.product_id;
    camera_config config;
    config.serial_number = d->serial;
    config.id = d->id_text;
    config.usb_bcd = c.bcd_usb;
    config.sensor_width = c.sensor_width;
    config.sensor_height = c.sensor_height;
    config.calibration_lines = c.calibration_lines;
    config.random_seed = static_cast<std::uint32_t>(d->id);
    d->camera = std::make_unique<camera_model>(config);
    assign_path(w, *d, false);
    device& added = *d;
    w.devices.push_back(std::move(d));
    if (c.plugged != 0) {
      plug_in(w, lock, added);
    }
    return added.id;
  } catch (...) {
    return 0;
  }
}

} // namespace

} // namespace sim

using namespace sim;

extern "C" {

QMX_SIM_API void qmx_sim_camera_config_init(qmx_sim_camera_config* config) {
  if (config == nullptr) {
    return;
  }
  *config = qmx_sim_camera_config{};
  config->struct_size = sizeof(qmx_sim_camera_config);
  config->bcd_usb = default_bcd_usb;
  config->vendor_id = default_vendor_id;
  config->product_id = default_product_id;
  config->sensor_width = default_sensor_width;
  config->sensor_height = default_sensor_height;
  config->calibration_lines = default_calibration_lines;
  config->plugged = 1;
}

QMX_SIM_API int qmx_sim_camera_add_configured(const qmx_sim_camera_config* config) {
  return config == nullptr ? 0 : add_camera(*config);
}

QMX_SIM_API int qmx_sim_camera_add(const char* serial, std::uint16_t bcd_usb) {
  qmx_sim_camera_config config;
  qmx_sim_camera_config_init(&config);
  config.serial = serial;
  config.bcd_usb = bcd_usb;
  return add_camera(config);
}

QMX_SIM_API int qmx_sim_camera_unplug(int camera) {
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr || !d->present) {
    return -1;
  }
  unplug(w, lock, *d, true);
  return 0;
}

QMX_SIM_API int qmx_sim_camera_replug(int camera, int new_path) {
  try {
    world& w = the_world();
    std::unique_lock lock(w.mutex);
    device* d = find_device(w, camera);
    if (d == nullptr || d->present) {
      return -1;
    }
    if (new_path != 0) {
      assign_path(w, *d, true);
    }
    plug_in(w, lock, *d);
    return 0;
  } catch (...) {
    return -1;
  }
}

QMX_SIM_API int qmx_sim_camera_path(int camera, char* path, std::uint32_t capacity) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr || path == nullptr || capacity <= d->path.size()) {
    return -1;
  }
  std::memcpy(path, d->path.c_str(), d->path.size() + 1);
  return 0;
}

QMX_SIM_API void qmx_sim_reset(void) {
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  // By index: unplugging drops the lock, and a camera added meanwhile may grow the list.
  for (std::size_t i = 0; i < w.devices.size(); ++i) {
    device* d = w.devices[i].get();
    if (!d->removed) {
      unplug(w, lock, *d, false);
      d->removed = true;
    }
  }
}

QMX_SIM_API int qmx_sim_set_control_hang(int camera, int hang) {
  return with_camera(camera, [hang](device& d) {
    d.control_hang = hang != 0;
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_error_replies(int camera, const char* command, std::uint32_t count) {
  if (command == nullptr) {
    return -1;
  }
  return with_camera(camera, [command, count](device& d) {
    try {
      d.camera->fail_first_queries(command, count);
      return 0;
    } catch (...) {
      return -1;
    }
  });
}

QMX_SIM_API int qmx_sim_set_silent(int camera, int silent) {
  return with_camera(camera, [silent](device& d) {
    d.silent = silent != 0;
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_packet_faults(int camera, const qmx_sim_packet_faults* faults) {
  if (faults == nullptr) {
    return -1;
  }
  return with_camera(camera, [faults](device& d) {
    packet_fault_settings settings;
    settings.corrupt_magic = faults->corrupt_magic;
    settings.drop = faults->drop;
    settings.repeat = faults->repeat;
    settings.reorder = faults->reorder;
    settings.shorten = faults->shorten;
    d.camera->set_packet_faults(settings);
    return 0;
  });
}

QMX_SIM_API std::uint32_t qmx_sim_random_seed(int camera) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  return d == nullptr ? 0 : d->camera->random_seed();
}

QMX_SIM_API int qmx_sim_set_random_seed(int camera, std::uint32_t seed) {
  return with_camera(camera, [seed](device& d) {
    d.camera->set_random_seed(seed);
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_reply_delay(int camera, std::uint32_t delay_ms) {
  return with_camera(camera, [delay_ms](device& d) {
    d.reply_delay_ms = delay_ms;
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_open_delay(int camera, std::uint32_t delay_ms) {
  return with_camera(camera, [delay_ms](device& d) {
    d.open_delay_ms = delay_ms;
    return 0;
  });
}

QMX_SIM_API int qmx_sim_set_max_rate(int camera, int on) {
  return with_camera(camera, [on](device& d) {
    d.max_rate = on != 0;
    d.stream_wake.notify_all();
    return 0;
  });
}

QMX_SIM_API int qmx_sim_get_counters(int camera, qmx_sim_counters* counters) {
  if (counters == nullptr) {
    return -1;
  }
  return with_camera(camera, [counters](device& d) {
    count_pending(d);
    *counters = d.counters;
    return 0;
  });
}

QMX_SIM_API std::uint32_t qmx_sim_last_request(int camera, int endpoint, std::uint8_t* copy,
                                               std::uint32_t capacity) {
  world& w = the_world();
  std::lock_guard lock(w.mutex);
  device* d = find_device(w, camera);
  if (d == nullptr || endpoint < 0 || endpoint > QMX_SIM_ENDPOINT_CONTROL || copy == nullptr) {
    return 0;
  }
  const std::vector<std::uint8_t>& last = d->last_request[endpoint];
  const std::uint32_t copied =
      std::min<std::uint32_t>(capacity, static_cast<std::uint32_t>(last.size()));
  std::memcpy(copy, last.data(), copied);
  return copied;
}

QMX_SIM_API int qmx_sim_set_reply_override(int camera, const char* command, const char* reply,
                                           std::uint32_t length, std::uint32_t count) {
  if (command == nullptr || length > max_reply_bytes || (reply == nullptr && length > 0)) {
    return -1;
  }
  return with_camera(camera, [&](device& d) {
    try {
      auto& overrides = d.overrides;
      overrides.erase(std::remove_if(overrides.begin(), overrides.end(),
                                     [&](const reply_override& o) { return o.keyword == command; }),
                      overrides.end());
      if (count > 0) {
        overrides.push_back({command, std::string(reply, length), count});
      }
      return 0;
    } catch (...) {
      return -1;
    }
  });
}

QMX_SIM_API int qmx_sim_set_endpoint_fault(int camera, int endpoint, int kind, std::uint32_t error,
                                           std::uint32_t count) {
  if (endpoint < 0 || endpoint >= endpoint_slots ||
      (count > 0 && (kind < QMX_SIM_FAULT_REFUSE || kind > QMX_SIM_FAULT_HANG))) {
    return -1;
  }
  return with_camera(camera, [&](device& d) {
    d.endpoint_faults[endpoint] = count > 0 ? endpoint_fault{kind, error, count} : endpoint_fault{};
    return 0;
  });
}

QMX_SIM_API int qmx_sim_script_packet_fault(int camera, std::uint32_t frame, std::uint32_t packet,
                                            int kind, std::uint32_t argument) {
  if (kind < static_cast<int>(scripted_fault_kind::drop) ||
      kind > static_cast<int>(scripted_fault_kind::unplug)) {
    return -1;
  }
  return with_camera(camera, [&](device& d) {
    try {
      d.script.push_back({frame, packet, static_cast<scripted_fault_kind>(kind), argument});
      return 0;
    } catch (...) {
      return -1;
    }
  });
}

QMX_SIM_API int qmx_sim_set_frame_counter(int camera, std::uint32_t value) {
  return with_camera(camera, [value](device& d) {
    d.frame_counter_start = value;
    d.next_frame_counter = value;
    return 0;
  });
}

QMX_SIM_API std::uint32_t qmx_sim_get_frame_log(int camera, qmx_sim_frame_record* records,
                                                std::uint32_t capacity) {
  if (records == nullptr) {
    return 0;
  }
  std::uint32_t copied = 0;
  with_camera(camera, [&](device& d) {
    const std::size_t count = std::min<std::size_t>(capacity, d.frame_log.size());
    const std::size_t first = d.frame_log.size() - count;
    for (std::size_t i = 0; i < count; ++i) {
      records[i] = d.frame_log[first + i].record;
    }
    copied = static_cast<std::uint32_t>(count);
    return 0;
  });
  return copied;
}

QMX_SIM_API int qmx_sim_clear_frame_log(int camera) {
  return with_camera(camera, [](device& d) {
    // Frames still being sent stay, so that their outcome is still counted when it settles.
    while (!d.frame_log.empty() && d.frame_log.front().record.outcome != QMX_SIM_FRAME_SENDING) {
      d.frame_log.pop_front();
    }
    return 0;
  });
}

QMX_SIM_API int qmx_sim_get_fault_counters(int camera, qmx_sim_fault_counters* counters) {
  if (counters == nullptr || counters->struct_size < 2 * sizeof(std::uint32_t)) {
    return -1;
  }
  return with_camera(camera, [counters](device& d) {
    qmx_sim_fault_counters all = d.faults;
    const packet_fault_counters& packets = d.camera->fault_counters();
    all.packets_corrupted = packets.corrupted;
    all.packets_dropped = packets.dropped;
    all.packets_repeated = packets.repeated;
    all.packets_reordered = packets.reordered;
    all.packets_shortened = packets.shortened;
    all.packets_foreign = packets.foreign;
    all.unplugs_in_frame = packets.unplugs_in_frame;
    // A caller built against an older, shorter record gets the fields it knows.
    const std::uint32_t size =
        std::min<std::uint32_t>(counters->struct_size, sizeof(qmx_sim_fault_counters));
    all.struct_size = size;
    std::memcpy(counters, &all, size);
    return 0;
  });
}

QMX_SIM_API std::uint16_t qmx_sim_pattern_pixel(std::uint32_t frame, std::uint32_t row,
                                                std::uint32_t column) {
  return pattern_pixel(frame, row, column);
}

QMX_SIM_API std::uint16_t qmx_sim_calibration_pixel(std::uint32_t frame, std::uint32_t line,
                                                    std::uint32_t column) {
  return calibration_pixel(frame, line, column);
}

} // extern "C"
