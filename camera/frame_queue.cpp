// Camera data path, frame queues: appending a node and emptying a queue.
#include "camera/frame_queue.h"

#include <chrono>

namespace qmx {

namespace {

void free_nodes(frame_node* node) {
  while (node != nullptr) {
    frame_node* next = node->next;
    delete node;
    node = next;
  }
}

} // namespace

frame_queue::~frame_queue() {
  free_nodes(head);
}

void push(frame_queue& queue, frame_node* node) {
  if (node == nullptr) {
    return;
  }
  node->next = nullptr;
  {
    qmx::lock_guard lock(queue.lock);
    if (queue.tail != nullptr) {
      queue.tail->next = node;
    } else {
      queue.head = node;
    }
    queue.tail = node;
  }
  queue.not_empty.notify_one();
}

void clear(frame_queue& queue) {
  frame_node* nodes = nullptr;
  {
    qmx::lock_guard lock(queue.lock);
    nodes = queue.head;
    queue.head = nullptr;
    queue.tail = nullptr;
    queue.aborted = false;
  }
  free_nodes(nodes);
}

frame_node* take(frame_queue& queue, int timeout_ms) {
  qmx::unique_lock lock(queue.lock);
  if (timeout_ms == -1) {
    while (queue.head == nullptr && !queue.aborted) {
      lock.wait(queue.not_empty);
    }
  } else if (timeout_ms > 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (queue.head == nullptr && !queue.aborted && lock.wait_until(queue.not_empty, deadline)) {
    }
  }
  if (queue.aborted || queue.head == nullptr) {
    return nullptr;
  }
  frame_node* node = queue.head;
  queue.head = node->next;
  if (queue.head == nullptr) {
    queue.tail = nullptr;
  }
  node->next = nullptr;
  return node;
}

void abort(frame_queue& queue) {
  {
    qmx::lock_guard lock(queue.lock);
    queue.aborted = true;
  }
  queue.not_empty.notify_all();
}

} // namespace qmx
