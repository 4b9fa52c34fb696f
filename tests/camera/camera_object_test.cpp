// The camera object: construction on devices that cannot be opened, the region of interest
// read from the camera, and re-attachment of a new transport after a replug.
#include "camera/geometry.h"
#include "camera_test_support.h"

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace camera_test;

class camera_object : public camera_world {};

TEST_F(camera_object, a_device_that_cannot_be_opened_gives_transport_failed) {
  const int cam = qmx_sim_camera_add("OBJECT01", 0x0300);
  libusb_device* device = only_device();
  libusb_device_handle* other = nullptr;
  ASSERT_EQ(libusb_open(device, &other), 0);
  {
    qmx::camera c(device);
    EXPECT_TRUE(c.parameters.transport_failed) << "opened elsewhere";
    EXPECT_EQ(c.transport, nullptr);
    EXPECT_EQ(c.channel.transport, nullptr);
    EXPECT_EQ(ask(c, "sernum"), "<failed>");
  }
  libusb_close(other);
  ASSERT_EQ(qmx_sim_camera_unplug(cam), 0);
  qmx::camera c(device);
  EXPECT_TRUE(c.parameters.transport_failed) << "unplugged";
}

TEST_F(camera_object, construction_sets_up_the_channel_and_defaults) {
  qmx_sim_camera_add("OBJECT02", 0x0300);
  qmx::camera c(only_device());
  ASSERT_FALSE(c.parameters.transport_failed);
  EXPECT_EQ(c.channel.transport, c.transport.get());
  EXPECT_EQ(c.channel.buffers, &c.serial);
  EXPECT_EQ(c.serial.tx_done.timeout_ms, qmx::serial_timeout_ms);
  EXPECT_EQ(c.serial.rx_done.timeout_ms, qmx::serial_timeout_ms);
  EXPECT_EQ(c.parameters.hbin, 1);
  EXPECT_EQ(c.parameters.vbin, 1);
  EXPECT_EQ(c.transport->image_pool->context, &c.frames);
  EXPECT_EQ(c.transport->image_pool->slots.size(),
            static_cast<std::size_t>(qmx::image_transfer_count));
}

TEST_F(camera_object, read_roi_derives_the_image_size) {
  const int cam = qmx_sim_camera_add("OBJECT03", 0x0300);
  qmx::camera c(only_device());
  ASSERT_EQ(qmx::read_roi(c), 0);
  EXPECT_EQ(c.parameters.roi_width, 1280);
  EXPECT_EQ(c.parameters.roi_height, 1024);
  EXPECT_EQ(c.parameters.image_width, 1280);
  EXPECT_EQ(c.parameters.image_height, 1024);
  EXPECT_EQ(c.parameters.row_bits, 12800);

  c.parameters.hbin = 2;
  c.parameters.vbin = 4;
  ASSERT_EQ(ask(c, "roi 4 2 131 9"), "ok");
  ASSERT_EQ(qmx::read_roi(c), 0);
  EXPECT_EQ(c.parameters.roi_width, 128);
  EXPECT_EQ(c.parameters.roi_height, 8);
  EXPECT_EQ(c.parameters.image_width, 64);
  EXPECT_EQ(c.parameters.image_height, 2);
  EXPECT_EQ(c.parameters.row_bits, 1280);

  // Fewer numbers than four: the missing ones read 0.
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "roi", "0x10 0 0x1f", 12, 1), 0);
  c.parameters.hbin = 1;
  c.parameters.vbin = 1;
  ASSERT_EQ(qmx::read_roi(c), 0);
  EXPECT_EQ(c.parameters.roi_width, 0x1f - 0x10 + 1);
  EXPECT_EQ(c.parameters.roi_height, 1);
  EXPECT_EQ(c.parameters.image_width, 16);
  EXPECT_EQ(c.parameters.image_height, 1);
  EXPECT_EQ(c.parameters.row_bits, 160);
}

