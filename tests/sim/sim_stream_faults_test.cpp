// The simulated camera's stream and its faults as a receiver meets them through the driver:
// frame counting, the frame log, scripted packet faults, endpoint faults, reply overrides,
// the frame counter's start value and the request's data length.
#include "platform/device_io.h"
#include "reference_decoder.h"
#include "sim/qmx_sim.h"
#include "tests/support/driver_requests.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using namespace platform;
using namespace driver_requests;

// A region of 1280 x 100 pixels: 102 rows of 1600 packed bytes, 10 packets of a frame.
constexpr std::uint32_t small_width = 1280;
constexpr std::uint32_t small_height = 100;
constexpr std::uint32_t small_packets = 10;

struct captured_packet {
  std::vector<std::uint8_t> bytes; // the packet as received (header and payload)
  std::uint32_t outcome = 0;
  sim_test::decoded_header header() const { return sim_test::decode_header(bytes); }
};

class sim_stream : public ::testing::Test {
protected:
  void SetUp() override {
    qmx_sim_reset();
    camera = qmx_sim_camera_add("STREAM01", 0x0300);
    ASSERT_GT(camera, 0);
    char path[512];
    ASSERT_EQ(qmx_sim_camera_path(camera, path, sizeof path), 0);
    file = device_file::open(path, share_mode::exclusive);
    ASSERT_TRUE(file.valid());
  }
  void TearDown() override {
    file.close();
    qmx_sim_reset();
  }

  // Arms a maximum-rate camera with 16 requests in flight and takes `count` completions in
  // order, resubmitting each; stops at the first request that does not complete in time.
  std::vector<captured_packet> capture(std::size_t count,
                                       std::uint32_t data_length = image_length) {
    EXPECT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
    std::deque<pending_request> requests;
    for (int n = 0; n < 16; ++n) {
      requests.emplace_back(0x83, image_length);
      put_u32(requests.back().buffer, 34, data_length); // the room the request offers
      EXPECT_EQ(requests.back().submit(file), error::io_pending);
    }
    EXPECT_EQ(transact(file, "arm"), "ok");
    // Requests complete in submission order; one whose resubmission is refused (the camera is
    // gone) leaves the rotation, and the others still give their outcomes.
    std::vector<bool> in_flight(requests.size(), true);
    std::vector<captured_packet> seen;
    for (std::size_t next = 0, idle = 0; seen.size() < count && idle < requests.size();
         next = (next + 1) % requests.size()) {
      if (!in_flight[next]) {
        ++idle;
        continue;
      }
      idle = 0;
      pending_request& r = requests[next];
      if (!r.record.completion_event().wait_for(2000)) {
        break;
      }
      std::uint32_t bytes = 0;
      captured_packet packet;
      packet.outcome = file.outcome(r.record, &bytes, false);
      const std::size_t data = bytes > header_size ? bytes - header_size : 0;
      packet.bytes.assign(r.data(), r.data() + data);
      seen.push_back(std::move(packet));
      in_flight[next] = r.submit(file) == error::io_pending;
    }
    transact(file, "stop");
    // The requests still in flight must be over before their buffers go.
    for (pending_request& r : requests) {
      file.cancel(r.record);
      file.outcome(r.record, nullptr, true);
    }
    return seen;
  }

  qmx_sim_counters counters() {
    qmx_sim_counters c{};
    EXPECT_EQ(qmx_sim_get_counters(camera, &c), 0);
    return c;
  }

  qmx_sim_fault_counters fault_counters() {
    qmx_sim_fault_counters c{};
    c.struct_size = sizeof c;
    EXPECT_EQ(qmx_sim_get_fault_counters(camera, &c), 0);
    return c;
  }

  std::vector<qmx_sim_frame_record> frame_log() {
    std::vector<qmx_sim_frame_record> records(8192);
    records.resize(qmx_sim_get_frame_log(camera, records.data(), 8192));
    return records;
  }

  int camera = 0;
  device_file file;
};

