// The USB transport against a simulated camera: creation, streaming, stopping, device-gone,
// resubmission from completions, device search.
#include "camera_test_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

using namespace camera_test;

constexpr int pool_size = 2048;
constexpr int result_gone = 14;

// Counts image completions and always asks for resubmission.
struct image_log {
  std::atomic<int> completions{0};
};

void count_and_resubmit(const qmx::image_completion& completion) {
  static_cast<image_log*>(completion.context)->completions.fetch_add(1);
  *completion.resubmit = true;
}

// Channel buffers and completion blocks for a transport made without a camera object.
struct channel_side {
  unsigned char tx[qmx::serial_buffer_bytes] = {};
  unsigned char rx[qmx::serial_buffer_bytes] = {};
  qmx::completion_block tx_done;
  qmx::completion_block rx_done;
};

void notify(const qmx::channel_completion& completion) {
  qmx::signal_completion(*static_cast<qmx::completion_block*>(completion.context),
                         completion.failed);
}

std::unique_ptr<qmx::usb_transport> make_transport(libusb_device* device, image_log& log,
                                                   channel_side& side, int image_count = pool_size,
                                                   int image_bytes = qmx::image_transfer_bytes,
                                                   int channel_bytes = qmx::channel_buffer_bytes) {
  return qmx::create_transport(
      device, qmx::command_endpoint, qmx::reply_endpoint, qmx::image_endpoint, image_count, &log,
      count_and_resubmit, qmx::image_timeout_ms, &side.tx_done, notify, side.tx, &side.rx_done,
      notify, side.rx, qmx::channel_timeout_ms, image_bytes, channel_bytes);
}

class transport : public camera_world {};

TEST_F(transport, start_submits_the_whole_pool_and_stop_cancels_it_once) {
  const int cam = qmx_sim_camera_add("TRANS001", 0x0300);
  image_log log;
  channel_side side;
  auto t = make_transport(only_device(), log, side);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->claimed.load());
  ASSERT_EQ(t->image_pool->slots.size(), static_cast<std::size_t>(pool_size));
  for (const auto& slot : t->image_pool->slots) {
    const libusb_transfer* x = slot->holder.transfer;
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->endpoint, qmx::image_endpoint);
    EXPECT_EQ(x->type, 2);
    EXPECT_EQ(x->length, qmx::image_transfer_bytes);
    EXPECT_EQ(x->buffer, slot->buffer.data());
    EXPECT_EQ(static_cast<const qmx::transfer_user_data*>(x->user_data)->holder, &slot->holder);
  }

  ASSERT_EQ(qmx::start_streaming(t.get()), 0);
  EXPECT_TRUE(t->streaming.load());
  EXPECT_EQ(counters(cam).requests_pending[event_endpoint], static_cast<std::uint32_t>(pool_size));
  EXPECT_EQ(counters(cam).requests_seen[event_endpoint], static_cast<std::uint64_t>(pool_size));

  EXPECT_EQ(qmx::stop_streaming(t.get()), 0) << "every pending request was cancelled";
  EXPECT_FALSE(t->streaming.load());
  EXPECT_TRUE(eventually([&] { return counters(cam).requests_pending[event_endpoint] == 0; }));
  EXPECT_TRUE(eventually([&] { return log.completions.load() == pool_size; }));
  // A cancel of a transfer that is no longer pending gives -99, so a second stop that
  // cancelled anything would not give 0.
  EXPECT_EQ(qmx::stop_streaming(t.get()), 0);
  EXPECT_EQ(counters(cam).requests_seen[event_endpoint], static_cast<std::uint64_t>(pool_size))
      << "cancelled completions were submitted again";
  EXPECT_EQ(qmx::destroy_transport(std::move(t)), 0);
}

TEST_F(transport, start_after_device_gone_gives_14_and_submits_nothing) {
  const int cam = qmx_sim_camera_add("TRANS002", 0x0300);
  image_log log;
  channel_side side;
  auto t = make_transport(only_device(), log, side);
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(t->claimed.load());
  qmx::mark_device_gone(t.get());
  EXPECT_FALSE(t->claimed.load()) << "the destructor would release the interface";
  EXPECT_TRUE(t->image_pool->gone.load());
  EXPECT_EQ(qmx::start_streaming(t.get()), result_gone);
  EXPECT_FALSE(t->streaming.load());
  EXPECT_EQ(counters(cam).requests_seen[event_endpoint], 0u);
  EXPECT_EQ(counters(cam).requests_pending[event_endpoint], 0u);
  EXPECT_EQ(qmx::destroy_transport(std::move(t)), 0);
  EXPECT_EQ(log.completions.load(), 0);
}

