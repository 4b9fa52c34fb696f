// qmxcam, writing thread (see write_queue.h).
#include "tools/qmxcam/write_queue.h"

namespace qmxcam {

write_queue::write_queue(frame_sink& sink, std::size_t capacity)
    : sink_(sink), capacity_(capacity), thread_([this] { run(); }) {}

write_queue::~write_queue() {
  finish();
}

bool write_queue::push(frame&& f) {
  {
    std::lock_guard lock(mutex_);
    if (sink_failed_ || frames_.size() >= capacity_) {
      ++not_written_;
      return false;
    }
    frames_.push_back(std::move(f));
  }
  wake_.notify_one();
  return true;
}

void write_queue::finish() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) {
    thread_.join();
  }
}

std::uint64_t write_queue::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

std::uint64_t write_queue::not_written() const {
  std::lock_guard lock(mutex_);
  return not_written_;
}

std::size_t write_queue::queued() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

void write_queue::run() {
  for (;;) {
    frame next;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return finishing_ || !frames_.empty(); });
      if (frames_.empty()) {
        break;
      }
      next = std::move(frames_.front());
      frames_.pop_front();
    }
    // The sink is written with no lock held, so the acquisition thread never waits for a disk.
    const bool ok = sink_.write(next);
    std::lock_guard lock(mutex_);
    if (ok) {
      ++written_;
    } else {
      ++not_written_;
      sink_failed_ = true;
      not_written_ += frames_.size();
      frames_.clear();
    }
  }
  sink_.finish();
}

} // namespace qmxcam
