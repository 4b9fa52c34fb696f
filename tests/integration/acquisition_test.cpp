// Acquisition through the exported interface, loaded as a host loads it, against simulated
// cameras: frames compared pixel by pixel with the simulator's pattern by a reference written
// here, tag blocks against the simulator's frame log, frame loss, the hold fields, stop and the
// waits, the command surface's rules, and host threads at once.
#include "host_module.h"
#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <optional>

namespace {

using namespace host_test;
using clock_type = std::chrono::steady_clock;

host_module& the_module() {
  static host_module m = host_module::load();
  return m;
}

struct region {
  std::uint32_t x1, y1, width, height;
};

// What a host needs to check a delivered frame.
struct frame_shape {
  region roi;
  std::uint32_t calibration_lines;
  std::uint32_t hbin;
  std::uint32_t vbin;
  bool metadata;
};

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Delivered pixel (r, c) of frame `counter`, computed from the documented pattern: sensor pixel
// (frame * 37 + row * 3 + column) & 1023, summed over the whole bin and clamped to 1023.
std::uint16_t expected_pixel(const frame_shape& s, std::uint32_t counter, std::uint32_t r,
                             std::uint32_t c) {
  std::uint32_t sum = 0;
  for (std::uint32_t dr = 0; dr < s.vbin; ++dr) {
    for (std::uint32_t dc = 0; dc < s.hbin; ++dc) {
      const std::uint32_t row = s.roi.y1 + r * s.vbin + dr;
      const std::uint32_t column = s.roi.x1 + c * s.hbin + dc;
      sum += (counter * 37 + row * 3 + column) & 1023;
    }
  }
  return static_cast<std::uint16_t>(std::min(sum, 1023u));
}

std::vector<std::uint16_t> expected_image(const frame_shape& s, std::uint32_t counter) {
  const std::uint32_t out_width = s.roi.width / s.hbin;
  const std::uint32_t out_height = s.roi.height / s.vbin;
  std::vector<std::uint16_t> image(std::size_t{out_width} * out_height);
  for (std::uint32_t r = 0; r < out_height; ++r) {
    for (std::uint32_t c = 0; c < out_width; ++c) {
      image[std::size_t{r} * out_width + c] = expected_pixel(s, counter, r, c);
    }
  }
  return image;
}

// Whether the first delivered row of `image` is that of frame `counter`.
bool first_row_matches(const frame_shape& s, std::uint32_t counter, const unsigned char* image) {
  for (std::uint32_t c = 0; c < s.roi.width / s.hbin; ++c) {
    std::uint16_t pixel = 0;
    std::memcpy(&pixel, image + 2 * c, 2);
    if (pixel != expected_pixel(s, counter, 0, c)) {
      return false;
    }
  }
  return true;
}

class acquisition : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    host_module& m = the_module();
    ASSERT_NE(m.library, nullptr);
    ASSERT_EQ(m.initialize(nullptr), 0);
    f = device_functions::from(m);
    ASSERT_TRUE(f.complete());
  }
  void SetUp() override { qmx_sim_reset(); }
  void TearDown() override {
    if (handle != nullptr) {
      set("stop");
      EXPECT_EQ(f.destroy(handle), 0);
      handle = nullptr;
    }
    EXPECT_EQ(hotplug_monitor_wait_idle(5000), 1);
    qmx_sim_reset();
  }

  // Plugs a camera of this configuration and opens it.
  void open_camera(std::uint32_t sensor_width = 1280, std::uint32_t sensor_height = 1024,
                   std::uint32_t calibration_lines = 2) {
    // A serial (and so an interface path) of its own per test: the world is reset between
    // tests without telling the module, whose USB layer still knows the earlier paths.
    static int opened = 0;
    serial = "ACQ" + std::to_string(10000 + ++opened);
    qmx_sim_camera_config config;
    qmx_sim_camera_config_init(&config);
    config.serial = serial.c_str();
    config.sensor_width = sensor_width;
    config.sensor_height = sensor_height;
    config.calibration_lines = calibration_lines;
    camera = qmx_sim_camera_add_configured(&config);
    ASSERT_GT(camera, 0);
    char id[16];
    std::snprintf(id, sizeof id, "QMXSIM-%04d", camera);
    // Listed once the monitor has delivered the plug: the USB layer's own read of an arriving
    // device would keep identification from opening it.
    ASSERT_EQ(hotplug_monitor_wait_idle(5000), 1);
    ASSERT_EQ(f.list().first, std::string(id) + ",");
    ASSERT_EQ(f.create(id, &handle), 0);
    shape = {{0, 0, sensor_width, sensor_height}, calibration_lines, 1, 1, false};
  }

  int set(const std::string& command, void* data = nullptr, std::size_t size = 0) {
    char response[256] = {};
    return f.set_data(handle, command.c_str(), command.size() + 1, data, size, response,
                      sizeof response);
  }

  std::pair<int, std::string> get(const std::string& command) { return f.get(handle, command); }

  // Sets the region and binning, switches metadata, arms a buffer of `slots` slots.
  void arm(region roi, std::uint32_t hbin, std::uint32_t vbin, bool metadata, int slots) {
    char text[64];
    std::snprintf(text, sizeof text, "roi %u %u %u %u", roi.x1, roi.y1, roi.x1 + roi.width - 1,
                  roi.y1 + roi.height - 1);
    ASSERT_EQ(set(text), 0);
    ASSERT_EQ(set("hbin " + std::to_string(hbin)), 0);
    ASSERT_EQ(set("vbin " + std::to_string(vbin)), 0);
    char on[] = "on";
    char off[] = "off";
    ASSERT_EQ(set("image_metadata", metadata ? on : off, 3), 0);
    const auto [result, bytes] = get("acquisition_bytes_per_frame");
    ASSERT_EQ(result, 0);
    slot_bytes = std::stoul(bytes);
    ASSERT_EQ(slot_bytes, 48 + 2u * roi.width * (roi.height + shape.calibration_lines));
    buffer.assign(slot_bytes * static_cast<std::size_t>(slots), 0xEE);
    ASSERT_EQ(set("arm", buffer.data(), buffer.size()), 0);
    shape.roi = roi;
    shape.hbin = hbin;
    shape.vbin = vbin;
    shape.metadata = metadata;
  }

  // The next frame through "image_wait_per_frame" (or "image_poll"); 0 when none.
  std::uint64_t next_frame(const char* command = "image_wait_per_frame") {
    std::uint64_t address = 0;
    char response[8];
    EXPECT_EQ(f.get_data(handle, command, std::strlen(command) + 1, &address, sizeof address,
                         response, sizeof response),
              0);
    return address;
  }

  const unsigned char* slot_at(std::uint64_t address) const {
    const auto* p = reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(address));
    EXPECT_GE(p, buffer.data());
    EXPECT_LT(p, buffer.data() + buffer.size());
    EXPECT_EQ(static_cast<std::size_t>(p - buffer.data()) % slot_bytes, 0u);
    return p;
  }

  std::map<std::uint32_t, qmx_sim_frame_record> frame_log() const {
    std::vector<qmx_sim_frame_record> records(4096);
    records.resize(qmx_sim_get_frame_log(camera, records.data(), 4096));
    std::map<std::uint32_t, qmx_sim_frame_record> by_counter;
    for (const auto& r : records) {
      by_counter[r.frame_counter] = r;
    }
    return by_counter;
  }

  // Checks one delivered frame against the pattern; its frame counter (from the tag block, or
  // found from its first pixel among the frames the camera sent whole).
  std::uint32_t check_frame(std::uint64_t address) {
    const unsigned char* slot = slot_at(address);
    std::uint32_t counter = 0;
    const auto log = frame_log();
    if (shape.metadata) {
      EXPECT_EQ(std::memcmp(slot, "QMX\0", 4), 0);
      counter = u32_at(slot + 12);
      EXPECT_EQ(std::memcmp(slot + 8, "FCNT", 4), 0);
      EXPECT_EQ(std::memcmp(slot + 32, "IOFF", 4), 0);
      EXPECT_EQ(u32_at(slot + 36), 6u);
      EXPECT_EQ(std::memcmp(slot + 40, "ENDT", 4), 0);
      const auto found = log.find(counter);
      EXPECT_NE(found, log.end()) << "frame " << counter << " is not in the camera's log";
      if (found != log.end()) {
        EXPECT_EQ(found->second.outcome, static_cast<std::uint32_t>(QMX_SIM_FRAME_WHOLE));
        EXPECT_EQ(u32_at(slot + 20), found->second.header_word_8);
        EXPECT_EQ(u32_at(slot + 28), found->second.header_word_12);
      }
    } else {
      // Without a tag block the frame is found by its first row among the frames sent whole
      // (the pattern moves by 37 per frame, so the row tells frames apart).
      bool found = false;
      for (auto it = log.rbegin(); it != log.rend() && !found; ++it) {
        if (it->second.outcome == QMX_SIM_FRAME_WHOLE &&
            first_row_matches(shape, it->first, slot)) {
          counter = it->first;
          found = true;
        }
      }
      EXPECT_TRUE(found) << "no frame the camera sent starts with this row";
    }
    const std::vector<std::uint16_t> expected = expected_image(shape, counter);
    const unsigned char* image = slot + (shape.metadata ? 48 : 0);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      std::uint16_t pixel = 0;
      std::memcpy(&pixel, image + 2 * i, 2);
      if (pixel != expected[i]) {
        ADD_FAILURE() << "frame " << counter << " pixel " << i << " (row "
                      << i / (shape.roi.width / shape.hbin) << "): " << pixel << " instead of "
                      << expected[i];
        break;
      }
    }
    return counter;
  }

  static inline device_functions f;
  int camera = 0;
  std::string serial;
  void* handle = nullptr;
  frame_shape shape{};
  std::size_t slot_bytes = 0;
  std::vector<unsigned char> buffer;
};

