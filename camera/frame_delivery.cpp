// Camera data path, frame delivery: held frames, abort, and the image-wait event.
#include "camera/frame_delivery.h"

#include "camera/frame_path.h"

namespace qmx {

namespace {

std::uint64_t address_of(const frame_node* node) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(node->slot));
}

} // namespace

void abort_delivery(frame_assembly_state& a, bool any_state) {
  if (a.frame_buffer == nullptr && !any_state) {
    return;
  }
  a.stop_flag.store(true);
  abort(a.filled_queue);
  abort(a.free_queue);
}

std::uint64_t take_frame_for_wait(frame_assembly_state& a) {
  qmx::lock_guard hold(a.wait_hold_mutex);
  if (a.held_wait_frame != nullptr) {
    push(a.free_queue, a.held_wait_frame);
    a.held_wait_frame = nullptr;
  }
  a.held_wait_frame = take(a.filled_queue, -1);
  if (a.held_wait_frame == nullptr || a.stop_flag.load()) {
    return 0; // a frame taken just as a stop came stays held and goes back at the next call
  }
  return address_of(a.held_wait_frame);
}

std::uint64_t take_frame_for_poll(frame_assembly_state& a) {
  qmx::lock_guard hold(a.poll_hold_mutex);
  if (a.held_poll_frame != nullptr) {
    push(a.free_queue, a.held_poll_frame);
    a.held_poll_frame = nullptr;
  }
  a.held_poll_frame = take(a.filled_queue, a.poll_timeout_ms.load());
  return a.held_poll_frame == nullptr ? 0 : address_of(a.held_poll_frame);
}

void wait_image_event(frame_assembly_state& a) {
  qmx::unique_lock lock(a.image_wait_lock);
  while (!a.image_wait_flag) {
    lock.wait(a.image_wait_signal);
  }
  a.image_wait_flag = false;
}

void set_image_event(frame_assembly_state& a) {
  qmx::lock_guard lock(a.image_wait_lock);
  a.image_wait_flag = true;
  a.image_wait_signal.notify_one();
}

} // namespace qmx
