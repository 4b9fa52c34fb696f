// Camera data path, frame queues: the nodes that name frame slots in the host's buffer, and the
// first-in first-out queues of free slots and of completed frames.
#pragma once

#include "include/qmx_thread_safety.h"

#include <condition_variable>

namespace qmx {

struct frame_node {
  unsigned char* slot = nullptr; // first byte of the slot in the host's buffer
  frame_node* next = nullptr;
};

struct frame_queue {
  qmx::mutex lock;
  frame_node* head QMX_GUARDED_BY(lock) = nullptr;
  frame_node* tail QMX_GUARDED_BY(lock) = nullptr;
  std::condition_variable not_empty;
  bool aborted QMX_GUARDED_BY(lock) = false;

  frame_queue() = default;
  frame_queue(const frame_queue&) = delete;
  frame_queue& operator=(const frame_queue&) = delete;
  ~frame_queue(); // frees every node it holds
};

// Appends `node`; wakes one waiter.
void push(frame_queue& queue, frame_node* node);
// Frees every node of `queue` and clears `aborted`.
void clear(frame_queue& queue);
// The oldest node, or null. `timeout_ms` -1 waits without limit, 0 or any other negative value
// does not wait, a positive value waits at most that long (monotonic clock). An aborted queue
// gives null at once and keeps its nodes.
frame_node* take(frame_queue& queue, int timeout_ms);
// Marks `queue` aborted and wakes every waiter.
void abort(frame_queue& queue);

} // namespace qmx
