// Hotplug notifications of the simulated world: the order they reach listeners in when several
// threads plug and unplug at once, several listeners beside the monitor stand-in, the monitor's
// notification delay, and a reset racing with new cameras.
#include "platform/device_io.h"
#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"
#include "tests/support/driver_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" int hotplug_event_subscribe(std::uint32_t vendor_id, std::uint32_t product_id,
                                       void (*notify)(std::uint32_t, const char*, void*),
                                       void* context);

namespace {

struct heard {
  std::uint32_t event;
  std::string path;
  std::chrono::steady_clock::time_point when;
};

struct notification_log {
  std::mutex mutex;
  std::vector<heard> events;

  void add(std::uint32_t event, const char* path) {
    std::lock_guard lock(mutex);
    events.push_back({event, path, std::chrono::steady_clock::now()});
  }
  std::vector<heard> copy() {
    std::lock_guard lock(mutex);
    return events;
  }
};

void raw_listener(void* context, std::uint32_t event, const char* path) {
  static_cast<notification_log*>(context)->add(event, path);
}

// Slow to take removals: an arrival told on another thread meanwhile would overtake them.
void slow_listener(void* context, std::uint32_t event, const char* path) {
  if (event == QMX_SIM_EVENT_LEFT) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  static_cast<notification_log*>(context)->add(event, path);
}

// The monitor keeps its subscribers for the life of the process: this one lives as long.
notification_log& monitor_log() {
  static auto* log = [] {
    auto* created = new notification_log;
    EXPECT_EQ(hotplug_event_subscribe(
                  0x2F4E, 0x4002,
                  [](std::uint32_t event, const char* path, void* context) {
                    static_cast<notification_log*>(context)->add(event, path);
                  },
                  created),
              0);
    return created;
  }();
  return *log;
}

std::string path_of(int camera) {
  char path[512];
  EXPECT_EQ(qmx_sim_camera_path(camera, path, sizeof path), 0);
  return path;
}

class sim_hotplug : public ::testing::Test {
protected:
  void SetUp() override { qmx_sim_reset(); }
  void TearDown() override {
    hotplug_monitor_set_delay(0);
    EXPECT_EQ(hotplug_monitor_wait_idle(5000), 1);
    qmx_sim_reset();
  }
};

// One thread unplugs while another replugs on a new path as soon as it can: every listener must
// hear removal and arrival alternate, each removal naming the path of the arrival before it.
TEST_F(sim_hotplug, notifications_keep_the_order_of_changes_across_threads) {
  const int camera = qmx_sim_camera_add("ORDER001", 0x0300);
  notification_log log;
  ASSERT_EQ(qmx_sim_add_hotplug_listener(slow_listener, &log), 0);
  EXPECT_EQ(qmx_sim_add_hotplug_listener(slow_listener, &log), 0) << "added once only";
  constexpr int rounds = 300;
  std::atomic<int> replugged{0};
  std::thread replugger([&] {
    while (replugged.load() < rounds) {
      if (qmx_sim_camera_replug(camera, 1) == 0) {
        replugged.fetch_add(1);
      } else {
        std::this_thread::yield();
      }
    }
  });
  for (int unplugged = 0; unplugged < rounds;) {
    if (qmx_sim_camera_unplug(camera) == 0) {
      ++unplugged;
    } else {
      std::this_thread::yield();
    }
  }
  replugger.join();
  ASSERT_EQ(qmx_sim_remove_hotplug_listener(slow_listener, &log), 0);
  EXPECT_EQ(qmx_sim_remove_hotplug_listener(slow_listener, &log), -1);
  const std::vector<heard> events = log.copy();
  ASSERT_EQ(events.size(), 2u * rounds);
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::uint32_t expected = i % 2 == 0 ? QMX_SIM_EVENT_LEFT : QMX_SIM_EVENT_ARRIVED;
    ASSERT_EQ(events[i].event, expected) << "notification " << i;
    if (expected == QMX_SIM_EVENT_LEFT && i > 0) {
      ASSERT_EQ(events[i].path, events[i - 1].path) << "notification " << i;
    }
  }
  EXPECT_EQ(events.back().path, path_of(camera));
}

