// Native path under Wine: the camera module loaded as a host loads it (LoadLibrary, then its
// entry points and function table), over the test bus kernel driver as the only device source,
// with the simulator and the monitor stand-in loaded first. Listing, create, a get and set
// pass-through, arming, frames compared pixel by pixel with the pattern, stop, destroy, and an
// unplug in the middle of streaming with a replug. Cases named slow_ wait on the module's fixed
// limits.
#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"
#include "tests/integration/host_module.h"
#include "tests/native/native_suite.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <map>
#include <optional>

namespace {

using namespace host_test;
using namespace native_test;
using clock_type = std::chrono::steady_clock;

host_module& the_module() {
  static host_module m = host_module::load();
  return m;
}

struct region {
  std::uint32_t x1, y1, width, height;
};

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Delivered pixel (r, c) of frame `counter` from the documented pattern: sensor pixel
// (frame * 37 + row * 3 + column) & 1023, summed over the bin and clamped to 1023.
std::uint16_t expected_pixel(region roi, std::uint32_t hbin, std::uint32_t vbin,
                             std::uint32_t counter, std::uint32_t r, std::uint32_t c) {
  std::uint32_t sum = 0;
  for (std::uint32_t dr = 0; dr < vbin; ++dr) {
    for (std::uint32_t dc = 0; dc < hbin; ++dc) {
      sum += (counter * 37 + (roi.y1 + r * vbin + dr) * 3 + roi.x1 + c * hbin + dc) & 1023;
    }
  }
  return static_cast<std::uint16_t>(std::min(sum, 1023u));
}

class native_module : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    host_module& m = the_module();
    ASSERT_NE(m.library, nullptr);
    if (!initialised) {
      ASSERT_EQ(m.initialize(nullptr), 0);
      initialised = true;
    }
    f = device_functions::from(m);
    ASSERT_TRUE(f.complete());
  }

  void SetUp() override {
    the_bridge().reset();
    served_at_start = the_bridge().requests_served();
    drain_events();
  }

  void TearDown() override {
    if (handle != nullptr) {
      set("stop");
      EXPECT_EQ(f.destroy(handle), 0);
      handle = nullptr;
    }
    EXPECT_EQ(hotplug_monitor_wait_idle(5000), 1);
    qmx_sim_counters c{};
    if (camera > 0 && qmx_sim_get_counters(camera, &c) == 0) {
      std::uint64_t seen = 0;
      for (std::uint64_t n : c.requests_seen) {
        seen += n;
      }
      EXPECT_GT(seen, 0u);
      EXPECT_LE(seen, the_bridge().requests_served() - served_at_start)
          << "the simulator saw requests that did not come through the driver";
    }
    EXPECT_EQ(the_bridge().failures(), 0u) << the_bridge().first_failure();
    the_bridge().reset();
  }

  static void drain_events() {
    ASSERT_EQ(f.set_module_data("connect_disconnect_release", nullptr, 0), 0);
    char text[256];
    ASSERT_EQ(f.get_module_data("connect_disconnect", text, sizeof text), 0);
  }

  // Waits up to `timeout_ms` for the connection event `expected`, skipping others.
  static bool wait_for_event(const std::string& expected, int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (clock_type::now() < deadline) {
      auto waiter = std::async(std::launch::async, [] {
        char text[256] = {};
        const int result = f.get_module_data("connect_disconnect", text, sizeof text);
        return std::make_pair(result, std::string(text));
      });
      if (waiter.wait_until(deadline) != std::future_status::ready) {
        f.set_module_data("connect_disconnect_release", nullptr, 0);
        waiter.get();
        return false;
      }
      const auto [result, text] = waiter.get();
      if (result == 0 && text == expected) {
        return true;
      }
    }
    return false;
  }

  // Plugs a camera of a serial of its own (the module keeps the paths of earlier tests), waits
  // until the module has identified it, and checks that it is listed.
  void plug_camera(std::uint32_t width, std::uint32_t height, std::uint32_t calibration_lines) {
    static int plugged = 0;
    serial = "NATIVE" + std::to_string(100 + ++plugged);
    qmx_sim_camera_config config;
    qmx_sim_camera_config_init(&config);
    config.serial = serial.c_str();
    config.sensor_width = width;
    config.sensor_height = height;
    config.calibration_lines = calibration_lines;
    camera = qmx_sim_camera_add_configured(&config);
    ASSERT_GT(camera, 0);
    char text[16];
    std::snprintf(text, sizeof text, "QMXSIM-%04d", camera);
    id = text;
    ASSERT_FALSE(the_bridge().bus_path(camera).empty()) << "the camera is not on the bus";
    ASSERT_TRUE(wait_for_event("1," + id, 10000)) << "the module never identified the camera";
    EXPECT_EQ(hotplug_monitor_wait_idle(5000), 1);
    EXPECT_EQ(f.list(), std::make_pair(id + ",", serial + ","));
    calibration = calibration_lines;
  }

  int set(const std::string& command, void* data = nullptr, std::size_t size = 0) {
    char response[256] = {};
    return f.set_data(handle, command.c_str(), command.size() + 1, data, size, response,
                      sizeof response);
  }

  std::pair<int, std::string> get(const std::string& command) { return f.get(handle, command); }

  void arm(region area, std::uint32_t bin, int slots) {
    char text[64];
    std::snprintf(text, sizeof text, "roi %u %u %u %u", area.x1, area.y1, area.x1 + area.width - 1,
                  area.y1 + area.height - 1);
    ASSERT_EQ(set(text), 0);
    ASSERT_EQ(set("hbin " + std::to_string(bin)), 0);
    ASSERT_EQ(set("vbin " + std::to_string(bin)), 0);
    char on[] = "on";
    ASSERT_EQ(set("image_metadata", on, 3), 0);
    const auto [result, bytes] = get("acquisition_bytes_per_frame");
    ASSERT_EQ(result, 0);
    slot_bytes = std::stoul(bytes);
    ASSERT_EQ(slot_bytes, 48 + 2u * area.width * (area.height + calibration));
    buffer.assign(slot_bytes * static_cast<std::size_t>(slots), 0xEE);
    ASSERT_EQ(set("arm", buffer.data(), buffer.size()), 0);
    roi = area;
    binning = bin;
  }

  // The next frame handed out, checked against the camera's log and pixel by pixel against the
  // pattern; its frame counter.
  std::uint32_t take_and_check_frame() {
    std::uint64_t address = 0;
    char response[8];
    EXPECT_EQ(f.get_data(handle, "image_wait_per_frame", 21, &address, sizeof address, response,
                         sizeof response),
              0);
    const auto* slot = reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(address));
    if (slot < buffer.data() || slot >= buffer.data() + buffer.size()) {
      ADD_FAILURE() << "the frame is not in the armed buffer";
      return 0;
    }
    EXPECT_EQ(std::memcmp(slot, "QMX\0", 4), 0);
    EXPECT_EQ(std::memcmp(slot + 8, "FCNT", 4), 0);
    const std::uint32_t counter = u32_at(slot + 12);
    std::vector<qmx_sim_frame_record> records(4096);
    records.resize(qmx_sim_get_frame_log(camera, records.data(), 4096));
    // The newest frame of that counter: a replug starts the counter again.
    const auto found = std::find_if(records.rbegin(), records.rend(),
                                    [&](const auto& r) { return r.frame_counter == counter; });
    EXPECT_NE(found, records.rend()) << "frame " << counter << " is not in the camera's log";
    if (found != records.rend()) {
      EXPECT_EQ(found->outcome, static_cast<std::uint32_t>(QMX_SIM_FRAME_WHOLE));
      EXPECT_EQ(u32_at(slot + 20), found->header_word_8) << "time stamp, low word";
      EXPECT_EQ(u32_at(slot + 28), found->header_word_12) << "time stamp, high word";
    }
    const std::uint32_t width = roi.width / binning;
    const std::uint32_t height = roi.height / binning;
    const unsigned char* image = slot + 48;
    for (std::uint32_t r = 0; r < height; ++r) {
      for (std::uint32_t c = 0; c < width; ++c) {
        std::uint16_t pixel = 0;
        std::memcpy(&pixel, image + 2 * (std::size_t{r} * width + c), 2);
        const std::uint16_t expected = expected_pixel(roi, binning, binning, counter, r, c);
        if (pixel != expected) {
          ADD_FAILURE() << "frame " << counter << " pixel (" << r << ", " << c << "): " << pixel
                        << " instead of " << expected;
          return counter;
        }
      }
    }
    return counter;
  }

  static inline bool initialised = false;
  static inline device_functions f;
  std::uint64_t served_at_start = 0;
  int camera = 0;
  std::string serial;
  std::string id;
  void* handle = nullptr;
  std::uint32_t calibration = 0;
  region roi{};
  std::uint32_t binning = 1;
  std::size_t slot_bytes = 0;
  std::vector<unsigned char> buffer;
};

