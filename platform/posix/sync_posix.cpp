// Platform seam, POSIX: auto-reset events and completion queues on std::mutex and
// std::condition_variable, with the semantics of their Win32 counterparts.
#include "platform/platform.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

namespace platform {

namespace {

// One thread blocked on one or two events. The first event that hands its signal to the waiter
// records its slot in `fired`; a waiter that gave up sets `fired` to `gave_up` so that a late set
// keeps its signal instead of handing it to nobody.
struct waiter {
  static constexpr int pending = -1;
  static constexpr int gave_up = -2;
  std::mutex mutex;
  std::condition_variable wake;
  int fired = pending;
};

struct waiter_link {
  waiter* who;
  int slot;
};

using steady = std::chrono::steady_clock;

} // namespace

// Lock order: an event's mutex, then a waiter's mutex. A waiter never holds its own mutex while
// taking an event's mutex.
class event_impl {
public:
  void set() {
    std::lock_guard lock(mutex_);
    while (!waiters_.empty()) {
      waiter_link link = waiters_.front();
      waiters_.pop_front();
      std::lock_guard waiter_lock(link.who->mutex);
      if (link.who->fired == waiter::pending) {
        link.who->fired = link.slot;
        link.who->wake.notify_one();
        return;
      }
    }
    signalled_ = true;
  }

  void reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  // Consumes a kept signal, or enlists `who` to receive the next one. True when consumed now.
  bool consume_or_enlist(waiter& who, int slot) {
    std::lock_guard lock(mutex_);
    if (signalled_) {
      std::lock_guard waiter_lock(who.mutex);
      if (who.fired != waiter::pending) {
        return false; // another event already released this waiter; keep our signal
      }
      signalled_ = false;
      who.fired = slot;
      return true;
    }
    waiters_.push_back({&who, slot});
    return false;
  }

  void withdraw(const waiter& who) {
    std::lock_guard lock(mutex_);
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      if (it->who == &who) {
        waiters_.erase(it);
        return;
      }
    }
  }

private:
  std::mutex mutex_;
  bool signalled_ = false;
  std::deque<waiter_link> waiters_;
};

namespace {

// Waits on up to two events; returns the slot that fired, or -1 on time-out.
int wait_events(event_impl* const* events, int count, std::uint32_t timeout_ms) {
  waiter self;
  bool done = false;
  for (int slot = 0; slot < count && !done; ++slot) {
    done = events[slot]->consume_or_enlist(self, slot);
  }
  {
    std::unique_lock lock(self.mutex);
    auto ready = [&] { return self.fired != waiter::pending; };
    if (timeout_ms == infinite_wait) {
      self.wake.wait(lock, ready);
    } else {
      self.wake.wait_until(lock, steady::now() + std::chrono::milliseconds(timeout_ms), ready);
    }
    if (self.fired == waiter::pending) {
      self.fired = waiter::gave_up;
    }
  }
  for (int slot = 0; slot < count; ++slot) {
    events[slot]->withdraw(self);
  }
  return self.fired >= 0 ? self.fired : -1;
}

} // namespace

event event::create() {
  return event(new (std::nothrow) event_impl);
}
event::event() noexcept : impl_(nullptr) {}
event::event(event&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
event& event::operator=(event&& other) noexcept {
  if (this != &other) {
    delete impl_;
    impl_ = other.impl_;
    other.impl_ = nullptr;
  }
  return *this;
}
event::~event() {
  delete impl_;
}

bool event::set() noexcept {
  if (impl_ == nullptr) {
    return false;
  }
  impl_->set();
  return true;
}

bool event::reset() noexcept {
  if (impl_ == nullptr) {
    return false;
  }
  impl_->reset();
  return true;
}

bool event::wait() noexcept {
  return wait_for(infinite_wait);
}

bool event::wait_for(std::uint32_t timeout_ms) noexcept {
  if (impl_ == nullptr) {
    return false;
  }
  event_impl* const events[] = {impl_};
  return wait_events(events, 1, timeout_ms) == 0;
}

wait_result event::wait_any(event& a, event& b, std::uint32_t timeout_ms) noexcept {
  if (a.impl_ == nullptr || b.impl_ == nullptr) {
    return wait_result::failed;
  }
  if (a.impl_ == b.impl_) {
    return a.wait_for(timeout_ms) ? wait_result::first : wait_result::timeout;
  }
  event_impl* const events[] = {a.impl_, b.impl_};
  switch (wait_events(events, 2, timeout_ms)) {
  case 0:
    return wait_result::first;
  case 1:
    return wait_result::second;
  default:
    return wait_result::timeout;
  }
}

class completion_queue_impl {
public:
  void post(std::uintptr_t key) {
    {
      std::lock_guard lock(mutex_);
      entries_.push_back(key);
    }
    ready_.notify_one();
  }

  std::uintptr_t take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !entries_.empty(); });
    std::uintptr_t key = entries_.front();
    entries_.pop_front();
    return key;
  }

private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::uintptr_t> entries_;
};

completion_queue completion_queue::create() {
  completion_queue queue;
  queue.impl_ = new (std::nothrow) completion_queue_impl;
  return queue;
}
completion_queue::completion_queue() noexcept : impl_(nullptr) {}
completion_queue::completion_queue(completion_queue&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
completion_queue& completion_queue::operator=(completion_queue&& other) noexcept {
  if (this != &other) {
    delete impl_;
    impl_ = other.impl_;
    other.impl_ = nullptr;
  }
  return *this;
}
completion_queue::~completion_queue() {
  delete impl_;
}

bool completion_queue::post(std::uintptr_t key) noexcept {
  if (impl_ == nullptr) {
    return false;
  }
  try {
    impl_->post(key);
    return true;
  } catch (...) {
    return false;
  }
}

bool completion_queue::take(std::uintptr_t& key) noexcept {
  if (impl_ == nullptr) {
    return false;
  }
  try {
    key = impl_->take();
    return true;
  } catch (...) {
    return false;
  }
}

} // namespace platform
