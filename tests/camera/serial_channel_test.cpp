// The serial channel: command transactions with the simulated camera over the camera object's
// transport, their refusals, cut replies, integer queries and failing transfers.
#include "camera_test_support.h"

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace {

using namespace camera_test;

constexpr std::uint32_t header_bytes = 38;
constexpr std::uint32_t request_data_copied = 64;

class serial_channel : public camera_world {
protected:
  void SetUp() override {
    camera_world::SetUp();
    cam = qmx_sim_camera_add("SERIAL01", 0x0300);
    ASSERT_NE(cam, 0);
    c = std::make_unique<qmx::camera>(only_device());
    ASSERT_FALSE(c->parameters.transport_failed);
  }
  void TearDown() override {
    c.reset();
    camera_world::TearDown();
  }

  std::uint64_t commands_seen() { return counters(cam).requests_seen[QMX_SIM_ENDPOINT_UART_TX]; }
  std::uint64_t replies_seen() { return counters(cam).requests_seen[QMX_SIM_ENDPOINT_UART_RX]; }

  int cam = 0;
  std::unique_ptr<qmx::camera> c;
};

TEST_F(serial_channel, sernum_gives_the_serial) {
  char reply[64] = {};
  ASSERT_TRUE(qmx::transact(c->channel, "sernum", 7, reply, sizeof reply));
  EXPECT_STREQ(reply, "SERIAL01");
}

TEST_F(serial_channel, a_null_reply_still_performs_both_transfers) {
  const std::uint64_t tx = commands_seen();
  const std::uint64_t rx = replies_seen();
  EXPECT_TRUE(qmx::transact(c->channel, "sernum", 7, nullptr, 0));
  EXPECT_EQ(commands_seen(), tx + 1);
  EXPECT_EQ(replies_seen(), rx + 1);
  EXPECT_EQ(ask(*c, "sernum"), "SERIAL01") << "the dropped reply was taken off the camera";
}

TEST_F(serial_channel, replies_are_cut_to_the_capacity) {
  char reply[8];
  std::memset(reply, '#', sizeof reply);
  ASSERT_TRUE(qmx::transact(c->channel, "sernum", 7, reply, 1));
  EXPECT_EQ(reply[0], '\0') << "capacity 1 holds only the terminator";
  EXPECT_EQ(reply[1], '#') << "nothing written past the capacity";

  const std::string long_text(300, 'L');
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "x", long_text.c_str(),
                                       static_cast<std::uint32_t>(long_text.size() + 1), 1),
            0);
  std::memset(reply, '#', sizeof reply);
  ASSERT_TRUE(qmx::transact(c->channel, "x", 2, reply, 5));
  EXPECT_STREQ(reply, "LLLL");
  EXPECT_EQ(reply[5], '#');
}

TEST_F(serial_channel, a_short_command_is_sent_padded_with_zeros) {
  ASSERT_TRUE(qmx::transact(c->channel, "arm", 3, nullptr, 0));
  std::uint8_t copy[header_bytes + request_data_copied];
  std::memset(copy, 0xEE, sizeof copy);
  ASSERT_EQ(qmx_sim_last_request(cam, QMX_SIM_ENDPOINT_UART_TX, copy, sizeof copy), sizeof copy);
  EXPECT_EQ(std::memcmp(copy + header_bytes, "arm", 3), 0);
  for (std::uint32_t i = header_bytes + 3; i < sizeof copy; ++i) {
    ASSERT_EQ(copy[i], 0) << "byte " << (i - header_bytes) << " of the command";
  }
  // A longer command earlier must not leave its tail behind a shorter one.
  ASSERT_TRUE(qmx::transact(c->channel, "num_calibration_lines", 21, nullptr, 0));
  ASSERT_TRUE(qmx::transact(c->channel, "id", 2, nullptr, 0));
  ASSERT_EQ(qmx_sim_last_request(cam, QMX_SIM_ENDPOINT_UART_TX, copy, sizeof copy), sizeof copy);
  EXPECT_EQ(std::memcmp(copy + header_bytes, "id", 2), 0);
  for (std::uint32_t i = header_bytes + 2; i < sizeof copy; ++i) {
    ASSERT_EQ(copy[i], 0) << "byte " << (i - header_bytes) << " of the command";
  }
}