TEST_F(transport, set_image_transfer_length_changes_every_image_transfer) {
  qmx_sim_camera_add("TRANS003", 0x0300);
  image_log log;
  channel_side side;
  auto t = make_transport(only_device(), log, side, 8);
  ASSERT_NE(t, nullptr);
  qmx::set_image_transfer_length(t.get(), 4096);
  for (const auto& slot : t->image_pool->slots) {
    EXPECT_EQ(slot->holder.transfer->length, 4096);
  }
  EXPECT_EQ(t->command_channel->holder.transfer->length, qmx::channel_buffer_bytes)
      << "the channel transfers keep their length";
  qmx::set_image_transfer_length(nullptr, 4096);
}

TEST_F(transport, a_pool_below_one_has_no_slots) {
  const int cam = qmx_sim_camera_add("TRANS004", 0x0300);
  image_log log;
  channel_side side;
  auto t = make_transport(only_device(), log, side, -3);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->image_pool->slots.empty());
  EXPECT_EQ(qmx::start_streaming(t.get()), 0);
  EXPECT_EQ(counters(cam).requests_seen[event_endpoint], 0u);
}

TEST_F(transport, a_transfer_the_layer_cannot_allocate_fails_the_transport) {
  qmx_sim_camera_add("TRANS005", 0x0300);
  libusb_device* device = only_device();
  image_log log;
  channel_side side;
  // The layer refuses a negative capacity with a null transfer.
  EXPECT_EQ(make_transport(device, log, side, 4, -1), nullptr);
  EXPECT_EQ(make_transport(device, log, side, 4, qmx::image_transfer_bytes, -1), nullptr);
  // Each failure closed its handle: the device opens again.
  auto t = make_transport(device, log, side, 4);
  EXPECT_NE(t, nullptr);
}

TEST_F(transport, opening_a_device_that_is_open_elsewhere_fails) {
  qmx_sim_camera_add("TRANS006", 0x0300);
  libusb_device* device = only_device();
  libusb_device_handle* other = nullptr;
  ASSERT_EQ(libusb_open(device, &other), 0);
  image_log log;
  channel_side side;
  EXPECT_EQ(make_transport(device, log, side, 4), nullptr);
  libusb_close(other);
}

// ---- Resubmission from completions ----------------------------------------------------------

// Streams at maximum rate with the camera armed through the transport's own command channel.
void arm(qmx::usb_transport& t, channel_side& side) {
  std::memcpy(side.tx, "arm", 4);
  ASSERT_EQ(qmx::submit_command(&t), 0);
  ASSERT_FALSE(qmx::wait_completion(side.tx_done));
  ASSERT_EQ(qmx::submit_reply(&t), 0);
  ASSERT_FALSE(qmx::wait_completion(side.rx_done));
  ASSERT_STREQ(reinterpret_cast<const char*>(side.rx), "ok");
}