TEST_F(camera_object, read_roi_failures_change_nothing) {
  const int cam = qmx_sim_camera_add("OBJECT04", 0x0300);
  qmx::camera c(only_device());
  ASSERT_EQ(qmx::read_roi(c), 0);
  const qmx::acquisition_parameters before = c.parameters;

  // Would read as a 4 x 1 region if it were taken.
  const std::string long_text = "0 0 3 0" + std::string(300, ' ');
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "roi", long_text.c_str(),
                                       static_cast<std::uint32_t>(long_text.size() + 1), 1),
            0);
  EXPECT_EQ(qmx::read_roi(c), 1) << "a reply longer than 256 characters";
  ASSERT_EQ(qmx_sim_set_endpoint_fault(cam, QMX_SIM_ENDPOINT_UART_RX, QMX_SIM_FAULT_FAIL, 31, 1),
            0);
  EXPECT_EQ(qmx::read_roi(c), 1) << "a failed transaction";
  EXPECT_EQ(c.parameters.roi_width, before.roi_width);
  EXPECT_EQ(c.parameters.roi_height, before.roi_height);
  EXPECT_EQ(c.parameters.image_width, before.image_width);
  EXPECT_EQ(c.parameters.image_height, before.image_height);
  EXPECT_EQ(c.parameters.row_bits, before.row_bits);
}

TEST_F(camera_object, read_roi_with_huge_numbers_wraps_without_overflow) {
  const int cam = qmx_sim_camera_add("OBJECT05", 0x0300);
  qmx::camera c(only_device());
  const char text[] = "-2147483648 0 2147483647 0";
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "roi", text, sizeof text, 1), 0);
  ASSERT_EQ(qmx::read_roi(c), 0); // UBSan in the asan configuration checks the arithmetic
  EXPECT_EQ(c.parameters.roi_width, 0) << "2^32 wraps to 0 in 32 bits";
  EXPECT_EQ(c.parameters.roi_height, 1);
}

// The byte counts follow 2 x width x (height + calibration lines) + 48 in 32-bit arithmetic for
// whatever region the camera reports, odd ones included.
TEST_F(camera_object, frame_byte_counts_follow_their_formula_in_32_bits_for_any_region) {
  const int cam = qmx_sim_camera_add("OBJECT07", 0x0300);
  qmx::camera c(only_device());
  const struct {
    const char* roi;
    std::int32_t pixel_bytes;
  } cases[] = {
      {"0 0 1279 1023", 2626560},        // 2 x 1280 x 1026
      {"10 0 4 0", -30},                 // a width of -5: 2 x -5 x 3
      {"0 0 65535 65535", 262144},       // 2 x 65536 x 65538 = 2^33 + 2^18, wrapped
      {"0 0 2147483647 0", 0},           // a width of 2^31 wraps to -2^31; 2 x -2^31 x 3 wraps
      {"0 0 4294967296 3", 0},           // x2 stops at 2^31 - 1, as above
      {"-2147483648 0 2147483647 0", 0}, // a width of 2^32 is 0
  };
  for (const auto& k : cases) {
    ASSERT_EQ(qmx_sim_set_reply_override(cam, "roi", k.roi,
                                         static_cast<std::uint32_t>(std::strlen(k.roi) + 1), 1),
              0);
    ASSERT_EQ(qmx::read_roi(c), 0) << k.roi;
    ASSERT_EQ(qmx::compute_frame_bytes(c), 0) << k.roi;
    EXPECT_EQ(c.parameters.frame_pixel_bytes, k.pixel_bytes) << k.roi;
    EXPECT_EQ(c.parameters.acquisition_bytes_per_frame,
              static_cast<std::int32_t>(static_cast<std::uint32_t>(k.pixel_bytes) + 48u))
        << k.roi;
  }
}