TEST_F(serial_channel, out_of_range_lengths_are_refused_without_sending) {
  const std::uint64_t tx = commands_seen();
  const std::uint64_t rx = replies_seen();
  char reply[16] = "untouched";
  const std::string too_long(qmx::serial_buffer_bytes + 1, 'a');
  EXPECT_FALSE(qmx::transact(c->channel, "sernum", 0, reply, sizeof reply));
  EXPECT_FALSE(qmx::transact(c->channel, too_long.data(), too_long.size(), reply, sizeof reply));
  EXPECT_FALSE(qmx::transact(c->channel, "sernum", 7, reply, 0));
  EXPECT_EQ(commands_seen(), tx);
  EXPECT_EQ(replies_seen(), rx);
  EXPECT_STREQ(reply, "untouched");
  // The full 1024 bytes are allowed.
  std::string full(qmx::serial_buffer_bytes, '\0');
  std::memcpy(full.data(), "sernum", 6);
  EXPECT_TRUE(qmx::transact(c->channel, full.data(), full.size(), reply, sizeof reply));
  EXPECT_STREQ(reply, "SERIAL01");
}

TEST_F(serial_channel, a_reply_without_terminator_is_read_to_its_end) {
  const std::string text(qmx::serial_buffer_bytes - 1, 'z');
  ASSERT_EQ(
      qmx_sim_set_reply_override(cam, "x", text.data(), static_cast<std::uint32_t>(text.size()), 1),
      0);
  std::vector<char> reply(2 * qmx::serial_buffer_bytes, '#');
  ASSERT_TRUE(qmx::transact(c->channel, "x", 2, reply.data(), reply.size()));
  EXPECT_EQ(std::strlen(reply.data()), text.size());
  EXPECT_EQ(std::string(reply.data()), text);
}

TEST_F(serial_channel, a_reply_filling_the_whole_buffer_is_terminated) {
  const std::string text(qmx::serial_buffer_bytes, 'w');
  ASSERT_EQ(
      qmx_sim_set_reply_override(cam, "x", text.data(), static_cast<std::uint32_t>(text.size()), 1),
      0);
  std::vector<char> reply(2 * qmx::serial_buffer_bytes, '#');
  ASSERT_TRUE(qmx::transact(c->channel, "x", 2, reply.data(), reply.size()));
  EXPECT_EQ(std::string(reply.data()), text);
}

// The reply transfer reuses its buffers, and the layer copies the whole 1024 bytes: a reply
// shorter than the one before it, or one without a terminator, must still be read alone.
TEST_F(serial_channel, each_reply_is_read_alone_whatever_the_earlier_one_left) {
  ASSERT_EQ(ask(*c, "sernum"), "SERIAL01");
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "gain", "", 0, 1), 0);
  EXPECT_EQ(ask(*c, "gain"), "") << "a reply of no bytes";
  ASSERT_EQ(ask(*c, "sernum"), "SERIAL01");
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "gain", "7", 1, 1), 0);
  EXPECT_EQ(ask(*c, "gain"), "7") << "one byte, no terminator";
  ASSERT_EQ(ask(*c, "roi"), "0 0 1279 1023");
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "roi", "0 0 9", 5, 1), 0);
  EXPECT_EQ(ask(*c, "roi"), "0 0 9") << "no terminator after a longer reply";
  std::uint32_t value = 0;
  ASSERT_EQ(ask(*c, "sernum"), "SERIAL01");
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "value", "3", 1, 1), 0);
  EXPECT_EQ(qmx::query_integer(c->channel, "value", value), 0);
  EXPECT_EQ(value, 3u);
}