TEST_F(sim_hotplug, every_listener_and_the_monitor_hear_each_change) {
  notification_log& monitor = monitor_log();
  const std::size_t monitor_before = monitor.copy().size();
  notification_log first;
  notification_log second;
  ASSERT_EQ(qmx_sim_add_hotplug_listener(raw_listener, &first), 0);
  ASSERT_EQ(qmx_sim_add_hotplug_listener(raw_listener, &second), 0);
  const int camera = qmx_sim_camera_add("LISTEN01", 0x0300);
  ASSERT_GT(camera, 0);
  ASSERT_EQ(qmx_sim_remove_hotplug_listener(raw_listener, &second), 0);
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  const auto a = first.copy();
  const auto b = second.copy();
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].event, QMX_SIM_EVENT_ARRIVED);
  EXPECT_EQ(a[0].path, path_of(camera));
  EXPECT_EQ(a[1].event, QMX_SIM_EVENT_LEFT);
  ASSERT_EQ(b.size(), 1u) << "a removed listener hears nothing more";
  const auto m = monitor.copy();
  ASSERT_EQ(m.size(), monitor_before + 2);
  EXPECT_EQ(m[monitor_before].event, QMX_SIM_EVENT_ARRIVED);
  EXPECT_EQ(m[monitor_before + 1].event, QMX_SIM_EVENT_LEFT);
  ASSERT_EQ(qmx_sim_remove_hotplug_listener(raw_listener, &first), 0);
  EXPECT_EQ(qmx_sim_add_hotplug_listener(nullptr, &first), -1);
}

TEST_F(sim_hotplug, monitor_delays_notifications_and_keeps_their_order) {
  notification_log& monitor = monitor_log();
  const std::size_t before = monitor.copy().size();
  hotplug_monitor_set_delay(150);
  const auto plugged_at = std::chrono::steady_clock::now();
  const int camera = qmx_sim_camera_add("DELAY001", 0x0300);
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  EXPECT_EQ(hotplug_monitor_wait_idle(20), 0) << "the notifications are still held back";
  EXPECT_EQ(monitor.copy().size(), before);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  const auto m = monitor.copy();
  ASSERT_EQ(m.size(), before + 2);
  EXPECT_GE(m[before].when - plugged_at, std::chrono::milliseconds(150));
  EXPECT_EQ(m[before].event, QMX_SIM_EVENT_ARRIVED);
  EXPECT_EQ(m[before + 1].event, QMX_SIM_EVENT_LEFT);
}

// Reset unplugs streaming cameras, which drops the world lock while each streamer stops; cameras
// added meanwhile must neither break the walk nor survive it.
TEST_F(sim_hotplug, reset_while_cameras_are_added) {
  using namespace driver_requests;
  for (int round = 0; round < 5; ++round) {
    std::vector<platform::device_file> files;
    for (int n = 0; n < 4; ++n) {
      const int camera = qmx_sim_camera_add(("RESET" + std::to_string(n)).c_str(), 0x0300);
      files.push_back(
          platform::device_file::open(path_of(camera).c_str(), platform::share_mode::exclusive));
      ASSERT_TRUE(files.back().valid());
      ASSERT_EQ(transact(files.back(), "fps 1000"), "ok");
      ASSERT_EQ(transact(files.back(), "arm"), "ok");
    }
    std::atomic<bool> done{false};
    std::thread adder([&] {
      for (int n = 0; !done.load(); ++n) {
        qmx_sim_camera_add(("ADDED" + std::to_string(n)).c_str(), 0x0300);
      }
    });
    qmx_sim_reset();
    done.store(true);
    adder.join();
    qmx_sim_reset();
    const platform::interface_class_guid driver_class{
        0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};
    EXPECT_TRUE(platform::enumerate_device_interfaces(driver_class).paths.empty());
    files.clear();
  }
}

} // namespace