// Packets of a paced camera that no request takes are kept (64) or lost; a frame with a lost
// packet is not counted complete.
TEST_F(sim_stream, frames_with_lost_packets_are_not_counted_complete) {
  ASSERT_EQ(transact(file, "fps 200"), "ok");
  ASSERT_EQ(transact(file, "arm"), "ok");
  for (int tries = 0; tries < 2000 && counters().frames_started < 4; ++tries) {
    sleep_ms(1);
  }
  ASSERT_EQ(transact(file, "stop"), "ok");
  const qmx_sim_counters c = counters();
  EXPECT_GE(c.frames_started, 4u);
  EXPECT_GT(c.packets_lost, 0u);
  EXPECT_EQ(c.frames_completed, 0u) << "no request ever took a whole frame";
  const qmx_sim_fault_counters f = fault_counters();
  EXPECT_GE(f.frames_lost, 3u);
  EXPECT_EQ(f.frames_whole, 0u);
}

TEST_F(sim_stream, whole_frames_are_logged_with_their_header_words) {
  ASSERT_EQ(transact(file, "roi 0 0 1279 99"), "ok");
  const auto packets = capture(3 * small_packets);
  ASSERT_EQ(packets.size(), 3 * small_packets);
  const auto log = frame_log();
  ASSERT_GE(log.size(), 3u);
  for (std::uint32_t f = 0; f < 3; ++f) {
    const auto first = packets[f * small_packets].header();
    EXPECT_EQ(first.index, 0);
    EXPECT_EQ(log[f].sequence, f);
    EXPECT_EQ(log[f].frame_counter, first.frame_counter);
    EXPECT_EQ(log[f].header_word_8, first.word_8);
    EXPECT_EQ(log[f].header_word_12, first.word_12);
    EXPECT_EQ(log[f].packets, small_packets);
    EXPECT_EQ(log[f].outcome, static_cast<std::uint32_t>(QMX_SIM_FRAME_WHOLE)) << "frame " << f;
  }
  EXPECT_GE(counters().frames_completed, 3u);
  ASSERT_EQ(qmx_sim_clear_frame_log(camera), 0);
  for (const auto& record : frame_log()) {
    EXPECT_EQ(record.outcome, static_cast<std::uint32_t>(QMX_SIM_FRAME_SENDING))
        << "clearing keeps only frames still being sent";
  }
}

// Packet k of frame n, by the frame's counter: each scripted fault shows in the packets that
// arrive, in the frame log and in the fault counters.
TEST_F(sim_stream, scripted_packet_faults_hit_exactly_their_packet) {
  ASSERT_EQ(transact(file, "roi 0 0 1279 99"), "ok");
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 1, 3, QMX_SIM_PACKET_DROP, 0), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 2, 0, QMX_SIM_PACKET_REPEAT, 0), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 3, 5, QMX_SIM_PACKET_CORRUPT, 0), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 4, 2, QMX_SIM_PACKET_FOREIGN, 7), 0);
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 5, 9, QMX_SIM_PACKET_SHORTEN, 0), 0);
  EXPECT_EQ(qmx_sim_script_packet_fault(camera, 5, 9, 99, 0), -1);
  const auto packets = capture(6 * small_packets + 1);
  ASSERT_EQ(packets.size(), 6 * small_packets + 1);
  // Expected (frame counter, index) of every packet in arrival order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> expected;
  for (std::uint32_t f = 0; f < 6; ++f) {
    for (std::uint32_t k = 0; k < small_packets; ++k) {
      if (f == 1 && k == 3) {
        continue;
      }
      if (f == 4 && k == 2) {
        expected.emplace_back(11, 2);
      }
      expected.emplace_back(f, k);
      if (f == 2 && k == 0) {
        expected.emplace_back(f, k);
      }
    }
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto h = packets[i].header();
    ASSERT_EQ(std::make_pair(h.frame_counter, std::uint32_t{h.index}), expected[i])
        << "packet " << i;
    const bool corrupted = expected[i] == std::make_pair(3u, 5u);
    EXPECT_EQ(h.magic, corrupted ? 0x6F6F : 0x9090) << "packet " << i;
    const bool shortened = expected[i] == std::make_pair(5u, 9u);
    if (shortened) {
      EXPECT_LT(packets[i].bytes.size(), packets[i - 1].bytes.size() / 2 + 16);
    }
  }
  const auto log = frame_log();
  ASSERT_GE(log.size(), 6u);
  const std::uint32_t outcomes[] = {QMX_SIM_FRAME_WHOLE,   QMX_SIM_FRAME_LOST,
                                    QMX_SIM_FRAME_DAMAGED, QMX_SIM_FRAME_DAMAGED,
                                    QMX_SIM_FRAME_DAMAGED, QMX_SIM_FRAME_DAMAGED};
  for (std::uint32_t f = 0; f < 6; ++f) {
    EXPECT_EQ(log[f].outcome, outcomes[f]) << "frame " << f;
  }
  const qmx_sim_fault_counters c = fault_counters();
  EXPECT_EQ(c.packets_dropped, 1u);
  EXPECT_EQ(c.packets_repeated, 1u);
  EXPECT_EQ(c.packets_corrupted, 1u);
  EXPECT_EQ(c.packets_foreign, 1u);
  EXPECT_EQ(c.packets_shortened, 1u);
  EXPECT_GE(c.frames_lost, 1u) << "frame 1, and maybe the frame the stop cut short";
  EXPECT_EQ(c.frames_damaged, 4u);
}

