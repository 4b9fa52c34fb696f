// Simulator, streaming: the streamer thread of an armed camera, which builds frames and hands
// their packets to image requests (or keeps or loses them, as a real link would), and the frame
// log that records what became of every frame.
#include "sim/sim_world.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim {

namespace {

// The camera keeps this many image packets when no request is waiting for them.
constexpr std::size_t on_camera_buffer_packets = 64;

constexpr std::uint32_t bits_per_word = 32;

frame_log_entry* log_entry(device& d, std::uint64_t sequence) {
  if (d.frame_log.empty()) {
    return nullptr;
  }
  const std::uint64_t first = d.frame_log.front().record.sequence;
  if (sequence < first || sequence - first >= d.frame_log.size()) {
    return nullptr;
  }
  return &d.frame_log[static_cast<std::size_t>(sequence - first)];
}

// Settled frames beyond the log's capacity leave it, oldest first.
void trim_log(device& d) {
  while (d.frame_log.size() > frame_log_capacity &&
         d.frame_log.front().record.outcome != QMX_SIM_FRAME_SENDING) {
    d.frame_log.pop_front();
  }
}

void settle(device& d, frame_log_entry& entry, std::uint32_t outcome) {
  entry.record.outcome = outcome;
  switch (outcome) {
  case QMX_SIM_FRAME_WHOLE:
    ++d.faults.frames_whole;
    ++d.counters.frames_completed;
    break;
  case QMX_SIM_FRAME_DAMAGED:
    ++d.faults.frames_damaged;
    ++d.counters.frames_completed;
    break;
  default:
    ++d.faults.frames_lost;
    break;
  }
}

// A packet of frame `sequence` reached a request.
void packet_reached(device& d, std::uint64_t sequence) {
  frame_log_entry* entry = log_entry(d, sequence);
  if (entry == nullptr || entry->record.outcome != QMX_SIM_FRAME_SENDING) {
    return;
  }
  if (++entry->reached == entry->sent) {
    settle(d, *entry, entry->damaged ? QMX_SIM_FRAME_DAMAGED : QMX_SIM_FRAME_WHOLE);
    trim_log(d);
  }
}

// A packet of frame `sequence` will never reach a request.
void packet_lost(device& d, std::uint64_t sequence) {
  frame_log_entry* entry = log_entry(d, sequence);
  if (entry == nullptr || entry->record.outcome != QMX_SIM_FRAME_SENDING) {
    return;
  }
  settle(d, *entry, QMX_SIM_FRAME_LOST);
  trim_log(d);
}

// Logs a frame that is about to be sent; returns its sequence number.
std::uint64_t begin_frame(device& d, const frame_packets& frame) {
  frame_log_entry entry;
  entry.record.sequence = d.next_frame_sequence++;
  entry.record.frame_counter = frame.frame_number;
  entry.record.header_word_8 = static_cast<std::uint32_t>(frame.timestamp);
  entry.record.header_word_12 = static_cast<std::uint32_t>(frame.timestamp >> bits_per_word);
  entry.record.packets = static_cast<std::uint32_t>(frame.planned_packets);
  entry.record.outcome = QMX_SIM_FRAME_SENDING;
  entry.sent = static_cast<std::uint32_t>(frame.packets.size());
  entry.damaged = frame.damaged;
  ++d.counters.frames_started;
  d.frame_log.push_back(entry);
  frame_log_entry& logged = d.frame_log.back();
  if (frame.packet_dropped || entry.sent == 0) {
    settle(d, logged, QMX_SIM_FRAME_LOST);
  }
  trim_log(d);
  return entry.record.sequence;
}

// Paced mode: the packet goes to the oldest image request, or is kept on the camera, or is lost.
void offer_packet(device& d, const frame_packets& frame, std::size_t i, std::uint64_t sequence) {
  if (!d.pending[queue_image].empty()) {
    const pending_request request = d.pending[queue_image].front();
    d.pending[queue_image].pop_front();
    const std::size_t copied =
        frame.copy_packet(i, request.buffer + request_header_size, request.room);
    ++d.counters.packets_sent;
    complete(request, win32::ok, static_cast<std::uint32_t>(request_header_size + copied));
    packet_reached(d, sequence);
  } else if (d.kept_packets.size() < on_camera_buffer_packets) {
    d.kept_packets.push_back({frame.packet(i), sequence});
  } else {
    ++d.counters.packets_lost;
    packet_lost(d, sequence);
  }
}

// Maximum rate: the oldest image request leaves its queue under the world lock and is filled and
// completed with the lock dropped, so that submitters never wait behind a 16 KB copy.
void deliver_unlocked(std::unique_lock<std::mutex>& lock, device& d, const frame_packets& frame,
                      std::size_t i, std::uint64_t sequence) {
  const pending_request request = d.pending[queue_image].front();
  d.pending[queue_image].pop_front();
  d.delivering_file = request.file;
  ++d.counters.packets_sent;
  count_pending(d);
  // Settled before the request completes: a receiver that reads the frame log as soon as it has
  // the frame finds the frame's outcome there.
  packet_reached(d, sequence);
  lock.unlock();
  const std::size_t copied =
      frame.copy_packet(i, request.buffer + request_header_size, request.room);
  complete(request, win32::ok, static_cast<std::uint32_t>(request_header_size + copied));
  lock.lock();
  d.delivering_file = nullptr;
  d.delivery_done.notify_all();
}

// Time between frame starts at the camera's "fps" setting; a free-running camera (fps 0) paces
// itself at its own default rate.
std::uint64_t frame_interval_us(const camera_model& camera) {
  constexpr std::uint64_t microseconds_per_second = 1000000;
  constexpr std::int64_t free_running_fps = 100;
  std::int64_t fps = 0;
  if (!camera.setting("fps", fps) || fps <= 0) {
    fps = free_running_fps;
  }
  return microseconds_per_second / static_cast<std::uint64_t>(fps);
}

std::uint64_t now_us() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

bool stream_ends(const device& d) {
  return d.stream_stop || !d.present;
}

void stream(device* d) {
  world& w = the_world();
  std::unique_lock lock(w.mutex);
  auto next_frame = std::chrono::steady_clock::now();
  while (!stream_ends(*d) && d->camera->armed()) {
    const std::uint32_t counter = d->next_frame_counter++;
    const frame_packets frame = d->camera->build_frame_packets(counter, now_us(), d->script);
    const std::uint64_t sequence = begin_frame(*d, frame);
    bool took_requests = false;
    std::size_t sent = 0;
    for (; sent < frame.packets.size() && !stream_ends(*d); ++sent) {
      if (d->max_rate) {
        // Maximum-rate mode may be switched off meanwhile; the rest of the frame is then paced.
        d->stream_wake.wait(lock, [d] {
          return stream_ends(*d) || !d->max_rate || !d->pending[queue_image].empty();
        });
        if (stream_ends(*d)) {
          break;
        }
      }
      if (d->max_rate) {
        deliver_unlocked(lock, *d, frame, sent, sequence);
        took_requests = true;
      } else {
        offer_packet(*d, frame, sent, sequence);
      }
      if (frame.packets[sent].unplug_after && d->present) {
        ++sent;
        if (sent < frame.packets.size()) {
          packet_lost(*d, sequence); // settled before anyone can see the unplug
        }
        unplug(w, lock, *d, true);
        break;
      }
    }
    if (sent < frame.packets.size()) {
      packet_lost(*d, sequence); // the stream ended inside the frame
    }
    if (d->max_rate && took_requests) {
      next_frame = std::chrono::steady_clock::now(); // requests paced this frame
    } else {
      // A frame whose packets were all lost took no request; pacing it keeps a maximum-rate
      // camera from spinning on the world lock.
      next_frame += std::chrono::microseconds(frame_interval_us(*d->camera));
      d->stream_wake.wait_until(lock, next_frame, [d] { return stream_ends(*d); });
    }
  }
  d->streaming = false;
}

void start_streamer(device& d) {
  if (d.streaming || !d.present) {
    return;
  }
  d.stream_stop = false;
  d.streaming = true;
  discard_kept_packets(d);
  d.streamer = std::thread(stream, &d);
}

} // namespace