// Numbers read as a 32-bit long does on every system: beyond its range they stop at its ends.
TEST_F(serial_channel, query_integer_reads_32_bits_on_every_system) {
  const std::pair<const char*, std::uint32_t> cases[] = {{"4294967296", 0x7FFFFFFFu},
                                                         {"4294967295", 0x7FFFFFFFu},
                                                         {"0x100000000", 0x7FFFFFFFu},
                                                         {"-4294967296", 0x80000000u},
                                                         {"2147483647", 0x7FFFFFFFu},
                                                         {"-1", 0xFFFFFFFFu},
                                                         {"99999999999999999999999", 0x7FFFFFFFu}};
  for (const auto& [text, expected] : cases) {
    ASSERT_EQ(qmx_sim_set_reply_override(cam, "value", text,
                                         static_cast<std::uint32_t>(std::strlen(text) + 1), 1),
              0);
    std::uint32_t value = 7;
    EXPECT_EQ(qmx::query_integer(c->channel, "value", value), 0);
    EXPECT_EQ(value, expected) << text;
  }
}

TEST_F(serial_channel, query_integer_reads_with_automatic_base) {
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "value", "0x10", 5, 1), 0);
  std::uint32_t value = 7;
  EXPECT_EQ(qmx::query_integer(c->channel, "value", value), 0);
  EXPECT_EQ(value, 16u);

  EXPECT_EQ(qmx::query_integer(c->channel, "num_calibration_lines", value), 0);
  EXPECT_EQ(value, 2u);

  const std::string long_text(300, '1');
  ASSERT_EQ(qmx_sim_set_reply_override(cam, "value", long_text.c_str(),
                                       static_cast<std::uint32_t>(long_text.size() + 1), 1),
            0);
  value = 7;
  EXPECT_EQ(qmx::query_integer(c->channel, "value", value), 15);
  EXPECT_EQ(value, 7u) << "nothing stored";

  ASSERT_EQ(qmx_sim_set_endpoint_fault(cam, QMX_SIM_ENDPOINT_UART_RX, QMX_SIM_FAULT_FAIL, 31, 1),
            0);
  EXPECT_EQ(qmx::query_integer(c->channel, "num_calibration_lines", value), 1);
  EXPECT_EQ(value, 7u);
}

// The camera still holds the reply that the failed read did not take; the next transaction
// drops it first, so that every later reply answers its own command.
TEST_F(serial_channel, after_a_failing_reply_transfer_each_reply_answers_its_own_command) {
  ASSERT_EQ(qmx_sim_set_endpoint_fault(cam, QMX_SIM_ENDPOINT_UART_RX, QMX_SIM_FAULT_FAIL, 31, 1),
            0);
  char reply[64] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(qmx::transact(c->channel, "sernum", 7, reply, sizeof reply));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(ask(*c, "num_calibration_lines"), "2");
  EXPECT_EQ(ask(*c, "sernum"), "SERIAL01");
  EXPECT_EQ(ask(*c, "num_calibration_lines"), "2");
}

TEST_F(serial_channel, a_refused_command_submission_gives_false) {
  ASSERT_EQ(qmx_sim_set_endpoint_fault(cam, QMX_SIM_ENDPOINT_UART_TX, QMX_SIM_FAULT_REFUSE, 31, 1),
            0);
  const std::uint64_t rx = replies_seen();
  EXPECT_EQ(ask(*c, "sernum"), "<failed>");
  EXPECT_EQ(replies_seen(), rx) << "no reply asked for after a failed command";
  EXPECT_EQ(ask(*c, "sernum"), "SERIAL01");
}