TEST_F(sim_stream, unplug_after_a_scripted_packet_ends_the_frame_there) {
  ASSERT_EQ(transact(file, "roi 0 0 1279 99"), "ok");
  ASSERT_EQ(qmx_sim_script_packet_fault(camera, 1, 4, QMX_SIM_PACKET_UNPLUG, 0), 0);
  const auto packets = capture(100);
  std::size_t good = 0;
  while (good < packets.size() && packets[good].outcome == 0) {
    ++good;
  }
  ASSERT_EQ(good, small_packets + 5) << "one frame, then five packets of the next";
  const auto last_good = packets[good - 1].header();
  EXPECT_EQ(last_good.frame_counter, 1u);
  EXPECT_EQ(last_good.index, 4);
  for (std::size_t i = good; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].outcome, error::device_not_connected);
  }
  EXPECT_EQ(qmx_sim_camera_unplug(camera), -1) << "the camera is already unplugged";
  const auto log = frame_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].outcome, static_cast<std::uint32_t>(QMX_SIM_FRAME_LOST));
  EXPECT_EQ(fault_counters().unplugs_in_frame, 1u);
}

// The counter runs on from a start value and wraps; pixels follow the header's counter.
TEST_F(sim_stream, frame_counter_starts_where_set_and_wraps) {
  ASSERT_EQ(transact(file, "roi 0 0 1279 99"), "ok");
  ASSERT_EQ(qmx_sim_set_frame_counter(camera, 0xFFFFFFFEu), 0);
  const auto packets = capture(3 * small_packets);
  ASSERT_EQ(packets.size(), 3 * small_packets);
  const std::uint32_t counters_seen[] = {0xFFFFFFFEu, 0xFFFFFFFFu, 0};
  for (std::uint32_t f = 0; f < 3; ++f) {
    EXPECT_EQ(packets[f * small_packets].header().frame_counter, counters_seen[f]);
  }
  // Frame 0xFFFFFFFF decodes to the exported pattern functions.
  sim_test::streaming_unpacker unpacker(small_width, sim_test::expected_fill(small_width),
                                        std::size_t{small_width} * (small_height + 2));
  for (std::uint32_t k = 0; k < small_packets; ++k) {
    const auto& bytes = packets[small_packets + k].bytes;
    unpacker.feed(std::span<const std::uint8_t>(bytes).subspan(16));
  }
  ASSERT_TRUE(unpacker.problems().empty()) << unpacker.problems();
  const auto& pixels = unpacker.pixels();
  for (std::uint32_t line = 0; line < 2; ++line) {
    for (std::uint32_t column = 0; column < small_width; column += 7) {
      ASSERT_EQ(pixels[line * small_width + column],
                qmx_sim_calibration_pixel(0xFFFFFFFFu, line, column));
    }
  }
  for (std::uint32_t row = 0; row < small_height; ++row) {
    for (std::uint32_t column = 0; column < small_width; column += 5) {
      ASSERT_EQ(pixels[(2 + row) * small_width + column],
                qmx_sim_pattern_pixel(0xFFFFFFFFu, row, column))
          << "row " << row << " column " << column;
    }
  }
  EXPECT_EQ(qmx_sim_pattern_pixel(3, 5, 7), sim_test::expected_image_pixel(3, 5, 7));
}

