// The hotplug bridge with the monitor stand-in loaded: registration, arrival and removal
// callbacks with the filter, and deregistration waking the event thread.
#include "sim/hotplug_monitor.h"
#include "usb_test_support.h"

#include <atomic>
#include <thread>

namespace {

using namespace usb_test;

struct hotplug_log {
  std::mutex mutex;
  std::vector<std::pair<libusb_device*, int>> events;
  std::vector<std::uint16_t> products;
};

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                           void* user_data) {
  auto* log = static_cast<hotplug_log*>(user_data);
  libusb_device_descriptor d{};
  libusb_get_device_descriptor(device, &d);
  std::lock_guard lock(log->mutex);
  log->events.emplace_back(device, event);
  log->products.push_back(d.idProduct);
  return 0;
}

// The monitor names devices in upper case and the interface listing in lower case: the listing
// and the removal must both find the record that the arrival added.
TEST_F(usb_layer, arrival_and_removal_reach_the_callback_and_the_list) {
  hotplug_log log;
  ASSERT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, on_hotplug, &log, nullptr),
      0);
  EXPECT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, 0x1234, 0, on_hotplug, &log, nullptr), 0)
      << "a second registration changes nothing";
  const int camera = qmx_sim_camera_add("HOT0001", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].second, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(log.products[0], product);
  }
  const auto listed = list_devices();
  ASSERT_EQ(listed.size(), 1u);
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(listed[0], log.events[0].first) << "the listing finds the record the arrival added";
  }
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[1].second, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(log.events[1].first, listed[0]) << "the first record of the path leaves";
  }
  libusb_hotplug_deregister_callback(ctx, 0);
}

// Every arrival makes a record of its own, with what the device reports now, even where a
// listing already made one for the path (or a record stayed from a plug whose removal never
// came); the removal names the first record of the path.
TEST_F(usb_layer, an_arrival_makes_a_new_record_whatever_records_the_path_has) {
  hotplug_log log;
  const int old_camera = qmx_sim_camera_add("HOT0004", 0x0300);
  const auto listed = list_devices();
  ASSERT_EQ(listed.size(), 1u);
  ASSERT_EQ(libusb_get_device_speed(listed[0]), LIBUSB_SPEED_SUPER);
  char old_path[256];
  ASSERT_EQ(qmx_sim_camera_path(old_camera, old_path, sizeof old_path), 0);
  // Gone without a notification: the context never hears of the removal.
  qmx_sim_reset();
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1); // the first plug's arrival is delivered
  ASSERT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, on_hotplug, &log, nullptr),
      0);
  // A high-speed camera arrives on the same path.
  const int camera = qmx_sim_camera_add("HOT0004", 0x0200);
  char path[256];
  ASSERT_EQ(qmx_sim_camera_path(camera, path, sizeof path), 0);
  ASSERT_STREQ(path, old_path);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  libusb_device* arrived = nullptr;
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 1u);
    arrived = log.events[0].first;
  }
  EXPECT_NE(arrived, listed[0]);
  EXPECT_EQ(libusb_get_device_speed(arrived), LIBUSB_SPEED_HIGH);
  libusb_device_descriptor d{};
  ASSERT_EQ(libusb_get_device_descriptor(arrived, &d), 0);
  EXPECT_EQ(d.bcdUSB, 0x0200);
  ASSERT_EQ(qmx_sim_camera_unplug(camera), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[1].first, listed[0]) << "the first record of the path leaves";
  }
  libusb_device_descriptor still{};
  EXPECT_EQ(libusb_get_device_descriptor(listed[0], &still), 0)
      << "a removed record stays readable until the context is exited";
  libusb_hotplug_deregister_callback(ctx, 0);
}

TEST_F(usb_layer, arrivals_outside_the_filter_are_dropped) {
  hotplug_log log;
  ASSERT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, 0x1234, 0, on_hotplug, &log, nullptr), 0);
  qmx_sim_camera_add("HOT0002", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  std::lock_guard lock(log.mutex);
  EXPECT_TRUE(log.events.empty());
}

TEST_F(usb_layer, deregistration_wakes_the_event_thread_and_stops_callbacks) {
  hotplug_log log;
  ASSERT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, on_hotplug, &log, nullptr),
      0);
  std::atomic<int> result{1};
  std::thread events([&] { result = libusb_handle_events(ctx); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), 1) << "handle_events must block while registered";
  libusb_hotplug_deregister_callback(ctx, 0);
  events.join();
  EXPECT_EQ(result.load(), 0);
  qmx_sim_camera_add("HOT0003", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  std::lock_guard lock(log.mutex);
  EXPECT_TRUE(log.events.empty());
}

// A camera the context never listed (its arrival was filtered out) leaves: no callback, and the
// records the context holds stay as they were.
TEST_F(usb_layer, removal_of_a_device_the_context_never_listed_changes_nothing) {
  ASSERT_GT(qmx_sim_camera_add("KNOWN01", 0x0300), 0);
  const auto before = list_devices();
  ASSERT_EQ(before.size(), 1u);
  hotplug_log log;
  ASSERT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, 0x1234, 0, on_hotplug, &log, nullptr), 0);
  const int stranger = qmx_sim_camera_add("STRANGER", 0x0300);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  ASSERT_EQ(qmx_sim_camera_unplug(stranger), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  {
    std::lock_guard lock(log.mutex);
    EXPECT_TRUE(log.events.empty());
  }
  EXPECT_EQ(list_devices(), before);
  libusb_hotplug_deregister_callback(ctx, 0);
}

