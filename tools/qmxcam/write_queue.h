// qmxcam, writing thread: frames go from the acquisition thread to a frame sink through a
// bounded queue, so that a slow disk never holds up "image_wait_per_frame". A frame that finds
// the queue full is counted as not written instead of waiting.
#pragma once

#include "tools/qmxcam/frame_files.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace qmxcam {

class write_queue {
public:
  // Starts the writing thread; `sink` is used on that thread only until finish() returns.
  write_queue(frame_sink& sink, std::size_t capacity);
  ~write_queue();
  write_queue(const write_queue&) = delete;
  write_queue& operator=(const write_queue&) = delete;

  // Called by the acquisition thread. False when the queue is full or the sink failed: the
  // frame is then counted as not written.
  bool push(frame&& f);
  // Writes every queued frame, completes the files and joins the thread. Idempotent.
  void finish();

  std::uint64_t written() const;
  std::uint64_t not_written() const;
  std::size_t queued() const;

private:
  void run();

  frame_sink& sink_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // the writer: a frame queued, or finishing
  std::deque<frame> frames_;      // guarded by mutex_
  bool finishing_ = false;        // guarded by mutex_
  bool sink_failed_ = false;      // guarded by mutex_
  std::uint64_t written_ = 0;     // guarded by mutex_
  std::uint64_t not_written_ = 0; // guarded by mutex_
  std::thread thread_;
};

} // namespace qmxcam