TEST_F(native_module, list_create_pass_through_and_destroy) {
  plug_camera(1280, 1024, 2);
  ASSERT_EQ(f.create(id.c_str(), &handle), 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(get("sernum"), std::make_pair(0, serial)) << "a camera command passed through";
  EXPECT_EQ(get("pqmx id"), std::make_pair(0, id));
  EXPECT_EQ(get("usb_speed"), std::make_pair(0, std::string("USB 3.0")));
  EXPECT_EQ(set("gain 40"), 0);
  EXPECT_EQ(get("gain"), std::make_pair(0, std::string("40")));
  EXPECT_EQ(get("roi"), std::make_pair(0, std::string("0 0 1279 1023")));
  const auto [refused, reply] = get("no_such_setting");
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(reply.rfind("error", 0), 0u) << "the camera's own refusal is its answer: " << reply;
  EXPECT_EQ(f.destroy(handle), 0);
  EXPECT_EQ(f.destroy(handle), 5) << "a second destroy is refused";
  handle = nullptr;
  void* again = nullptr;
  ASSERT_EQ(f.create(id.c_str(), &again), 0) << "a destroyed camera opens again";
  EXPECT_EQ(f.destroy(again), 0);
}

// Paced at 10 frames per second: this path carries about a thousand requests per second, and at
// the camera's maximum rate packets sent before a "stop" would still be arriving after the next
// arming, which relies on none arriving then.
TEST_F(native_module, frames_match_the_pattern_pixel_by_pixel) {
  plug_camera(1288, 300, 2);
  ASSERT_EQ(f.create(id.c_str(), &handle), 0);
  ASSERT_EQ(set("fps 10"), 0);
  const struct {
    region area;
    std::uint32_t bin;
  } kinds[] = {
      {{0, 0, 1280, 256}, 1}, // no fill bytes
      {{4, 8, 1284, 100}, 1}, // one fill byte per row
      {{0, 3, 1288, 64}, 2},  // two fill bytes per row, binned 2 x 2
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE("roi " + std::to_string(kind.area.width) + " x " +
                 std::to_string(kind.area.height) + ", binning " + std::to_string(kind.bin));
    arm(kind.area, kind.bin, 4);
    std::uint32_t previous = 0;
    for (int n = 0; n < 5; ++n) {
      const std::uint32_t counter = take_and_check_frame();
      if (n > 0) {
        EXPECT_GT(counter, previous) << "frames come in order";
      }
      previous = counter;
    }
    ASSERT_EQ(set("stop"), 0);
  }
}

// Packets the camera cuts short reach the module with the byte count the driver reports, so a
// damaged frame is dropped, never delivered.
TEST_F(native_module, short_packets_never_give_a_damaged_frame) {
  plug_camera(1280, 128, 2);
  ASSERT_EQ(f.create(id.c_str(), &handle), 0);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  qmx_sim_packet_faults faults{};
  faults.shorten = 0.02;
  ASSERT_EQ(qmx_sim_set_packet_faults(camera, &faults), 0);
  arm({0, 0, 1280, 128}, 1, 4);
  for (int n = 0; n < 20 && !HasFailure(); ++n) {
    take_and_check_frame();
  }
  if (HasFailure()) {
    ADD_FAILURE() << "random seed " << qmx_sim_random_seed(camera);
  }
  const auto [result, text] = get("qmx_module.acquisition_statistics");
  ASSERT_EQ(result, 0);
  EXPECT_EQ(text.find("dropped_short_packet=0"), std::string::npos) << text;
}

// Unplugged in the middle of streaming: the module hears of it through the monitor (under the
// bus's path), answers 14 where the camera is needed and publishes the event; plugged back in,
// the camera is identified again and frames flow after a new create.
TEST_F(native_module, slow_unplug_while_streaming_and_replug) {
  plug_camera(640, 256, 2);
  ASSERT_EQ(f.create(id.c_str(), &handle), 0);
  ASSERT_EQ(set("fps 4"), 0);
  ASSERT_EQ(qmx_sim_set_frame_counter(camera, 0), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 3, 4, QMX_SIM_PACKET_UNPLUG, 0), 0);
  arm({0, 0, 640, 256}, 1, 4);
  std::vector<std::uint32_t> delivered;
  for (int n = 0; n < 3; ++n) {
    delivered.push_back(take_and_check_frame());
  }
  EXPECT_EQ(delivered, (std::vector<std::uint32_t>{0, 1, 2}));
  ASSERT_TRUE(wait_for_event("0," + id, 5000));
  EXPECT_EQ(get("gain").first, 14);
  EXPECT_EQ(set("gain 3"), 14);
  EXPECT_EQ(set("arm", buffer.data(), buffer.size()), 14);
  EXPECT_EQ(set("stop"), 0) << "a stop of an unplugged camera sends nothing and succeeds";
  EXPECT_TRUE(the_bridge().bus_path(camera).empty()) << "the device left the bus";
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  ASSERT_TRUE(wait_for_event("1," + id, 10000));
  EXPECT_EQ(get("gain"), std::make_pair(0, std::string("0"))) << "the new plug's power-on state";
  ASSERT_EQ(f.destroy(handle), 0);
  ASSERT_EQ(f.create(id.c_str(), &handle), 0);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  arm({0, 0, 640, 256}, 1, 4);
  for (int n = 0; n < 3; ++n) {
    take_and_check_frame();
  }
}

} // namespace