// Frames of every kind of geometry arrive pixel-exact.
TEST_F(acquisition, frames_match_the_pattern_in_every_geometry) {
  open_camera(1288, 600, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  struct kind {
    region roi;
    std::uint32_t hbin, vbin;
    bool metadata;
  };
  const kind kinds[] = {
      {{0, 0, 1280, 512}, 1, 1, true},  // no fill bytes
      {{4, 8, 1284, 100}, 1, 1, true},  // one fill byte per row
      {{0, 3, 1288, 64}, 1, 1, false},  // two fill bytes per row, metadata off
      {{16, 20, 640, 480}, 2, 2, true}, // binning 2 x 2
      {{4, 8, 1284, 100}, 2, 2, true},  // binning rows that end in one fill byte
      {{0, 3, 1288, 64}, 2, 2, false},  // binning rows that end in two, metadata off
      {{8, 0, 1000, 333}, 3, 4, false}, // uneven binning, metadata off
  };
  for (const kind& k : kinds) {
    SCOPED_TRACE("roi " + std::to_string(k.roi.width) + " x " + std::to_string(k.roi.height));
    arm(k.roi, k.hbin, k.vbin, k.metadata, 4);
    std::uint32_t previous = 0;
    for (int n = 0; n < 6; ++n) {
      const std::uint64_t address = next_frame();
      ASSERT_NE(address, 0u);
      const std::uint32_t counter = check_frame(address);
      if (n > 0) {
        EXPECT_GT(counter, previous) << "frames come in order";
      }
      previous = counter;
    }
    ASSERT_EQ(set("stop"), 0);
  }
  EXPECT_EQ(get("image_width"), std::make_pair(0, std::string("333")));
  EXPECT_EQ(get("image_height"), std::make_pair(0, std::string("83")));
}

TEST_F(acquisition, frames_without_calibration_lines) {
  open_camera(640, 480, 0);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  arm({0, 0, 640, 480}, 1, 1, true, 3);
  for (int n = 0; n < 3; ++n) {
    const std::uint64_t address = next_frame();
    ASSERT_NE(address, 0u);
    check_frame(address);
  }
}

// A damaged frame is dropped alone; the frames around it arrive.
TEST_F(acquisition, a_lost_or_foreign_packet_drops_only_its_frame) {
  open_camera(1280, 200, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 0), 0);
  ASSERT_EQ(qmx_sim_set_frame_counter(camera, 100), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 102, 3, QMX_SIM_PACKET_DROP, 0), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 104, 5, QMX_SIM_PACKET_FOREIGN, 9), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 105, 7, QMX_SIM_PACKET_SHORTEN, 0), 0);
  // Paced so that eight slots hold 800 ms of frames: a host slowed by a sanitizer or a loaded
  // machine still takes every frame before it is overwritten.
  ASSERT_EQ(set("fps 10"), 0);
  arm({0, 0, 1280, 200}, 1, 1, true, 8);
  std::vector<std::uint32_t> delivered;
  for (int n = 0; n < 5; ++n) {
    const std::uint64_t address = next_frame();
    ASSERT_NE(address, 0u);
    delivered.push_back(check_frame(address));
  }
  EXPECT_EQ(delivered, (std::vector<std::uint32_t>{100, 101, 103, 106, 107}));
  const auto [result, text] = get("qmx_module.acquisition_statistics");
  ASSERT_EQ(result, 0);
  EXPECT_NE(text.find("dropped_short_packet=1"), std::string::npos) << text;
}

