// Camera data path, camera object: the per-camera record (frame path, serial buffers,
// transport, serial channel, acquisition parameters) and its construction and destruction.
#pragma once

#include "camera/frame_path.h"
#include "camera/serial_channel.h"
#include "camera/usb_transport.h"
#include "include/qmx_libusb.h"
#include "include/qmx_thread_safety.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace qmx {

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
  // Whether opening or claiming the device failed when the camera was built.
  bool transport_failed() const {
    qmx::lock_guard lock(parameters_mutex);
    return parameters.transport_failed;
  }
  camera(const camera&) = delete;
  camera& operator=(const camera&) = delete;
  // Destroys, in order: the channel's lock, the transport (with its 500 ms pause), the reply and
  // command completion blocks, the frame assembly state.
  ~camera();

  // The frame path: assembly state and statistics, the image handler's context.
  frame_path frames;
  serial_buffers serial;
  std::unique_ptr<usb_transport> transport;
  serial_channel channel;
  mutable qmx::mutex parameters_mutex;
  acquisition_parameters parameters QMX_GUARDED_BY(parameters_mutex);
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