// A request is written only up to the data length in its header, however large its buffer.
TEST_F(sim_stream, replies_and_packets_stop_at_the_request_data_length) {
  auto reply = endpoint_buffer(0x82, uart_length);
  std::memset(reply.data() + header_size, 0xEE, uart_length);
  put_u32(reply, 34, 4);
  pending_request command(0x02, uart_length);
  std::memcpy(command.buffer.data() + header_size, "sernum", 7);
  ASSERT_EQ(command.submit(file), 0u);
  completion_record record;
  ASSERT_TRUE(record.create());
  ASSERT_EQ(
      file.submit(request_endpoint, reply.data(), static_cast<std::uint32_t>(reply.size()), record),
      0u);
  std::uint32_t bytes = 0;
  ASSERT_EQ(file.outcome(record, &bytes, true), 0u);
  EXPECT_EQ(bytes, header_size + 4);
  EXPECT_EQ(std::memcmp(reply.data() + header_size, "STRE", 4), 0);
  EXPECT_EQ(reply[header_size + 4], 0xEE) << "written past the request's data length";

  const auto packets = capture(3, 40);
  ASSERT_EQ(packets.size(), 3u);
  for (const auto& p : packets) {
    EXPECT_EQ(p.bytes.size(), 40u);
  }
}

// Maximum-rate mode switched off while the camera waits for a request: the stream goes on at
// the frame rate (and loses what nobody takes) instead of stalling.
TEST_F(sim_stream, maximum_rate_off_while_waiting_keeps_the_stream_going) {
  ASSERT_EQ(transact(file, "fps 500"), "ok");
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 1), 0);
  pending_request one(0x83, image_length);
  ASSERT_EQ(one.submit(file), error::io_pending);
  ASSERT_EQ(transact(file, "arm"), "ok");
  ASSERT_TRUE(one.record.completion_event().wait_for(2000));
  sleep_ms(20); // the camera now waits for the next request
  const std::uint64_t started = counters().frames_started;
  ASSERT_EQ(qmx_sim_set_max_rate(camera, 0), 0);
  for (int tries = 0; tries < 2000 && counters().frames_started < started + 3; ++tries) {
    sleep_ms(1);
  }
  EXPECT_GE(counters().frames_started, started + 3);
  EXPECT_GT(counters().packets_lost, 0u);
  transact(file, "stop");
}