struct slow_callback {
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
};

int LIBUSB_CALL on_hotplug_slowly(libusb_context*, libusb_device*, libusb_hotplug_event,
                                  void* user_data) {
  auto* state = static_cast<slow_callback*>(user_data);
  state->entered = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  state->finished = true;
  return 0;
}

// Once deregistration returns, no client callback is running: the caller may free what its
// callback uses.
TEST_F(usb_layer, deregistration_returns_after_a_running_callback_has_finished) {
  slow_callback state;
  ASSERT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, on_hotplug_slowly,
                                             &state, nullptr),
            0);
  ASSERT_GT(qmx_sim_camera_add("SLOW0001", 0x0300), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!state.entered.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(state.entered.load());
  libusb_hotplug_deregister_callback(ctx, 0);
  EXPECT_TRUE(state.finished.load()) << "deregistration returned while the callback was running";
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
}

int LIBUSB_CALL deregister_from_callback(libusb_context* ctx, libusb_device* device,
                                         libusb_hotplug_event event, void* user_data) {
  on_hotplug(ctx, device, event, user_data);
  libusb_hotplug_deregister_callback(ctx, 0);
  return 0;
}

// A callback may deregister its own context's registration: it does not wait for itself.
TEST_F(usb_layer, a_callback_may_deregister_itself) {
  hotplug_log log;
  ASSERT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0,
                                             deregister_from_callback, &log, nullptr),
            0);
  ASSERT_GT(qmx_sim_camera_add("SELF0001", 0x0300), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  ASSERT_GT(qmx_sim_camera_add("SELF0002", 0x0300), 0);
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  std::lock_guard lock(log.mutex);
  EXPECT_EQ(log.events.size(), 1u);
}

int LIBUSB_CALL deregister_slowly_from_callback(libusb_context* ctx, libusb_device*,
                                                libusb_hotplug_event, void* user_data) {
  auto* state = static_cast<slow_callback*>(user_data);
  state->entered = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  libusb_hotplug_deregister_callback(ctx, 0);
  state->finished = true;
  return 0;
}

// A host thread deregisters while the running callback deregisters too: both return, the host's
// call only after the callback has finished.
TEST_F(usb_layer, deregistration_from_a_host_thread_and_from_the_callback_at_once) {
  slow_callback state;
  ASSERT_EQ(libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0,
                                             deregister_slowly_from_callback, &state, nullptr),
            0);
  ASSERT_GT(qmx_sim_camera_add("BOTH0001", 0x0300), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!state.entered.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(state.entered.load());
  libusb_hotplug_deregister_callback(ctx, 0);
  EXPECT_TRUE(state.finished.load());
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
}

// Host threads at once: two registrations race each other while an event thread polls the
// context. One registration wins and the context is subscribed once, so each arrival reaches
// exactly one callback exactly once; deregistration releases the event thread.
TEST(usb_hotplug_threads, concurrent_registrations_and_event_handling) {
  qmx_sim_reset();
  for (int round = 0; round < 20; ++round) {
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    hotplug_log logs[2];
    std::atomic<bool> go{false};
    std::atomic<bool> stop_events{false};
    std::thread events([&] {
      // Returns at once while nothing is registered; then blocks until deregistration.
      while (!stop_events.load() && libusb_handle_events(ctx) != 0) {
        std::this_thread::yield();
      }
    });
    int results[2] = {-1, -1};
    std::thread registrars[2];
    for (int i = 0; i < 2; ++i) {
      registrars[i] = std::thread([&, i] {
        while (!go.load()) {
          std::this_thread::yield();
        }
        results[i] = libusb_hotplug_register_callback(ctx, 3, 0, 0x2F4E, 0x4002, 0, on_hotplug,
                                                      &logs[i], nullptr);
      });
    }
    go = true;
    for (auto& r : registrars) {
      r.join();
    }
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    const std::string serial = "RACE" + std::to_string(round);
    ASSERT_GT(qmx_sim_camera_add(serial.c_str(), 0x0300), 0);
    ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
    std::size_t delivered[2];
    for (int i = 0; i < 2; ++i) {
      std::lock_guard lock(logs[i].mutex);
      delivered[i] = logs[i].events.size();
    }
    EXPECT_EQ(delivered[0] + delivered[1], 1u) << "round " << round;
    stop_events = true;
    libusb_hotplug_deregister_callback(ctx, 0);
    events.join();
    libusb_exit(ctx);
  }
  qmx_sim_reset();
}

TEST(usb_hotplug_lifetime, notifications_after_exit_reach_no_context) {
  qmx_sim_reset();
  for (int round = 0; round < 20; ++round) {
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    hotplug_log log;
    ASSERT_EQ(
        libusb_hotplug_register_callback(ctx, 3, 0, 0x2F4E, 0x4002, 0, on_hotplug, &log, nullptr),
        0);
    // Arrivals race the release of the context; none may touch it afterwards.
    const std::string serial = "LIFE" + std::to_string(round);
    std::thread plug([&] { qmx_sim_camera_add(serial.c_str(), 0x0300); });
    libusb_exit(ctx);
    plug.join();
  }
  ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
  qmx_sim_reset();
}

} // namespace