TEST_F(serial_channel, slow_a_command_that_never_completes_times_out_and_the_next_one_works) {
  ASSERT_EQ(qmx_sim_set_endpoint_fault(cam, QMX_SIM_ENDPOINT_UART_TX, QMX_SIM_FAULT_HANG, 0, 1), 0);
  char reply[64] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(qmx::transact(c->channel, "sernum", 7, reply, sizeof reply));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(qmx::serial_timeout_ms));
  EXPECT_LT(waited, std::chrono::milliseconds(qmx::serial_timeout_ms + 3000));
  {
    std::lock_guard lock(c->serial.tx_done.lock);
    EXPECT_FALSE(c->serial.tx_done.in_flight) << "the cancelled command's completion arrived";
  }
  EXPECT_EQ(ask(*c, "sernum"), "SERIAL01");
}

TEST_F(serial_channel, a_transfer_still_in_flight_is_not_submitted_again) {
  // As after a wait that ran out and a cancel the driver never answered.
  {
    std::lock_guard lock(c->serial.tx_done.lock);
    c->serial.tx_done.in_flight = true;
  }
  const std::uint64_t tx = commands_seen();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ask(*c, "sernum"), "<failed>");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "the wait for the earlier transfer is bounded";
  EXPECT_EQ(commands_seen(), tx);
  // Its completion arrives: the channel goes on.
  qmx::signal_completion(c->serial.tx_done, true);
  EXPECT_EQ(ask(*c, "sernum"), "SERIAL01");
}

// Waits for transfers of earlier transactions count against the transaction's own limit, the
// sum of the two waits (20 s; scaled down here): it never runs past it, whatever it waits for.
TEST_F(serial_channel, a_transaction_never_runs_past_its_limit) {
  c->serial.tx_done.timeout_ms = 300;
  c->serial.rx_done.timeout_ms = 300;
  for (qmx::completion_block* block : {&c->serial.tx_done, &c->serial.rx_done}) {
    std::lock_guard lock(block->lock);
    block->in_flight = true; // as after waits that ran out and cancels the driver was slow to end
  }
  // The command transfer's completion comes after 500 ms: within the 1 s allowed for it, but
  // past the transaction's 600 ms with the reply transfer's wait behind it.
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    qmx::signal_completion(c->serial.tx_done, true);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ask(*c, "sernum"), "<failed>");
  const auto took = std::chrono::steady_clock::now() - start;
  late.join();
  EXPECT_LT(took, std::chrono::milliseconds(600 + 200));
  qmx::signal_completion(c->serial.rx_done, true);
  c->serial.tx_done.timeout_ms = qmx::serial_timeout_ms;
  c->serial.rx_done.timeout_ms = qmx::serial_timeout_ms;
  EXPECT_EQ(ask(*c, "sernum"), "SERIAL01");
}

// Dropping replies left behind costs nothing while every read succeeds: one command and one
// reply request per transaction.
TEST_F(serial_channel, a_transaction_after_a_good_one_makes_just_its_two_requests) {
  ASSERT_EQ(ask(*c, "sernum"), "SERIAL01");
  const std::uint64_t tx = commands_seen();
  const std::uint64_t rx = replies_seen();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(ask(*c, "num_calibration_lines"), "2");
  }
  EXPECT_EQ(commands_seen(), tx + 5);
  EXPECT_EQ(replies_seen(), rx + 5);
}

TEST(completion_block, wait_reports_time_out_and_failure_and_clears_done) {
  qmx::completion_block block;
  block.timeout_ms = 20;
  EXPECT_TRUE(qmx::wait_completion(block)) << "nothing completed: time ran out";
  qmx::signal_completion(block, false);
  EXPECT_FALSE(qmx::wait_completion(block));
  EXPECT_TRUE(qmx::wait_completion(block)) << "done was cleared by the wait";
  qmx::signal_completion(block, true);
  EXPECT_TRUE(qmx::wait_completion(block));
  block.in_flight = true;
  qmx::signal_completion(block, false);
  EXPECT_FALSE(block.in_flight);
}

} // namespace
