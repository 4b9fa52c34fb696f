// Camera data path, serial channel: one text-command transaction over the command and reply
// transfers, with the completion blocks the transport's callback signals.
#include "camera/serial_channel.h"

#include "camera/camera.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace qmx {

namespace {

// How long a transaction waits for the completion of a transfer whose wait ran out (after the
// cancel, and again before the next submission). A cancelled request ends at once in practice;
// the bound only keeps a driver that never lets go from hanging the channel.
constexpr auto in_flight_wait = std::chrono::milliseconds(1000);
// How long a read for a reply left behind waits before the camera counts as holding no more, and
// how many such replies are dropped at most (a camera keeps a bounded number of unread replies).
constexpr auto left_reply_wait = std::chrono::milliseconds(50);
constexpr int most_left_replies = 16;
constexpr int result_stored = 0;
constexpr int result_failed = 1;
constexpr int result_reply_too_long = 15;

enum class wait_outcome { completed, failed, timed_out };

// Waits for `block` up to its limit. On time-out the transfer is marked in flight under the
// same lock that saw it not done, so a completion arriving just after cannot be missed.
wait_outcome await_completion(completion_block& block, bool mark_in_flight,
                              std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(block.lock);
  const bool done = block.done_signal.wait_until(lock, deadline, [&] { return block.done; });
  if (!done) {
    if (mark_in_flight) {
      block.in_flight = true;
    }
    return wait_outcome::timed_out;
  }
  block.done = false;
  return block.failed.load() ? wait_outcome::failed : wait_outcome::completed;
}

// True once no transfer of `block` is in flight any more, waiting a bounded time for it.
bool settle_in_flight(completion_block& block) {
  std::unique_lock lock(block.lock);
  return block.done_signal.wait_for(lock, in_flight_wait, [&] { return !block.in_flight; });
}

// Prepares `block` for a new transfer: a late completion of an earlier one must not count.
void arm_block(completion_block& block) {
  std::lock_guard lock(block.lock);
  block.done = false;
  block.failed.store(false);
}

// Submits one direction and waits for it. A timed-out transfer is cancelled, and its
// completion is awaited briefly so that the next transaction can usually submit at once.
bool run_direction(completion_block& block, usb_transport* transport, int (*submit)(usb_transport*),
                   int (*cancel)(usb_transport*)) {
  arm_block(block);
  if (submit(transport) != 0) {
    return false;
  }
  switch (await_completion(block, true, std::chrono::milliseconds(block.timeout_ms))) {
  case wait_outcome::completed:
    return true;
  case wait_outcome::failed:
    return false;
  case wait_outcome::timed_out:
    (void)cancel(transport);
    (void)settle_in_flight(block);
    return false;
  }
  return false;
}

// Reads and drops replies the camera still holds from a transaction whose reply read failed or
// ran out: until a read finds nothing within its short wait (it is cancelled and its completion
// awaited), a read fails, or the bound is reached.
void drop_left_replies(camera& c, usb_transport* transport) {
  for (int n = 0; n < most_left_replies; ++n) {
    arm_block(c.rx_done);
    if (submit_reply(transport) != 0) {
      return;
    }
    const wait_outcome outcome = await_completion(c.rx_done, true, left_reply_wait);
    if (outcome == wait_outcome::timed_out) {
      (void)cancel_reply(transport);
      (void)settle_in_flight(c.rx_done);
      return;
    }
    if (outcome == wait_outcome::failed) {
      return;
    }
  }
}

} // namespace

bool transact(camera& c, const void* command, std::size_t length, char* reply,
              std::size_t reply_capacity) {
  std::lock_guard channel_lock(c.channel.lock);
  if (length == 0 || length > serial_buffer_bytes || (reply != nullptr && reply_capacity == 0) ||
      command == nullptr) {
    return false;
  }
  usb_transport* transport = c.channel.transport;
  if (transport == nullptr) {
    return false;
  }
  // A transfer still owned by the driver must never be submitted again.
  if (!settle_in_flight(c.tx_done) || !settle_in_flight(c.rx_done)) {
    return false;
  }
  if (c.channel.reply_may_be_left) {
    drop_left_replies(c, transport);
    if (!settle_in_flight(c.rx_done)) {
      return false; // the read it cancelled is still the driver's: try again next time
    }
    c.channel.reply_may_be_left = false;
  }
  std::memset(c.tx_buffer, 0, serial_buffer_bytes);
  std::memset(c.rx_buffer, 0, serial_buffer_bytes);
  std::memcpy(c.tx_buffer, command, length);
  if (!run_direction(c.tx_done, transport, submit_command, cancel_command)) {
    return false;
  }
  if (!run_direction(c.rx_done, transport, submit_reply, cancel_reply)) {
    c.channel.reply_may_be_left = true;
    return false;
  }
  if (reply != nullptr) {
    const auto* text = reinterpret_cast<const char*>(c.rx_buffer);
    std::size_t n = 0;
    while (n < serial_buffer_bytes && text[n] != '\0') {
      ++n;
    }
    if (n > reply_capacity - 1) {
      n = reply_capacity - 1;
    }
    std::memcpy(reply, text, n);
    reply[n] = '\0';
  }
  return true;
}

void signal_completion(completion_block& block, bool failed) {
  block.failed.store(failed);
  std::lock_guard lock(block.lock);
  block.done = true;
  block.in_flight = false;
  // One waiter at most: the channel lock lets only one transaction wait on a block.
  block.done_signal.notify_one();
}

bool wait_completion(completion_block& block) {
  return await_completion(block, false, std::chrono::milliseconds(block.timeout_ms)) !=
         wait_outcome::completed;
}

int query_integer(camera& c, const char* name, std::uint32_t& value) {
  if (name == nullptr) {
    return result_failed;
  }
  char reply[serial_buffer_bytes];
  if (!transact(c, name, std::strlen(name) + 1, reply, sizeof reply)) {
    return result_failed;
  }
  if (std::strlen(reply) > longest_query_reply) {
    return result_reply_too_long;
  }
  value = static_cast<std::uint32_t>(std::strtol(reply, nullptr, 0));
  return result_stored;
}

} // namespace qmx
