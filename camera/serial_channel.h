// Camera data path, serial channel: one text-command transaction with the camera over the
// command transfer (0x02) and the reply transfer (0x82), each awaited up to 10000 ms.
#pragma once

#include "include/qmx_thread_safety.h"
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>

namespace qmx {

struct usb_transport;

// The completion signal of one channel direction. Set by the transport's callback, taken by the
// transaction that waits for it.
struct completion_block {
  qmx::mutex lock;
  std::condition_variable done_signal;
  bool done QMX_GUARDED_BY(lock) = false;
  std::atomic<bool> failed{false}; // status of the completed transfer was not success
  // Bytes the driver delivered with the completion; written before `done` is set under `lock`.
  std::atomic<std::int32_t> received_length{0};
  std::int32_t timeout_ms = 0;
  // A transfer whose wait ran out and that has not completed since: it must not be submitted
  // again before its completion arrives.
  bool in_flight QMX_GUARDED_BY(lock) = false;
};

constexpr std::size_t serial_buffer_bytes = 1024;
constexpr std::int32_t serial_timeout_ms = 10000;

// The buffers of the two channel transfers and their completion blocks. The transport's command
// and reply transfers are bound to the buffers for the owner's whole life.
struct serial_buffers {
  unsigned char tx_buffer[serial_buffer_bytes] = {}; // the outgoing command
  completion_block tx_done;
  unsigned char rx_buffer[serial_buffer_bytes] = {}; // the reply
  completion_block rx_done;
};

// The channel: its buffers, the transport whose channel transfers it submits, and its lock.
struct serial_channel {
  serial_buffers* buffers = nullptr;
  qmx::mutex lock; // held for a whole transaction
  // The owner's current transport; null when it has none.
  usb_transport* transport QMX_GUARDED_BY(lock) = nullptr;
  // A reply read failed or ran out after its command went out: the camera may still hold that
  // reply, which the next read would take in place of its own.
  bool reply_may_be_left QMX_GUARDED_BY(lock) = false;
};

// Replies to internal integer queries longer than this are refused.
constexpr std::size_t longest_query_reply = 256;

// One command transaction on `channel` (host threads; serialised by the channel's lock).
// `command` holds `length` bytes, 1 to 1024; they are sent as a 1024-byte command padded with
// zeros. On success the reply text (the bytes the camera sent, up to the first zero byte) is
// copied into `reply`, cut to `reply_capacity` - 1 bytes and terminated; a null `reply` drops it.
// False when a length is out of range (0, above 1024, or a capacity of 0 with a reply buffer;
// nothing is sent), a submission failed, a transfer failed, or either wait ran out. A transfer
// whose wait ran out is cancelled and its completion is awaited before the channel submits it
// again. After a reply read that failed or ran out, the next transaction first reads and drops
// the replies the camera still holds (each read waits briefly), so that every later reply
// answers its own command. Whatever it waits for, a transaction ends within the sum of the two
// blocks' `timeout_ms` (20000 ms) of its start, not counting the wait for the channel's lock.
bool transact(serial_channel& channel, const void* command, std::size_t length, char* reply,
              std::size_t reply_capacity);

// Marks a completion block done with the transfer's outcome and the bytes it delivered; the
// transport's callback thread.
void signal_completion(completion_block& block, bool failed, std::int32_t received_length = 0);
// Waits for a block's completion up to its `timeout_ms` on a monotonic clock; true when failed
// (time ran out, or the transfer failed). Clears `done`.
bool wait_completion(completion_block& block);

// The integer reply to `name` (sent with its terminator, reply buffer 1024 bytes), read with
// automatic base as a 32-bit strtol does (`strtol32`). 0 stored; 1 the transaction failed;
// 15 the reply is longer than 256 characters (nothing stored).
int query_integer(serial_channel& channel, const char* name, std::uint32_t& value);

} // namespace qmx
