// Camera data path, frame queues: appending a node and emptying a queue.
#include "camera/frame_queue.h"

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

frame_queue::~frame_queue() { free_nodes(head); }

void push(frame_queue& queue, frame_node* node) {
  if (node == nullptr) {
    return;
  }
  node->next = nullptr;
  {
    std::lock_guard lock(queue.lock);
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
    std::lock_guard lock(queue.lock);
    nodes = queue.head;
    queue.head = nullptr;
    queue.tail = nullptr;
    queue.aborted = false;
  }
  free_nodes(nodes);
}

} // namespace qmx