TEST_F(sim_stream, endpoint_faults_refuse_fail_or_hold_requests) {
  // Refused at submission, twice, then accepted.
  ASSERT_EQ(qmx_sim_set_endpoint_fault(camera, QMX_SIM_ENDPOINT_EVENT, QMX_SIM_FAULT_REFUSE, 31, 2),
            0);
  pending_request image(0x83, image_length);
  EXPECT_EQ(image.submit(file), 31u);
  EXPECT_EQ(image.submit(file), 31u);
  EXPECT_EQ(image.submit(file), error::io_pending);
  EXPECT_EQ(file.cancel(image.record), 0u);
  EXPECT_TRUE(image.record.completion_event().wait_for(1000));
  // Accepted, then completed with the error.
  ASSERT_EQ(
      qmx_sim_set_endpoint_fault(camera, QMX_SIM_ENDPOINT_UART_RX, QMX_SIM_FAULT_FAIL, 1167, 1), 0);
  EXPECT_EQ(transact(file, "sernum"), "<failed>");
  pending_request kept(0x82, uart_length);
  ASSERT_EQ(kept.submit(file), 0u) << "the reply waited on the camera for the next read";
  EXPECT_STREQ(reinterpret_cast<const char*>(kept.data()), "STREAM01");
  // A command that never completes is not carried out, and ends on cancel.
  ASSERT_EQ(qmx_sim_set_endpoint_fault(camera, QMX_SIM_ENDPOINT_UART_TX, QMX_SIM_FAULT_HANG, 0, 1),
            0);
  pending_request command(0x02, uart_length);
  std::memcpy(command.buffer.data() + header_size, "gain 99", 8);
  ASSERT_EQ(command.submit(file), error::io_pending);
  EXPECT_FALSE(command.record.completion_event().wait_for(50));
  EXPECT_EQ(counters().requests_pending[QMX_SIM_ENDPOINT_UART_TX], 1u);
  EXPECT_EQ(file.cancel(command.record), 0u);
  EXPECT_TRUE(command.record.completion_event().wait_for(1000));
  EXPECT_EQ(command.record.outcome(nullptr), error::operation_aborted);
  EXPECT_EQ(transact(file, "gain"), "0");
  const qmx_sim_fault_counters c = fault_counters();
  EXPECT_EQ(c.requests_refused, 2u);
  EXPECT_EQ(c.requests_failed, 1u);
  EXPECT_EQ(c.requests_hung, 1u);
  EXPECT_EQ(qmx_sim_set_endpoint_fault(camera, 5, QMX_SIM_FAULT_FAIL, 31, 1), -1);
  EXPECT_EQ(qmx_sim_set_endpoint_fault(camera, 0, 0, 31, 1), -1);
}

TEST_F(sim_stream, reply_overrides_replace_replies_but_commands_still_run) {
  ASSERT_EQ(qmx_sim_set_reply_override(camera, "data_packets_per_frame", "0x10", 5, 2), 0);
  EXPECT_EQ(transact(file, "data_packets_per_frame"), "0x10");
  EXPECT_EQ(transact(file, "  data_packets_per_frame"), "0x10");
  EXPECT_NE(transact(file, "data_packets_per_frame"), "0x10") << "only the next two";
  // A reply of 1023 bytes with no terminator: the request receives exactly those bytes.
  const std::string unterminated(1023, 'x');
  ASSERT_EQ(qmx_sim_set_reply_override(camera, "id", unterminated.data(), 1023, 1), 0);
  pending_request command(0x02, uart_length);
  std::memcpy(command.buffer.data() + header_size, "id", 3);
  ASSERT_EQ(command.submit(file), 0u);
  pending_request reply(0x82, uart_length);
  std::memset(reply.buffer.data() + header_size, 0xEE, uart_length);
  ASSERT_EQ(reply.submit(file), 0u);
  std::uint32_t bytes = 0;
  ASSERT_EQ(reply.record.outcome(&bytes), 0u);
  EXPECT_EQ(bytes, header_size + 1023);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.data()), 1023), unterminated);
  EXPECT_EQ(reply.data()[1023], 0xEE);
  // The overridden command is carried out.
  ASSERT_EQ(qmx_sim_set_reply_override(camera, "roi", "1 2", 4, 1), 0);
  EXPECT_EQ(transact(file, "roi 4 0 7 0"), "1 2");
  EXPECT_EQ(transact(file, "roi"), "4 0 7 0");
  EXPECT_EQ(fault_counters().replies_overridden, 4u);
  EXPECT_EQ(qmx_sim_set_reply_override(camera, "id", "x", 1025, 1), -1);
}

} // namespace
