// Camera data path, camera object: the per-camera record (frame assembly state, serial buffers,
// transport, serial channel, acquisition parameters) and its construction and destruction.
#pragma once

#include "camera/frame_assembler.h"
#include "camera/frame_queue.h"
#include "camera/serial_channel.h"
#include "camera/usb_transport.h"
#include "include/qmx_libusb.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace qmx {

constexpr std::size_t tag_block_bytes = 48;

// The frame assembly and delivery state; written by arming and by the image handler.
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
  frame_node* held_wait_frame = nullptr;
  frame_node* fill_node = nullptr;
  std::int32_t write_offset = 0;
  bool awaiting_frame_start = true;
  std::uint32_t current_frame_id = 0;
  std::mutex image_wait_lock;
  std::condition_variable image_wait_signal;
  bool image_wait_flag = false;
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
  frame_node* held_poll_frame = nullptr;
  bool last_packet_flag = false;
  std::int32_t pixels_written = 0;
  // Output rows of the open frame binned so far; binning follows the unpacking row by row.
  std::int32_t rows_binned = 0;
  // Held by the image handler for each packet and by arming while it rewrites this state, so
  // that arming never meets a packet half handled (re-arming without a stop included).
  std::mutex path_mutex;
  // Image completions the handler has seen, counted before anything else it does; arming waits
  // for this to stand still so that packets sent before it are all behind it.
  std::atomic<std::uint64_t> completions_seen{0};
  // Held by the frame hand-outs around their held frame (one per kind of wait), and by arming
  // while it discards the held frames.
  std::mutex wait_hold_mutex;
  std::mutex poll_hold_mutex;
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

// What became of the packets and frames since the last arming; written by the image handler,
// read by any host thread.
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

// The acquisition parameters the commands keep; `transport_failed` sits among them. Host
// threads read and write them at once (a get of "image_width" beside a set of "hbin"): every
// field but `transport_failed` (written once, at construction) is read and written under the
// camera's `parameters_mutex`, never held across a camera transaction.
struct acquisition_parameters {
  std::int32_t roi_width = 0;
  std::int32_t roi_height = 0;
  std::int32_t image_width = 0;
  std::int32_t image_height = 0;
  std::int32_t hbin = 1;
  std::int32_t vbin = 1;
  std::int32_t row_bits = 0;
  bool transport_failed = false;
  std::int32_t acquisition_bytes_per_frame = 0;
  std::int32_t data_packets_per_frame = 0;
  std::int32_t frame_pixel_bytes = 0;
};

struct camera {
  // Opens `device` and builds the transport. Never fails by result: when opening or claiming
  // failed, `transport` is null and `parameters.transport_failed` is set, and the creator
  // destroys the object at once.
  explicit camera(libusb_device* device);
  camera(const camera&) = delete;
  camera& operator=(const camera&) = delete;
  // Destroys, in order: the channel's lock, the transport (with its 500 ms pause), the reply and
  // command completion blocks, the frame assembly state.
  ~camera();

  frame_assembly_state assembly;
  unsigned char tx_buffer[serial_buffer_bytes] = {};
  completion_block tx_done;
  unsigned char rx_buffer[serial_buffer_bytes] = {};
  completion_block rx_done;
  std::unique_ptr<usb_transport> transport;
  serial_channel channel;
  acquisition_parameters parameters;
  mutable std::mutex parameters_mutex;
  acquisition_statistics statistics;
  // The USB speed the device reported when this camera's transport was made (libusb speed).
  std::atomic<int> usb_speed{0};
};

// Builds a transport for `device` bound to `c`'s buffers, completion blocks and image handler,
// with the same values the constructor uses (re-attachment of an open camera). Null on failure.
std::unique_ptr<usb_transport> make_camera_transport(camera& c, libusb_device* device);

// Replaces `c`'s transport by `replacement` (the serial channel uses it from then on) and
// retires the old one: waits for a transaction in progress, then closes and frees the old
// transport. Host or worker thread; `c` must stay alive meanwhile.
void replace_transport(camera& c, std::unique_ptr<usb_transport> replacement);

} // namespace qmx
