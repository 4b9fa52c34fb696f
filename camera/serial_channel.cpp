// Camera data path, serial channel: one text-command transaction over the command and reply
// transfers, with the completion blocks the transport's callback signals.
#include "camera/serial_channel.h"
#include "include/qmx_module.h"

#include "camera/text_numbers.h"
#include "camera/usb_transport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace qmx {

namespace {

using clock_type = std::chrono::steady_clock;

// How long a transaction waits for the completion of a transfer whose wait ran out (after the
// cancel, and again before the next submission). A cancelled request ends at once in practice;
// the bound only keeps a driver that never lets go from hanging the channel.
constexpr auto in_flight_wait = std::chrono::milliseconds(1000);
// How long a read for a reply left behind waits before the camera counts as holding no more, and
// how many such replies are dropped at most (a camera keeps a bounded number of unread replies).
constexpr auto left_reply_wait = std::chrono::milliseconds(50);
constexpr int most_left_replies = 16;

enum class wait_outcome { completed, failed, timed_out };

// The earlier of `now + wait` and the transaction's deadline.
clock_type::time_point within(std::chrono::milliseconds wait, clock_type::time_point deadline) {
  return std::min(clock_type::now() + wait, deadline);
}

// Waits for `block` until `until`. On time-out the transfer is marked in flight under the same
// lock that saw it not done, so a completion arriving just after cannot be missed.
wait_outcome await_completion(completion_block& block, bool mark_in_flight,
                              clock_type::time_point until) {
  qmx::unique_lock lock(block.lock);
  while (!block.done && lock.wait_until(block.done_signal, until)) {
  }
  if (!block.done) {
    if (mark_in_flight) {
      block.in_flight = true;
    }
    return wait_outcome::timed_out;
  }
  block.done = false;
  return block.failed.load() ? wait_outcome::failed : wait_outcome::completed;
}

// True once no transfer of `block` is in flight any more, waiting for it until `until` at most.
// Costs one lock when nothing is in flight.
bool settle_in_flight(completion_block& block, clock_type::time_point until) {
  qmx::unique_lock lock(block.lock);
  while (block.in_flight && lock.wait_until(block.done_signal, until)) {
  }
  return !block.in_flight;
}

// Prepares `block` for a new transfer: a late completion of an earlier one must not count.
void arm_block(completion_block& block) {
  qmx::lock_guard lock(block.lock);
  block.done = false;
  block.failed.store(false);
  block.received_length.store(0);
}

// Submits one direction and waits for it, 10000 ms at most and never past `deadline`. A
// timed-out transfer is cancelled, and its completion is awaited briefly (within the deadline)
// so that the next transaction can usually submit at once.
bool run_direction(completion_block& block, usb_transport* transport, int (*submit)(usb_transport*),
                   int (*cancel)(usb_transport*), clock_type::time_point deadline) {
  arm_block(block);
  if (submit(transport) != 0) {
    return false;
  }
  switch (await_completion(block, true,
                           within(std::chrono::milliseconds(block.timeout_ms), deadline))) {
  case wait_outcome::completed:
    return true;
  case wait_outcome::failed:
    return false;
  case wait_outcome::timed_out:
    (void)cancel(transport);
    (void)settle_in_flight(block, within(in_flight_wait, deadline));
    return false;
  }
  return false;
}

// Reads and drops replies the camera still holds from a transaction whose reply read failed or
// ran out: until a read finds nothing within its short wait (it is cancelled and its completion
// awaited), a read fails, the bound is reached or the transaction's deadline comes.
void drop_left_replies(completion_block& rx_done, usb_transport* transport,
                       clock_type::time_point deadline) {
  for (int n = 0; n < most_left_replies && clock_type::now() < deadline; ++n) {
    arm_block(rx_done);
    if (submit_reply(transport) != 0) {
      return;
    }
    const wait_outcome outcome = await_completion(rx_done, true, within(left_reply_wait, deadline));
    if (outcome == wait_outcome::timed_out) {
      (void)cancel_reply(transport);
      (void)settle_in_flight(rx_done, within(in_flight_wait, deadline));
      return;
    }
    if (outcome == wait_outcome::failed) {
      return;
    }
  }
}

// The reply the last read delivered: the bytes the driver reported, up to the first zero byte.
// The USB layer copies its whole buffer, so the bytes past that count are an earlier reply's;
// they are cleared, so that the reply buffer holds this reply alone.
std::size_t delivered_reply(serial_buffers& b) {
  const std::int32_t delivered = b.rx_done.received_length.load();
  const std::size_t received =
      delivered <= 0
          ? 0
          : std::min<std::size_t>(static_cast<std::size_t>(delivered), serial_buffer_bytes);
  std::memset(b.rx_buffer + received, 0, serial_buffer_bytes - received);
  const auto* text = reinterpret_cast<const char*>(b.rx_buffer);
  std::size_t n = 0;
  while (n < received && text[n] != '\0') {
    ++n;
  }
  return n;
}

} // namespace