TEST_F(camera_object, replace_transport_after_a_replug_makes_transactions_work_again) {
  const int cam = qmx_sim_camera_add("OBJECT06", 0x0300);
  qmx::camera c(only_device());
  ASSERT_FALSE(c.parameters.transport_failed);
  ASSERT_EQ(qmx::start_streaming(c.transport.get()), 0);
  ASSERT_EQ(ask(c, "sernum"), "OBJECT06");

  ASSERT_EQ(qmx_sim_camera_unplug(cam), 0);
  qmx::mark_device_gone(c.transport.get());
  EXPECT_EQ(ask(c, "sernum"), "<failed>");
  ASSERT_EQ(qmx_sim_camera_replug(cam, 0), 0);
  auto replacement = qmx::make_camera_transport(c, only_device());
  ASSERT_NE(replacement, nullptr);
  qmx::usb_transport* fresh = replacement.get();
  qmx::replace_transport(c, std::move(replacement));
  EXPECT_EQ(c.transport.get(), fresh);
  EXPECT_EQ(c.channel.transport, fresh);
  EXPECT_EQ(ask(c, "sernum"), "OBJECT06");
  EXPECT_EQ(ask(c, "roi"), "0 0 1279 1023");
  ASSERT_EQ(qmx::start_streaming(c.transport.get()), 0);
  EXPECT_EQ(counters(cam).requests_pending[event_endpoint],
            static_cast<std::uint32_t>(qmx::image_transfer_count));
}

TEST_F(camera_object, replace_transport_while_another_thread_transacts) {
  const int cam = qmx_sim_camera_add("OBJECT07", 0x0300);
  qmx::camera c(only_device());
  ASSERT_FALSE(c.parameters.transport_failed);
  ASSERT_EQ(qmx::start_streaming(c.transport.get()), 0);
  ASSERT_EQ(qmx_sim_camera_unplug(cam), 0);
  qmx::mark_device_gone(c.transport.get());
  ASSERT_EQ(qmx_sim_camera_replug(cam, 1), 0);
  auto replacement = qmx::make_camera_transport(c, only_device());
  ASSERT_NE(replacement, nullptr);
  std::vector<std::string> replies;
  std::thread host([&] {
    // Until a few transactions have run on the new transport, for at most 10 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int worked = 0;
    while (worked < 3 && std::chrono::steady_clock::now() < deadline) {
      replies.push_back(ask(c, "sernum"));
      worked += replies.back() == "OBJECT07" ? 1 : 0;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  qmx::replace_transport(c, std::move(replacement));
  host.join();
  // Each transaction ran whole on one transport: the old, dead one or the new one.
  for (const auto& reply : replies) {
    EXPECT_TRUE(reply == "<failed>" || reply == "OBJECT07") << reply;
  }
  EXPECT_EQ(replies.back(), "OBJECT07") << "the last transactions ran on the new transport";
  EXPECT_EQ(ask(c, "sernum"), "OBJECT07");
}

TEST(frame_queue, push_keeps_order_and_clear_frees_and_resets) {
  qmx::frame_queue q;
  auto* a = new qmx::frame_node;
  auto* b = new qmx::frame_node;
  qmx::push(q, a);
  qmx::push(q, b);
  EXPECT_EQ(q.head, a);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(q.tail, b);
  EXPECT_EQ(b->next, nullptr);
  q.aborted = true;
  qmx::clear(q);
  EXPECT_EQ(q.head, nullptr);
  EXPECT_EQ(q.tail, nullptr);
  EXPECT_FALSE(q.aborted);
  qmx::push(q, new qmx::frame_node); // freed by the destructor (ASan reports a leak otherwise)
}

TEST(frame_assembly_state, frees_the_held_and_filling_nodes) {
  qmx::frame_assembly_state state;
  state.held_wait_frame = new qmx::frame_node;
  state.held_poll_frame = new qmx::frame_node;
  state.fill_node = new qmx::frame_node;
  qmx::push(state.free_queue, new qmx::frame_node);
  qmx::push(state.filled_queue, new qmx::frame_node);
  // Checked by ASan's leak report in the asan configuration.
}

} // namespace