// Random shortened packets (the layer reports the full length): no delivered frame may differ
// from the pattern.
TEST_F(acquisition, short_packets_never_give_a_damaged_frame) {
  open_camera(1280, 128, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  qmx_sim_packet_faults faults{};
  faults.shorten = 0.02;
  ASSERT_EQ(qmx_sim_set_packet_faults(camera, &faults), 0);
  arm({0, 0, 1280, 128}, 1, 1, true, 4);
  for (int n = 0; n < 40; ++n) {
    const std::uint64_t address = next_frame();
    ASSERT_NE(address, 0u);
    check_frame(address);
    if (HasFailure()) {
      ADD_FAILURE() << "random seed " << qmx_sim_random_seed(camera);
      break;
    }
  }
}

// With no free slot, the oldest completed frame is overwritten: a slow host sees recent frames.
TEST_F(acquisition, oldest_frame_is_overwritten_when_the_host_holds_nothing_back) {
  open_camera(640, 64, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  arm({0, 0, 640, 64}, 1, 1, true, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // many frames, three slots
  const std::uint32_t first = check_frame(next_frame());
  qmx_sim_counters counters{};
  ASSERT_EQ(qmx_sim_get_counters(camera, &counters), 0);
  EXPECT_GT(counters.frames_completed, 20u);
  EXPECT_GT(first, 10u) << "the first frame handed out is a recent one";
  const auto [result, text] = get("qmx_module.acquisition_statistics");
  EXPECT_EQ(text.find("dropped_overwritten=0"), std::string::npos) << text;
}

// Each hand-out keeps its frame until its own next call; the assembler never writes there.
TEST_F(acquisition, held_frames_stay_until_their_next_call) {
  open_camera(640, 64, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  ASSERT_EQ(set("image_poll_timeout_ms", const_cast<char*>("2000")), 0);
  arm({0, 0, 640, 64}, 1, 1, true, 3);
  const std::uint64_t waited = next_frame();
  const std::uint64_t polled = next_frame("image_poll");
  ASSERT_NE(waited, 0u);
  ASSERT_NE(polled, 0u);
  EXPECT_NE(waited, polled);
  const std::vector<unsigned char> waited_copy(slot_at(waited), slot_at(waited) + slot_bytes);
  const std::vector<unsigned char> polled_copy(slot_at(polled), slot_at(polled) + slot_bytes);
  std::this_thread::sleep_for(std::chrono::milliseconds(200)); // frames keep coming meanwhile
  EXPECT_EQ(std::memcmp(slot_at(waited), waited_copy.data(), slot_bytes), 0);
  EXPECT_EQ(std::memcmp(slot_at(polled), polled_copy.data(), slot_bytes), 0);
  for (int n = 0; n < 5; ++n) {
    const std::uint64_t again = next_frame();
    EXPECT_NE(again, polled) << "the polled frame is still held";
    check_frame(again);
  }
}

// "stop" releases every waiting thread, also before any arming; waits then answer 0 at once.
TEST_F(acquisition, stop_releases_every_waiting_thread) {
  open_camera(640, 64, 2);
  ASSERT_EQ(set("image_poll_timeout_ms", const_cast<char*>("-1")), 0);
  std::vector<std::future<std::uint64_t>> waiters;
  for (const char* command : {"image_wait_per_frame", "image_poll"}) {
    waiters.push_back(
        std::async(std::launch::async, [this, command] { return next_frame(command); }));
  }
  auto plain_wait = std::async(std::launch::async, [this] { return get("image_wait").first; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (auto& w : waiters) {
    EXPECT_EQ(w.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  }
  ASSERT_EQ(set("stop"), 0);
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(w.get(), 0u);
  }
  ASSERT_EQ(plain_wait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(plain_wait.get(), 0);
  EXPECT_EQ(next_frame(), 0u) << "stopped: answers at once";
  // Armed and streaming, then stopped while waiting.
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 0), 0);
  ASSERT_EQ(set("fps 1"), 0);
  arm({0, 0, 640, 64}, 1, 1, true, 2);
  next_frame();
  auto armed_waiter = std::async(std::launch::async, [this] { return next_frame(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(set("stop"), 0);
  ASSERT_EQ(armed_waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(armed_waiter.get(), 0u);
}

TEST_F(acquisition, poll_time_limits) {
  open_camera(640, 64, 2);
  ASSERT_EQ(set("image_poll_timeout_ms", const_cast<char*>("0")), 0);
  auto start = clock_type::now();
  EXPECT_EQ(next_frame("image_poll"), 0u);
  EXPECT_LT(clock_type::now() - start, std::chrono::milliseconds(100));
  ASSERT_EQ(set("image_poll_timeout_ms", const_cast<char*>("250")), 0);
  EXPECT_EQ(get("image_poll_timeout_ms"), std::make_pair(0, std::string("250")));
  start = clock_type::now();
  EXPECT_EQ(next_frame("image_poll"), 0u);
  EXPECT_GE(clock_type::now() - start, std::chrono::milliseconds(250));
  ASSERT_EQ(set("image_poll_timeout_ms", const_cast<char*>("abc")), 0);
  EXPECT_EQ(get("image_poll_timeout_ms"), std::make_pair(0, std::string("0")));
}

// The keyword rule, the copy rule, the fixed answers and the pass-through.
TEST_F(acquisition, command_surface_rules) {
  open_camera(1280, 1024, 2);
  char response[64];
  // "hbin" counted with its terminator is the module's; without it, it goes to the camera.
  EXPECT_EQ(f.get_data(handle, "hbin", 5, nullptr, 0, response, sizeof response), 0);
  EXPECT_STREQ(response, "1");
  EXPECT_EQ(f.get_data(handle, "hbin", 4, nullptr, 0, response, sizeof response), 0);
  EXPECT_EQ(std::string(response).rfind("error", 0), 0u) << "the camera does not know hbin";
  EXPECT_EQ(get("hbin 7"), std::make_pair(0, std::string("1"))) << "the digit is ignored";
  EXPECT_EQ(get("hbin7").first, 0);
  EXPECT_EQ(get("hbin.max"), std::make_pair(0, std::string("16")));
  EXPECT_EQ(get("vbin.min"), std::make_pair(0, std::string("1")));
  // Binning: automatic base, clamping, size check.
  EXPECT_EQ(set("hbin 0x10"), 0);
  EXPECT_EQ(get("hbin"), std::make_pair(0, std::string("16")));
  EXPECT_EQ(get("image_width"), std::make_pair(0, std::string("80")));
  EXPECT_EQ(set("vbin -3"), 0);
  EXPECT_EQ(get("vbin"), std::make_pair(0, std::string("1")));
  EXPECT_EQ(f.set_data(handle, "hbin", 5, nullptr, 0, response, sizeof response), 7);
  EXPECT_EQ(set("hbin x"), 0);
  EXPECT_EQ(get("hbin"), std::make_pair(0, std::string("1")));
  // The copy rule on "usb_speed" (a super-speed camera).
  EXPECT_EQ(f.get_data(handle, "usb_speed", 10, nullptr, 0, response, 8), 0);
  EXPECT_STREQ(response, "USB 3.0");
  EXPECT_EQ(f.get_data(handle, "usb_speed", 10, nullptr, 0, response, 7), 15);
  EXPECT_STREQ(response, "USB 3.");
  EXPECT_EQ(f.get_data(handle, "usb_speed", 10, nullptr, 0, nullptr, 0), 16);
  // Metadata: exactly "on" switches it on; the answer fills the buffer with zeros.
  EXPECT_EQ(set("image_metadata", const_cast<char*>("on")), 0);
  std::memset(response, 'x', sizeof response);
  EXPECT_EQ(f.get_data(handle, "image_metadata", 15, nullptr, 0, response, 6), 0);
  EXPECT_EQ(std::memcmp(response, "on\0\0\0\0x", 7), 0);
  EXPECT_EQ(set("image_metadata", const_cast<char*>("ON")), 0);
  EXPECT_EQ(get("image_metadata"), std::make_pair(0, std::string("off")));
  EXPECT_EQ(set("image_metadata"), 7) << "null data";
  // Pass-through: "pqmx" and unknown commands; "roi" is read back.
  EXPECT_EQ(get("pqmx sernum"), std::make_pair(0, serial));
  EXPECT_EQ(f.get_data(handle, "pqmx gain", 10, nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(get("gain"), std::make_pair(0, std::string("0")));
  EXPECT_EQ(f.get_data(handle, "gain", 5, nullptr, 0, nullptr, 0), 16);
  EXPECT_EQ(set("gain 25"), 0);
  EXPECT_EQ(get("gain"), std::make_pair(0, std::string("25")));
  EXPECT_EQ(set("roi 0 0 639 479"), 0);
  EXPECT_EQ(get("image_width"), std::make_pair(0, std::string("640")));
  EXPECT_EQ(get("acquisition_bytes_per_frame"),
            std::make_pair(0, std::to_string(48 + 2 * 640 * (480 + 2))));
  EXPECT_EQ(set("unblock_image_wait_for_frame"), 0);
  EXPECT_EQ(set("dev_bytes_per_frame"), 0);
  // "arm" checks.
  EXPECT_EQ(set("arm"), 7);
  unsigned char byte = 0;
  EXPECT_EQ(set("arm", &byte, 0), 7);
  EXPECT_EQ(set("arm", &byte, 1), 7) << "not a whole slot";
  // Sizes that must not reach the camera or overrun anything.
  EXPECT_EQ(f.get_data(handle, "gain", 0, nullptr, 0, response, sizeof response), 6);
  std::vector<char> huge(2000, 'a');
  huge.back() = '\0';
  EXPECT_EQ(f.get_data(handle, huge.data(), huge.size(), nullptr, 0, response, sizeof response), 6);
  EXPECT_EQ(f.get_data(handle, "sernum", 7, nullptr, 0, response, 0), 15);
  EXPECT_EQ(f.get_data(nullptr, "hbin", 5, nullptr, 0, response, sizeof response), 6);
  EXPECT_EQ(f.set_data(nullptr, "hbin", 5, nullptr, 0, response, sizeof response), 6);
}

// An unplugged camera answers 14 where the camera is needed; an unplug in the middle of a frame
// loses that frame only, and frames flow again after a replug and a new create.
TEST_F(acquisition, slow_unplug_in_the_middle_of_a_frame_and_replug) {
  open_camera(640, 256, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 0), 0);
  // Paced so that the unplug in frame 3 comes most of a second after arming: the three frames
  // before it are taken before the camera counts as unplugged (the get side then answers 14),
  // also by a host slowed by a sanitizer or a loaded machine.
  ASSERT_EQ(set("fps 4"), 0);
  ASSERT_EQ(qmx_sim_set_frame_counter(camera, 0), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 3, 4, QMX_SIM_PACKET_UNPLUG, 0), 0);
  arm({0, 0, 640, 256}, 1, 1, true, 4);
  std::vector<std::uint32_t> delivered;
  for (int n = 0; n < 3; ++n) {
    delivered.push_back(check_frame(next_frame()));
  }
  EXPECT_EQ(delivered, (std::vector<std::uint32_t>{0, 1, 2}));
  for (int tries = 0; tries < 200 && get("gain").first != 14; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(get("gain").first, 14);
  EXPECT_EQ(set("gain 3"), 14);
  EXPECT_EQ(set("arm", buffer.data(), buffer.size()), 14);
  EXPECT_EQ(set("hbin 2"), 0) << "module-only settings work while unplugged";
  EXPECT_EQ(set("hbin 1"), 0);
  EXPECT_EQ(set("stop"), 0) << "a stop of an unplugged camera sends nothing and succeeds";
  ASSERT_EQ(qmx_sim_camera_replug(camera, 0), 0);
  for (int tries = 0; tries < 500 && get("gain").first != 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(get("gain"), std::make_pair(0, std::string("0")));
  char id[16];
  std::snprintf(id, sizeof id, "QMXSIM-%04d", camera);
  ASSERT_EQ(f.destroy(handle), 0);
  ASSERT_EQ(f.create(id, &handle), 0);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  arm({0, 0, 640, 256}, 1, 1, true, 4);
  check_frame(next_frame());
}

// Arming and stopping many times while frames flow: no frame of an earlier arming may come
// back, and nothing may crash or leak.
// Every "stop" pauses 100 ms, so the thousand cycles take two minutes; the sanitizer and Wine
// builds, which prove the same paths under their own checks, run fewer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr int arm_stop_cycles = 150;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int arm_stop_cycles = 150;
#else
constexpr int arm_stop_cycles = 1000;
#endif
#else
constexpr int arm_stop_cycles = 1000;
#endif

TEST_F(acquisition, slow_a_thousand_arm_stop_cycles_with_frames_flowing) {
  open_camera(256, 32, 2);
  // Paced at the camera's top rate, so that a frame checked is still in the camera's log.
  ASSERT_EQ(set("fps 1000"), 0);
  arm({0, 0, 256, 32}, 1, 1, true, 2);
  for (int cycle = 0; cycle < arm_stop_cycles; ++cycle) {
    ASSERT_EQ(set("arm", buffer.data(), buffer.size()), 0) << "cycle " << cycle;
    if (cycle % 100 == 0) {
      check_frame(next_frame());
    }
    ASSERT_EQ(set("stop"), 0);
  }
}

// Eight host threads issue get and set commands on one camera while frames flow: binning set
// beside reads of the image size it changes, the poll time-out set beside its read, the tag
// block switched beside its read, and camera commands beside them.
TEST_F(acquisition, eight_host_threads_while_frames_flow) {
  open_camera(640, 64, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  arm({0, 0, 640, 64}, 1, 1, true, 4);
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> hosts;
  const auto expect_ok = [&](int result) {
    if (result != 0) {
      failures.fetch_add(1);
    }
  };
  for (int t = 0; t < 8; ++t) {
    hosts.emplace_back([&, t] {
      const char* gets[] = {
          "hbin", "image_width",    "image_height",          "qmx_module.acquisition_statistics",
          "vbin", "image_metadata", "image_poll_timeout_ms", "sernum"};
      for (unsigned n = 0; !done.load(); ++n) {
        expect_ok(get(gets[t]).first);
        switch (t) {
        case 0:
          expect_ok(set("hbin " + std::to_string(1 + n % 4)));
          break;
        case 1:
          expect_ok(set("vbin " + std::to_string(1 + n % 3)));
          break;
        case 2:
          expect_ok(set("image_poll_timeout_ms", const_cast<char*>(n % 2 ? "5" : "7")));
          break;
        case 3:
          expect_ok(set("image_wait_release"));
          break;
        case 4:
          expect_ok(set("gain 5"));
          break;
        default:
          break;
        }
      }
    });
  }
  // Frames were armed at 1 x 1; binning set now applies from the next arming only.
  for (int n = 0; n < 30; ++n) {
    check_frame(next_frame());
  }
  done.store(true);
  for (auto& h : hosts) {
    h.join();
  }
  EXPECT_EQ(failures.load(), 0);
  // The image size always follows the binning last set.
  const int hbin = std::stoi(get("hbin").second);
  const int vbin = std::stoi(get("vbin").second);
  EXPECT_EQ(get("image_width").second, std::to_string(640 / hbin));
  EXPECT_EQ(get("image_height").second, std::to_string(64 / vbin));
}

// Whatever the camera answers about its frames, arming takes it and tells the camera "arm": a
// packet count of 0 or an error text, or a region whose width is no whole number of pixel
// groups. Frames that such numbers cannot make are dropped; nothing is written outside the
// slots (AddressSanitizer in the asan configuration).
TEST_F(acquisition, arming_takes_whatever_geometry_the_camera_answers) {
  open_camera(640, 64, 2);
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  const auto frames_started = [this] {
    qmx_sim_counters counters{};
    EXPECT_EQ(qmx_sim_get_counters(camera, &counters), 0);
    return counters.frames_started;
  };
  for (const char* packets : {"0", "error: unknown command"}) {
    ASSERT_EQ(qmx_sim_set_reply_override(camera, "data_packets_per_frame", packets,
                                         static_cast<std::uint32_t>(std::strlen(packets) + 1), 2),
              0);
    const std::uint64_t before = frames_started(); // the camera is stopped here
    arm({0, 0, 640, 64}, 1, 1, true, 4);
    ASSERT_FALSE(HasFatalFailure()) << packets; // not armed: no frame would ever come
    check_frame(next_frame());
    EXPECT_GT(frames_started(), before) << packets;
    ASSERT_EQ(set("stop"), 0);
  }
  // A width of 641: the region reply is overridden for the pass-through of "roi", its read-back
  // and the read at arming.
  const char odd[] = "0 0 640 63";
  ASSERT_EQ(qmx_sim_set_reply_override(camera, "roi", odd, sizeof odd, 3), 0);
  ASSERT_EQ(set("roi 0 0 639 63"), 0);
  EXPECT_EQ(get("image_width"), std::make_pair(0, std::string("641")));
  const auto [result, bytes] = get("acquisition_bytes_per_frame");
  ASSERT_EQ(result, 0);
  ASSERT_EQ(bytes, std::to_string(48 + 2 * 641 * (64 + 2)));
  buffer.assign(std::stoul(bytes) * 4, 0xEE);
  const std::uint64_t before = frames_started();
  ASSERT_EQ(set("arm", buffer.data(), buffer.size()), 0);
  ASSERT_EQ(set("image_poll_timeout_ms", const_cast<char*>("20")), 0);
  for (int n = 0; n < 50; ++n) {
    const std::uint64_t address = next_frame("image_poll");
    if (address != 0) {
      slot_at(address); // a slot of the buffer, whatever it holds
    }
  }
  EXPECT_GT(frames_started(), before) << "the camera was armed";
  const auto statistics = get("qmx_module.acquisition_statistics");
  EXPECT_NE(statistics.second.find("packets_seen="), std::string::npos);
  EXPECT_EQ(statistics.second.find("packets_seen=0 "), std::string::npos);
  ASSERT_EQ(set("stop"), 0);
}

} // namespace