bool transact(serial_channel& channel, const void* command, std::size_t length, char* reply,
              std::size_t reply_capacity) {
  qmx::lock_guard channel_lock(channel.lock);
  if (length == 0 || length > serial_buffer_bytes || (reply != nullptr && reply_capacity == 0) ||
      command == nullptr) {
    return false;
  }
  usb_transport* transport = channel.transport;
  serial_buffers* b = channel.buffers;
  if (transport == nullptr || b == nullptr) {
    return false;
  }
  // Everything below, waits for earlier transfers included, counts against one deadline: the
  // time the command and the reply may take at most.
  const auto deadline =
      clock_type::now() +
      std::chrono::milliseconds(std::int64_t{b->tx_done.timeout_ms} + b->rx_done.timeout_ms);
  // A transfer still owned by the driver must never be submitted again.
  if (!settle_in_flight(b->tx_done, within(in_flight_wait, deadline)) ||
      !settle_in_flight(b->rx_done, within(in_flight_wait, deadline))) {
    return false;
  }
  if (channel.reply_may_be_left) {
    drop_left_replies(b->rx_done, transport, deadline);
    if (!settle_in_flight(b->rx_done, within(in_flight_wait, deadline))) {
      return false; // the read it cancelled is still the driver's: try again next time
    }
    channel.reply_may_be_left = false;
  }
  std::memset(b->tx_buffer, 0, serial_buffer_bytes);
  std::memset(b->rx_buffer, 0, serial_buffer_bytes);
  std::memcpy(b->tx_buffer, command, length);
  if (!run_direction(b->tx_done, transport, submit_command, cancel_command, deadline)) {
    return false;
  }
  if (!run_direction(b->rx_done, transport, submit_reply, cancel_reply, deadline)) {
    channel.reply_may_be_left = true;
    return false;
  }
  const std::size_t n = delivered_reply(*b);
  if (reply != nullptr) {
    const std::size_t copied = std::min(n, reply_capacity - 1);
    std::memcpy(reply, b->rx_buffer, copied);
    reply[copied] = '\0';
  }
  return true;
}

void signal_completion(completion_block& block, bool failed, std::int32_t received_length) {
  block.failed.store(failed);
  block.received_length.store(received_length);
  qmx::lock_guard lock(block.lock);
  block.done = true;
  block.in_flight = false;
  // One waiter at most: the channel lock lets only one transaction wait on a block.
  block.done_signal.notify_one();
}

bool wait_completion(completion_block& block) {
  return await_completion(block, false,
                          clock_type::now() + std::chrono::milliseconds(block.timeout_ms)) !=
         wait_outcome::completed;
}

int query_integer(serial_channel& channel, const char* name, std::uint32_t& value) {
  if (name == nullptr) {
    return QMX_TRANSACTION_FAILED;
  }
  char reply[serial_buffer_bytes];
  if (!transact(channel, name, std::strlen(name) + 1, reply, sizeof reply)) {
    return QMX_TRANSACTION_FAILED;
  }
  if (std::strlen(reply) > longest_query_reply) {
    return QMX_TRUNCATED;
  }
  value = static_cast<std::uint32_t>(strtol32(reply, nullptr, 0));
  return QMX_OK;
}

} // namespace qmx
