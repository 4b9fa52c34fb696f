// Camera data path, frame path state: what the image handler, the RAW10 unpacker and the frame
// delivery work on (the assembly state, the acquisition statistics, the tag block), its geometry
// and the preparation that arming runs before the camera is told "arm".
#pragma once

#include "camera/frame_queue.h"

#include "include/qmx_thread_safety.h"
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>

namespace qmx {

constexpr std::size_t tag_block_bytes = 48;

// The frame assembly and delivery state; written by the preparation and by the image handler.
struct frame_assembly_state {
  unsigned char* frame_buffer = nullptr; // the host's acquisition buffer; never freed here
  std::int32_t frame_buffer_size = 0;
  bool metadata_enabled = false;
  std::int32_t vbin = 0;
  std::int32_t hbin = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t row_fill_bytes = 0;
  std::int32_t calibration_packed_bytes = 0;
  std::int32_t pixels_per_row = 0;
  std::int32_t pixels_per_frame = 0;
  // Held by "image_wait_per_frame" until its next call.
  frame_node* held_wait_frame QMX_GUARDED_BY(wait_hold_mutex) = nullptr;
  frame_node* fill_node = nullptr;
  std::int32_t write_offset = 0;
  bool awaiting_frame_start = true;
  std::uint32_t current_frame_id = 0;
  qmx::mutex image_wait_lock;
  std::condition_variable image_wait_signal;
  bool image_wait_flag QMX_GUARDED_BY(image_wait_lock) = false;
  std::atomic<bool> stop_flag{false};
  std::int32_t unpacked_frame_bytes = 0;
  std::int32_t slot_bytes = 0;
  std::int32_t packets_per_frame = 0;
  std::uint32_t last_packet_index = 0;
  unsigned char tag_block[tag_block_bytes] = {};
  frame_queue free_queue;
  frame_queue filled_queue;
  unsigned char carry[5] = {};
  std::int32_t carry_count = 0;
  std::atomic<std::int32_t> poll_timeout_ms{0}; // set and read by host threads at any time
  // Held by "image_poll" until its next call.
  frame_node* held_poll_frame QMX_GUARDED_BY(poll_hold_mutex) = nullptr;
  bool last_packet_flag = false;
  std::int32_t pixels_written = 0;
  // Output rows of the open frame binned so far; binning follows the unpacking row by row.
  std::int32_t rows_binned = 0;
  // Held by the image handler for each packet and by the preparation while it rewrites this
  // state, so that a preparation never meets a packet half handled (re-arming without a stop
  // included).
  qmx::mutex path_mutex;
  // Image completions the handler has seen, counted before anything else it does; arming waits
  // for this to stand still so that packets sent before it are all behind it.
  std::atomic<std::uint64_t> completions_seen{0};
  // Held by the frame hand-outs around their held frame (one per kind of wait), and by the
  // preparation while it discards the held frames.
  qmx::mutex wait_hold_mutex QMX_ACQUIRED_BEFORE(poll_hold_mutex, path_mutex);
  qmx::mutex poll_hold_mutex QMX_ACQUIRED_BEFORE(path_mutex);
  // The assembler's own progress beside the fields above, reset at each frame's first packet:
  // fill bytes of a row that the previous packet cut and this one must still skip; the metadata
  // setting the open frame was begun with (it fixes where the frame's parts lie in its slot); and
  // whether the completion just before, inside the open frame, was a packet with a bad magic.
  std::int32_t pending_skip = 0;
  bool frame_metadata = false;
  bool ignored_bad_magic = false;

  frame_assembly_state() = default;
  frame_assembly_state(const frame_assembly_state&) = delete;
  frame_assembly_state& operator=(const frame_assembly_state&) = delete;
  ~frame_assembly_state(); // frees the held and filling nodes; the queues free their own
};

// What became of the packets and frames since the last preparation; written by the image
// handler, read by any host thread.
struct acquisition_statistics {
  std::atomic<std::uint64_t> packets_seen{0};         // image completions while armed
  std::atomic<std::uint64_t> frames_delivered{0};     // frames pushed on the filled queue
  std::atomic<std::uint64_t> dropped_disorder{0};     // a packet missing, repeated or foreign
  std::atomic<std::uint64_t> dropped_bad_magic{0};    // the packet missing was one with a bad magic
  std::atomic<std::uint64_t> dropped_overwritten{0};  // completed, then reused: the host held none
  std::atomic<std::uint64_t> dropped_no_slot{0};      // first packet found no slot at all
  std::atomic<std::uint64_t> dropped_short_packet{0}; // a packet carried fewer bytes than sent
  std::atomic<std::uint64_t> dropped_bad_length{0}; // the last packet left the frame short or long

  void reset() noexcept;
};

// The frame path of one camera: the image handler's context.
struct frame_path {
  frame_assembly_state assembly;
  acquisition_statistics statistics;
};

// The geometry the frame path assembles frames in, fixed at each preparation.
struct frame_geometry {
  std::int32_t width = 0;  // pixels of a sensor row of the region
  std::int32_t height = 0; // image rows of the region
  std::int32_t hbin = 1;
  std::int32_t vbin = 1;
  std::int32_t row_fill_bytes = 0; // bytes after every row in the packed stream (0, 1 or 2)
  std::int32_t calibration_packed_bytes = 0;
  std::int32_t pixels_per_row = 0;
  std::int32_t pixels_per_frame = 0;     // image and calibration pixels
  std::int32_t unpacked_frame_bytes = 0; // 2 bytes per pixel of pixels_per_frame
  std::int32_t slot_bytes = 0;           // the tag block and the unpacked frame
  std::int32_t packets_per_frame = 0;
};

// The geometry of a region of `width` x `height` pixels with `calibration_lines` lines before
// it, as the camera sends it in `packets_per_frame` packets: fill bytes from the packed row's
// length, packed calibration bytes, pixel and byte counts, all in 32-bit arithmetic that wraps
// (so any numbers a camera answers give the same counts on every system and never overflow).
frame_geometry geometry_for_region(std::int32_t width, std::int32_t height,
                                   std::int32_t calibration_lines, std::int32_t hbin,
                                   std::int32_t vbin, std::int32_t packets_per_frame);

// Whether a buffer of `buffer_size` bytes is a whole number of slots of `slot_bytes`, at least one
// byte each and at least one of them: the only buffers the frame path can fill.
bool cuts_into_slots(std::int32_t buffer_size, std::int32_t slot_bytes);

// Prepares the frame path for a new acquisition into `buffer`: the assembly progress reset, the
// geometry's fields set, the tag block template written, both queues emptied (their aborted
// marks cleared) and the held and filling frames discarded, the buffer cut into slots on the free
// queue in address order, the statistics reset and the stop flag cleared. Takes the two hold
// locks and the path lock, so no hand-out is returning and no packet is half handled meanwhile.
// False, with nothing changed, when the buffer does not cut into slots (cuts_into_slots). The
// metadata setting and the poll time-out are settings of their own and stay as they are.
bool prepare_frame_path(frame_path& path, const frame_geometry& geometry, unsigned char* buffer,
                        std::int32_t buffer_size);

// The 48-byte tag block every slot starts with, before a frame's own values are filled in.
void write_tag_block_template(unsigned char (&tag_block)[tag_block_bytes]);

} // namespace qmx