void stop_streamer(std::unique_lock<std::mutex>& lock, device& d) {
  if (!d.streamer.joinable()) {
    return;
  }
  d.stream_stop = true;
  d.stream_wake.notify_all();
  std::thread streamer = std::move(d.streamer);
  lock.unlock();
  streamer.join();
  lock.lock();
}

void follow_armed_state(std::unique_lock<std::mutex>& lock, device& d) {
  if (d.camera->armed()) {
    if (!d.streaming) {
      stop_streamer(lock, d); // joins a streamer that ended by itself
    }
    start_streamer(d);
  } else {
    stop_streamer(lock, d);
  }
}

bool deliver_kept_packet(device& d, const pending_request& request) {
  if (d.kept_packets.empty()) {
    return false;
  }
  const kept_packet packet = std::move(d.kept_packets.front());
  d.kept_packets.pop_front();
  const std::size_t copied = std::min<std::size_t>(request.room, packet.bytes.size());
  std::memcpy(request.buffer + request_header_size, packet.bytes.data(), copied);
  ++d.counters.packets_sent;
  complete(request, win32::ok, static_cast<std::uint32_t>(request_header_size + copied));
  packet_reached(d, packet.frame_sequence);
  return true;
}

void discard_kept_packets(device& d) {
  for (const kept_packet& packet : d.kept_packets) {
    packet_lost(d, packet.frame_sequence);
  }
  d.kept_packets.clear();
}

} // namespace sim