// True when the camera receives no further image request for a while.
::testing::AssertionResult image_requests_stay_at(int cam, std::uint64_t seen) {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const qmx_sim_counters now = counters(cam);
  if (now.requests_seen[event_endpoint] == seen && now.requests_pending[event_endpoint] == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "image requests seen " << seen << " then " << now.requests_seen[event_endpoint]
         << ", pending " << now.requests_pending[event_endpoint];
}

TEST_F(transport, completions_resubmit_while_streaming_and_stop_after_stop) {
  const int cam = qmx_sim_camera_add("TRANS007", 0x0300);
  ASSERT_EQ(qmx_sim_set_max_rate(cam, 1), 0);
  image_log log;
  channel_side side;
  side.tx_done.timeout_ms = side.rx_done.timeout_ms = 5000;
  auto t = make_transport(only_device(), log, side);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(qmx::start_streaming(t.get()), 0);
  arm(*t, side);
  ASSERT_TRUE(eventually([&] { return log.completions.load() > 3 * pool_size; }, 20000))
      << "completions resubmit: more completions than transfers";
  (void)qmx::stop_streaming(t.get());
  ASSERT_TRUE(eventually([&] { return counters(cam).requests_pending[event_endpoint] == 0; }));
  const std::uint64_t seen = counters(cam).requests_seen[event_endpoint];
  EXPECT_TRUE(image_requests_stay_at(cam, seen));
}

TEST_F(transport, completions_stop_resubmitting_once_the_device_is_gone) {
  const int cam = qmx_sim_camera_add("TRANS008", 0x0300);
  ASSERT_EQ(qmx_sim_set_max_rate(cam, 1), 0);
  image_log log;
  channel_side side;
  side.tx_done.timeout_ms = side.rx_done.timeout_ms = 5000;
  auto t = make_transport(only_device(), log, side);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(qmx::start_streaming(t.get()), 0);
  arm(*t, side);
  ASSERT_TRUE(eventually([&] { return log.completions.load() > pool_size; }));
  qmx::mark_device_gone(t.get());
  // The camera fills what is still pending and then finds no request.
  ASSERT_TRUE(eventually([&] { return counters(cam).requests_pending[event_endpoint] == 0; }));
  const std::uint64_t seen = counters(cam).requests_seen[event_endpoint];
  EXPECT_TRUE(image_requests_stay_at(cam, seen));
  EXPECT_EQ(qmx::stop_streaming(t.get()), -99) << "nothing was pending any more to cancel";
}

TEST_F(transport, slow_destroy_during_a_maximum_rate_stream) {
  const int cam = qmx_sim_camera_add("TRANS009", 0x0300);
  ASSERT_EQ(qmx_sim_set_max_rate(cam, 1), 0);
  libusb_device* device = only_device();
  for (int round = 0; round < 4; ++round) {
    auto c = std::make_unique<qmx::camera>(device);
    ASSERT_FALSE(c->parameters.transport_failed) << "round " << round;
    ASSERT_EQ(qmx::start_streaming(c->transport.get()), 0);
    ASSERT_EQ(ask(*c, "arm"), "ok");
    const std::uint64_t before = counters(cam).packets_sent;
    ASSERT_TRUE(eventually([&] { return counters(cam).packets_sent > before + pool_size; }));
    c.reset(); // the transport goes while completions are resubmitting
    EXPECT_EQ(counters(cam).requests_pending[event_endpoint], 0u) << "round " << round;
  }
}

// ---- Device search ---------------------------------------------------------------------------

struct found_devices {
  std::vector<std::pair<libusb_device*, std::uint16_t>> found;
};

void collect(void* user, libusb_device* device, std::uint16_t product_id) {
  static_cast<found_devices*>(user)->found.emplace_back(device, product_id);
}

TEST_F(transport, find_matching_devices_takes_product_zero_and_skips_other_vendors) {
  qmx_sim_camera_config config;
  qmx_sim_camera_config_init(&config);
  config.serial = "FIND0001";
  ASSERT_NE(qmx_sim_camera_add_configured(&config), 0);
  config.serial = "FIND0002";
  config.product_id = 0;
  ASSERT_NE(qmx_sim_camera_add_configured(&config), 0);
  config.serial = "FIND0003";
  config.vendor_id = 0x1234;
  config.product_id = 0x4002;
  ASSERT_NE(qmx_sim_camera_add_configured(&config), 0);
  config.serial = "FIND0004";
  config.vendor_id = usb_test::vendor;
  config.product_id = 0x4003;
  ASSERT_NE(qmx_sim_camera_add_configured(&config), 0);

  const std::uint32_t products[] = {usb_test::product};
  found_devices result;
  qmx::find_matching_devices(ctx, usb_test::vendor, products, 1, collect, &result);
  std::vector<std::uint16_t> ids;
  for (const auto& [device, id] : result.found) {
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(device, &d), 0);
    EXPECT_EQ(d.idVendor, usb_test::vendor);
    EXPECT_EQ(d.idProduct, id);
    ids.push_back(id);
    libusb_unref_device(device);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uint16_t>{0, usb_test::product}));

  found_devices none_listed;
  qmx::find_matching_devices(ctx, usb_test::vendor, nullptr, 0, collect, &none_listed);
  ASSERT_EQ(none_listed.found.size(), 1u);
  EXPECT_EQ(none_listed.found[0].second, 0);
  libusb_unref_device(none_listed.found[0].first);
}

TEST_F(transport, find_matching_devices_on_an_empty_list_visits_nothing) {
  const std::uint32_t products[] = {usb_test::product};
  found_devices result;
  qmx::find_matching_devices(ctx, usb_test::vendor, products, 1, collect, &result);
  EXPECT_TRUE(result.found.empty());
}

} // namespace
